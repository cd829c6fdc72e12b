#include "Support/ProcessRunner.hpp"

#include <cerrno>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Tervane::Testing {

namespace {

void closeQuietly(int descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& added,
                                         const std::vector<std::string>& removed) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool drop = false;
        for (const std::string& candidate : removed) {
            drop = drop || candidate == name;
        }
        for (const std::string& replacement : added) {
            drop = drop || replacement.substr(0, replacement.find('=')) == name;
        }
        if (!drop) {
            result.push_back(text);
        }
    }
    result.insert(result.end(), added.begin(), added.end());
    return result;
}

ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory,
                         const std::optional<std::vector<std::string>>& environment) {
    int outputPipe[2];
    int errorPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0 || ::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> argumentStorage;
    argumentStorage.push_back(program.string());
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStorage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentStorage = environment.value_or(std::vector<std::string>{});
    std::vector<char*> envp;
    for (std::string& entry : environmentStorage) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(outputPipe[1], STDOUT_FILENO);
        ::dup2(errorPipe[1], STDERR_FILENO);
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) {
            ::_exit(126);
        }
        if (environment) {
            ::execve(argv[0], argv.data(), envp.data());
        } else {
            ::execv(argv[0], argv.data());
        }
        ::_exit(127);
    }
    closeQuietly(outputPipe[1]);
    closeQuietly(errorPipe[1]);

    ProcessResult result;
    pollfd descriptors[2] = {{outputPipe[0], POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.standardOutput, &result.standardError};
    int open = 2;
    while (open > 0) {
        if (::poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int index = 0; index < 2; ++index) {
            if (descriptors[index].fd < 0 || descriptors[index].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = ::read(descriptors[index].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[index]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                closeQuietly(descriptors[index].fd);
                descriptors[index].fd = -1;
                --open;
            }
        }
    }

    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace Tervane::Testing
