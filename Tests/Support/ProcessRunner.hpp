#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Tervane::Testing {

/// What a finished child process left behind.
struct ProcessResult {
    int exitStatus = -1;  // the status passed to exit(), or -1 when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

/// Runs `program` with `arguments` (not including the program name) in `workingDirectory`
/// (the current one when empty), with standard input closed, and waits for it.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

}  // namespace Tervane::Testing
