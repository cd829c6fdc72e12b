#pragma once

#include <filesystem>
#include <string>

namespace Tervane::Testing {

/// A fresh, uniquely named directory under the system's temporary directory, removed with
/// everything in it when the object goes away.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "tervane-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    /// `path() / name`.
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace Tervane::Testing
