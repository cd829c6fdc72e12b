#pragma once

#include <cstdint>

namespace Tervane {

/// The time grid of a chunk's segmentation frames: frame f starts at `start` + f × `step`.
struct SlidingWindow {
    /// Seconds per frame of the segmentation model over its 10 s window.
    static constexpr double frameDuration = 0.0619375;
    static constexpr double frameStep = 0.016875;

    double start = 0;
    double duration = frameDuration;
    double step = frameStep;

    [[nodiscard]] double frameStart(std::int64_t frame) const noexcept {
        return start + static_cast<double>(frame) * step;
    }

    friend bool operator==(const SlidingWindow&, const SlidingWindow&) = default;
};

}  // namespace Tervane
