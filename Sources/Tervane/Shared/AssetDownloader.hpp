#pragma once

#include <Tervane/Platform/Error.hpp>
#include <Tervane/Platform/URLSession.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace Tervane {

/// Fetches one file into place unless it is already cached.
class AssetDownloader {
public:
    class Error final : public Tervane::Error {
    public:
        enum class Kind { invalidResponse };

        static Error invalidResponse(std::string description, long statusCode) {
            return Error(std::move(description), statusCode);
        }

        [[nodiscard]] Kind kind() const noexcept { return Kind::invalidResponse; }
        /// What was being downloaded.
        [[nodiscard]] const std::string& assetDescription() const noexcept { return assetDescription_; }
        [[nodiscard]] long statusCode() const noexcept { return statusCode_; }

    private:
        Error(std::string description, long statusCode)
            : Tervane::Error("Unexpected response (status " + std::to_string(statusCode) + ") while downloading " +
                             description),
              assetDescription_(std::move(description)),
              statusCode_(statusCode) {}

        std::string assetDescription_;
        long statusCode_;
    };

    /// Stores a body received in memory at the destination.
    using DataWriter = std::function<void(const std::string& data, const std::filesystem::path& destination)>;
    /// Puts a downloaded temporary file (beside the destination) in place.
    using FileMover =
        std::function<void(const std::filesystem::path& temporary, const std::filesystem::path& destination)>;

    /// Writes through a temporary file and a rename, so the destination is never half-written.
    static void writeAtomically(const std::string& data, const std::filesystem::path& destination);
    /// Removes whatever is at the destination and moves the file there.
    static void replaceItem(const std::filesystem::path& temporary, const std::filesystem::path& destination);

    /// How the body travels: in memory to a writer, or streamed to a file handed to a mover.
    struct TransferMode {
        enum class Kind { data, file };
        Kind kind = Kind::file;
        DataWriter writer;
        FileMover mover;

        static TransferMode data(DataWriter writer = &AssetDownloader::writeAtomically) {
            return {Kind::data, std::move(writer), {}};
        }
        static TransferMode file(FileMover mover = &AssetDownloader::replaceItem) {
            return {Kind::file, {}, std::move(mover)};
        }
    };

    struct Descriptor {
        std::string description;
        std::string remoteURL;
        std::filesystem::path destinationURL;
        bool skipIfExists = true;
        TransferMode transferMode = TransferMode::file();
    };

    /// Makes sure the descriptor's file is at its destination and returns that path. Answers
    /// outside 200-299 fail with `Error::invalidResponse`; transfers fail with `URLError`.
    static std::filesystem::path ensure(const Descriptor& descriptor, const std::shared_ptr<URLSession>& session,
                                        const AppLogger& logger);
    /// `ensure` through the download service's shared session and its own logger.
    static std::filesystem::path ensure(const Descriptor& descriptor);
};

}  // namespace Tervane
