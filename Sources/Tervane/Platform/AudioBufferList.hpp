#pragma once

#include <cstdint>
#include <vector>

namespace Tervane {

/// One block of sample memory: `mNumberChannels` interleaved channels, `mDataByteSize` valid bytes.
struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

/// The memory of a PCM buffer as blocks: one per channel for non-interleaved formats, a single
/// one for interleaved formats. The pointers belong to whoever made the list.
struct AudioBufferList {
    std::vector<AudioBuffer> mBuffers;

    [[nodiscard]] std::uint32_t mNumberBuffers() const noexcept { return static_cast<std::uint32_t>(mBuffers.size()); }
};

}  // namespace Tervane
