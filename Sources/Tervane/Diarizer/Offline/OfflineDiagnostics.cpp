#include <Tervane/Diarizer/Offline/OfflineDiagnostics.hpp>

#include <cerrno>
#include <string>

#include <unistd.h>

namespace Tervane::OfflineDiagnostics {

Signposter makeSignposter() { return Signposter(std::string(signpostSubsystem), std::string(pointsOfInterest)); }

void writeProfilingLine(std::string_view line) noexcept {
    try {
        std::string text = "[Profiling] ";
        text += line;
        text += '\n';
        std::string_view left = text;
        while (!left.empty()) {
            const ssize_t written = ::write(STDERR_FILENO, left.data(), left.size());
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            left.remove_prefix(static_cast<std::size_t>(written));
        }
    } catch (...) {
        // Out of memory for one line of diagnostics: drop it.
    }
}

}  // namespace Tervane::OfflineDiagnostics
