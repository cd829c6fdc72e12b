#pragma once

#include <filesystem>
#include <string>

namespace Tervane {

/// The user's application-support directory: $XDG_DATA_HOME, else $HOME/.local/share.
[[nodiscard]] std::filesystem::path applicationSupportDirectory();

/// The whole file's bytes. Throws `FileError` when it cannot be opened or read.
[[nodiscard]] std::string readWholeFile(const std::filesystem::path& path);

}  // namespace Tervane
