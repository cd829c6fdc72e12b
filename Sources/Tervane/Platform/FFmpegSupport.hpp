#pragma once

// Shared by the FFmpeg-backed audio types; not part of the library's interface.

#include <string>

namespace Tervane::FFmpegSupport {

/// Routes FFmpeg's own log through `AppLogger` (category "FFmpeg", debug level; warnings and
/// errors only) so that FFmpeg never writes to the console. Call before any other FFmpeg call;
/// only the first call does anything.
void routeLogging();

/// The text of an FFmpeg error code: the system's own text for `errno` codes, FFmpeg's otherwise.
[[nodiscard]] std::string errorText(int errorCode);

/// The `errno` value an FFmpeg error code carries, or 0 when it is one of FFmpeg's own.
[[nodiscard]] int errorNumber(int errorCode) noexcept;

}  // namespace Tervane::FFmpegSupport
