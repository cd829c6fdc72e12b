#include <Tervane/Shared/AssetDownloader.hpp>

#include <Tervane/Shared/DownloadUtils.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Tervane {

namespace fs = std::filesystem;

namespace {

void removeQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

}  // namespace

void AssetDownloader::writeAtomically(const std::string& data, const fs::path& destination) {
    std::string pattern = (destination.parent_path() / (".tervane-asset-XXXXXX")).string();
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) throw FileError("create a temporary file in", destination.parent_path(), errno);
    const fs::path temporary = pattern;
    (void)::fchmod(descriptor, 0644);

    std::size_t written = 0;
    while (written < data.size()) {
        const auto result = ::write(descriptor, data.data() + written, data.size() - written);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) {
            const int failure = errno;
            ::close(descriptor);
            removeQuietly(temporary);
            throw FileError("write", temporary, failure);
        }
        written += static_cast<std::size_t>(result);
    }
    if (::fsync(descriptor) != 0 || ::close(descriptor) != 0) {
        const int failure = errno;
        removeQuietly(temporary);
        throw FileError("write", temporary, failure);
    }
    std::error_code renamed;
    fs::rename(temporary, destination, renamed);
    if (renamed) {
        removeQuietly(temporary);
        throw FileError("move into place", destination, renamed.value());
    }
}

void AssetDownloader::replaceItem(const fs::path& temporary, const fs::path& destination) {
    if (fs::exists(fs::symlink_status(destination))) fs::remove_all(destination);
    fs::rename(temporary, destination);
}

fs::path AssetDownloader::ensure(const Descriptor& descriptor, const std::shared_ptr<URLSession>& session,
                                 const AppLogger& logger) {
    const fs::path& destination = descriptor.destinationURL;
    if (descriptor.skipIfExists && fs::exists(destination)) return destination;

    const fs::path parent = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    fs::create_directories(parent);
    logger.info("Downloading " + descriptor.description + "\u2026");

    const URLRequest request{descriptor.remoteURL, {}, DownloadUtils::DownloadConfig::defaultConfig().timeout};
    if (descriptor.transferMode.kind == TransferMode::Kind::data) {
        auto [data, response] = session->data(request);
        if (response.statusCode < 200 || response.statusCode > 299) {
            throw Error::invalidResponse(descriptor.description, response.statusCode);
        }
        descriptor.transferMode.writer(data, destination);
    } else {
        auto [temporary, response] = session->download(request, parent);
        try {
            if (response.statusCode < 200 || response.statusCode > 299) {
                throw Error::invalidResponse(descriptor.description, response.statusCode);
            }
            descriptor.transferMode.mover(temporary, destination);
        } catch (...) {
            removeQuietly(temporary);
            throw;
        }
        removeQuietly(temporary);  // a mover that copied leaves the original behind
    }
    logger.info("Cached " + descriptor.description + " at " + destination.string());
    return destination;
}

fs::path AssetDownloader::ensure(const Descriptor& descriptor) {
    static const AppLogger logger("AssetDownloader");
    return ensure(descriptor, DownloadUtils::sharedSession(), logger);
}

}  // namespace Tervane
