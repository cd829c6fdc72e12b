#pragma once

#include <Tervane/Platform/MLModel.hpp>
#include <Tervane/Shared/ModelNames.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tervane::DownloadUtils {

/// Reports download progress as a fraction from 0 to 1.
using ProgressHandler = std::function<void(double fraction)>;

/// Makes sure `repo`'s required bundles are cached under `directory`/folder name, fetching the
/// missing files from the model hub, then loads each of `modelNames` from that folder with
/// `computeUnits`. Returns the loaded models by file name.
[[nodiscard]] std::map<std::string, std::shared_ptr<MLModel>> loadModelsOnce(
    Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
    MLComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt,
    const ProgressHandler& progressHandler = {});

/// `loadModelsOnce` with one recovery: after a first failure the repository's cache folder is
/// deleted and everything is fetched and loaded once more.
[[nodiscard]] std::map<std::string, std::shared_ptr<MLModel>> loadModels(
    Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
    MLComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt);

}  // namespace Tervane::DownloadUtils
