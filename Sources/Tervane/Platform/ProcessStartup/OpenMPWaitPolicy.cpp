// Linked into every program built with Tervane, not into the shared library: makes OpenMP
// start with its passive wait policy.
//
// OpenMP reads OMP_WAIT_POLICY once, when it starts, and it starts with the program (FFmpeg's
// resampler depends on it), long before the first model. Left to its default its threads
// spin after every parallel region, which slows a decoding loop of alternating large and
// tiny predictions several times over.
//
// Nothing the program or the library does can reach OpenMP earlier than this pre-initialiser,
// and even here the C library has not started yet and resets the environment from the
// original one afterwards. So when the environment names no policy, the program is started
// again, at once, with OMP_WAIT_POLICY=PASSIVE added; no library has run by then. A policy the
// environment already names (ACTIVE included) is kept, which also ends the restart.

#include <cstring>

#include <unistd.h>

namespace {

constexpr char passivePolicy[] = "OMP_WAIT_POLICY=PASSIVE";
constexpr char policyPrefix[] = "OMP_WAIT_POLICY=";

void startWithPassiveOpenMPWaiting(int, char** arguments, char** environment) {
    if (arguments == nullptr || environment == nullptr) {
        return;
    }
    std::size_t count = 0;
    for (; environment[count] != nullptr; ++count) {
        if (std::strncmp(environment[count], policyPrefix, sizeof policyPrefix - 1) == 0) {
            return;
        }
    }
    // No allocation this early: the new environment lives on the stack until the exec.
    constexpr std::size_t largestEnvironment = 16384;
    if (count + 2 > largestEnvironment) {
        return;
    }
    char* restarted[largestEnvironment];
    for (std::size_t index = 0; index < count; ++index) {
        restarted[index] = environment[index];
    }
    restarted[count] = const_cast<char*>(passivePolicy);
    restarted[count + 1] = nullptr;
    ::execve("/proc/self/exe", arguments, restarted);
    // The restart failed (no /proc, say): go on with OpenMP's default policy.
}

__attribute__((section(".preinit_array"), used)) void (*startWithPassiveOpenMPWaitingAtStartup)(int, char**,
                                                                                                   char**) =
    &startWithPassiveOpenMPWaiting;

}  // namespace
