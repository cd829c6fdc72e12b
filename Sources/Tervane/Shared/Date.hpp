#pragma once

#include <chrono>

namespace Tervane {

/// A point in wall-clock time.
using Date = std::chrono::system_clock::time_point;

/// Stored dates are seconds since 2001-01-01 00:00:00 UTC, the reference date of the speaker
/// files other builds of this library write.
[[nodiscard]] double secondsSinceReferenceDate(Date date) noexcept;
/// The inverse; values beyond the clock's range are clamped to it, NaN reads as the reference
/// date itself.
[[nodiscard]] Date dateFromSecondsSinceReferenceDate(double seconds) noexcept;

}  // namespace Tervane
