#include <Tervane/Platform/Error.hpp>

#include <system_error>

namespace Tervane {

namespace {

std::string describeFileFailure(const std::string& operation, const std::filesystem::path& path,
                                const std::string& reason) {
    return "could not " + operation + " \"" + path.string() + "\": " + reason;
}

}  // namespace

FileError::FileError(std::string operation, const std::filesystem::path& path, int errorNumber)
    : Error(describeFileFailure(operation, path, std::generic_category().message(errorNumber))),
      path_(path),
      errorNumber_(errorNumber) {}

FileError::FileError(std::string operation, const std::filesystem::path& path, std::string reason)
    : Error(describeFileFailure(operation, path, reason)), path_(path) {}

}  // namespace Tervane
