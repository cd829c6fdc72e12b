#pragma once

#include <chrono>

namespace Tervane {

/// Seconds of the monotonic clock since `start`, for stage timings.
[[nodiscard]] inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// The same in milliseconds, for the debug lines that report them.
[[nodiscard]] inline double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace Tervane
