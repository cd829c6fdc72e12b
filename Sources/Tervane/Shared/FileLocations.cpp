#include <Tervane/Shared/FileLocations.hpp>

#include <Tervane/Platform/Error.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace Tervane {

std::filesystem::path applicationSupportDirectory() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
        return data;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
}

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw FileError("read", path, errno);
    }
    std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad()) {
        throw FileError("read", path, errno);
    }
    return bytes;
}

}  // namespace Tervane
