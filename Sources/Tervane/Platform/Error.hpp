#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>

namespace Tervane {

/// Base of every failure the library raises. The description is fixed when the error is made,
/// so `what()` and `description()` are cheap and safe to call from any thread.
class Error : public std::exception {
public:
    [[nodiscard]] const std::string& description() const noexcept { return description_; }
    [[nodiscard]] const char* what() const noexcept override { return description_.c_str(); }

protected:
    explicit Error(std::string description) : description_(std::move(description)) {}

private:
    std::string description_;
};

/// Raised when a long operation notices that its caller asked it to stop.
class CancellationError final : public Error {
public:
    CancellationError() : Error("The operation was cancelled.") {}
};

/// A failure identified by a domain and a numeric code, for the few places that report
/// errors that way (for example the "ANEOptimizer" allocation failures).
class DomainError final : public Error {
public:
    DomainError(std::string domain, std::int64_t code, std::string description)
        : Error(std::move(description)), domain_(std::move(domain)), code_(code) {}

    [[nodiscard]] const std::string& domain() const noexcept { return domain_; }
    [[nodiscard]] std::int64_t code() const noexcept { return code_; }

private:
    std::string domain_;
    std::int64_t code_;
};

/// A failure of the operating system on a file: open, read, write, create or remove.
/// The description names the operation and the path and carries the system's own text.
class FileError final : public Error {
public:
    FileError(std::string operation, const std::filesystem::path& path, int errorNumber);
    FileError(std::string operation, const std::filesystem::path& path, std::string reason);

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    /// The `errno` value, or 0 when the failure was not a system call's.
    [[nodiscard]] int errorNumber() const noexcept { return errorNumber_; }

private:
    std::filesystem::path path_;
    int errorNumber_ = 0;
};

/// A file that a loader expected is missing or is not what it should be (for example a model
/// bundle that is not a directory). The description is the loader's own text.
class FileSystemError final : public Error {
public:
    enum class Code { fileNoSuchFile, fileReadCorruptFile };

    FileSystemError(Code code, std::filesystem::path path, std::string description)
        : Error(std::move(description)), code_(code), path_(std::move(path)) {}

    [[nodiscard]] Code code() const noexcept { return code_; }
    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

private:
    Code code_;
    std::filesystem::path path_;
};

}  // namespace Tervane
