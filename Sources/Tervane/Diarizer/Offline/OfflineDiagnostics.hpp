#pragma once

#include <Tervane/Platform/Signposter.hpp>

#include <string_view>

// What the offline diarization stages report besides their results: performance intervals and
// the one timing line per stage that goes to standard error.
namespace Tervane::OfflineDiagnostics {

/// The signpost subsystem of the diarization stages, distinct from the log subsystem.
inline constexpr std::string_view signpostSubsystem = "com.tervane.diarization";
inline constexpr std::string_view pointsOfInterest = "PointsOfInterest";

[[nodiscard]] Signposter makeSignposter();

/// Writes "[Profiling] " + line + line feed to standard error in one write (retrying short
/// writes). Failures to write are ignored: diagnostics never fail a run.
void writeProfilingLine(std::string_view line) noexcept;

}  // namespace Tervane::OfflineDiagnostics
