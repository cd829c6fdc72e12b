#pragma once

#include <filesystem>
#include <optional>
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
/// (the current one when empty), with standard input closed, and waits for it. The child gets
/// this process's environment, or exactly `environment` ("NAME=value" entries) when given.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {},
                         const std::optional<std::vector<std::string>>& environment = std::nullopt);

/// This process's environment without the variables named in `removed`, plus `added`.
std::vector<std::string> environmentWith(const std::vector<std::string>& added,
                                         const std::vector<std::string>& removed = {});

}  // namespace Tervane::Testing
