#include "Support/TemporaryDirectory.hpp"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace Tervane::Testing {

TemporaryDirectory::TemporaryDirectory(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("could not create a temporary directory from " + pattern);
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace Tervane::Testing
