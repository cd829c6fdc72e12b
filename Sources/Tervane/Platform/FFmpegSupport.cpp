#include <Tervane/Platform/FFmpegSupport.hpp>

#include <Tervane/Shared/AppLogger.hpp>

#include <cstdarg>
#include <mutex>
#include <string_view>
#include <system_error>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace Tervane::FFmpegSupport {

namespace {

// FFmpeg's own codes are four-character tags, far below any errno value.
constexpr int largestErrorNumber = 4095;

void forwardLogLine(void* context, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_WARNING) {
        return;
    }
    // FFmpeg prefixes a line with its component ("[mp3float @ 0x...]") only at the start of a line.
    thread_local int printPrefix = 1;
    char line[1024];
    av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
    std::string_view message(line);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    if (message.empty()) {
        return;
    }
    static const AppLogger logger("FFmpeg");
    logger.debug(message);
}

}  // namespace

void routeLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(forwardLogLine); });
}

int errorNumber(int errorCode) noexcept {
    return errorCode < 0 && -errorCode <= largestErrorNumber ? -errorCode : 0;
}

std::string errorText(int errorCode) {
    if (const int number = errorNumber(errorCode); number != 0) {
        return std::generic_category().message(number);
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(errorCode, text, sizeof text);
    return text;
}

}  // namespace Tervane::FFmpegSupport
