#pragma once

#include <Tervane/Platform/Error.hpp>

#include <string>

namespace Tervane {

/// Why `AVAudioConverter::convert` answered `error`. The description is
/// "audio conversion failed: " + the reason.
class AVAudioConverterError final : public Error {
public:
    enum class Kind {
        /// The output buffer, or a buffer the input block supplied, is not in the converter's format.
        formatMismatch,
        /// The input block answered `haveData` without a buffer.
        missingInputBuffer,
        /// The resampler failed (out of memory, for example).
        conversionFailed,
    };

    AVAudioConverterError(Kind kind, const std::string& reason)
        : Error("audio conversion failed: " + reason), kind_(kind) {}

    [[nodiscard]] Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace Tervane
