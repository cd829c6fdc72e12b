#include <Tervane/Audio/AudioSampleSources.hpp>

#include <Tervane/Platform/Error.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tervane {

void StreamingAudioSampleSource::copyRange(std::span<const float> samples, std::span<float> destination,
                                           std::int64_t offset, std::int64_t count) noexcept {
    const auto available = static_cast<std::int64_t>(samples.size());
    if (count <= 0 || available == 0) {
        return;
    }
    const std::int64_t start = std::max<std::int64_t>(offset, 0);
    if (start >= available) {
        return;
    }
    const std::int64_t n =
        std::min({count, available - start, static_cast<std::int64_t>(destination.size())});
    std::memcpy(destination.data(), samples.data() + start, static_cast<std::size_t>(n) * sizeof(float));
}

// MARK: - In memory

ArrayAudioSampleSource::ArrayAudioSampleSource(std::vector<float> samples)
    : samples_(std::make_shared<const std::vector<float>>(std::move(samples))) {}

std::int64_t ArrayAudioSampleSource::sampleCount() const { return static_cast<std::int64_t>(samples_->size()); }

void ArrayAudioSampleSource::copySamples(std::span<float> destination, std::int64_t offset,
                                         std::int64_t count) const {
    copyRange(*samples_, destination, offset, count);
}

// MARK: - Memory-mapped file

struct DiskBackedAudioSampleSource::Mapping {
    void* address = nullptr;
    std::size_t length = 0;

    Mapping(void* address_, std::size_t length_) : address(address_), length(length_) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (address != nullptr) {
            ::munmap(address, length);
        }
    }
};

DiskBackedAudioSampleSource::DiskBackedAudioSampleSource(std::filesystem::path fileURL)
    : fileURL_(std::move(fileURL)) {
    const int descriptor = ::open(fileURL_.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw FileError("open", fileURL_, errno);
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        const int error = errno;
        ::close(descriptor);
        throw FileError("inspect", fileURL_, error);
    }
    const auto length = static_cast<std::size_t>(status.st_size);
    if (length > 0) {
        void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, 0);
        if (address == MAP_FAILED) {
            const int error = errno;
            ::close(descriptor);
            throw FileError("map", fileURL_, error);
        }
        mapping_ = std::make_shared<const Mapping>(address, length);
    }
    ::close(descriptor);  // the mapping keeps the file's pages reachable
    sampleCount_ = static_cast<std::int64_t>(length / sizeof(float));
}

std::span<const std::byte> DiskBackedAudioSampleSource::mappedData() const noexcept {
    if (!mapping_) {
        return {};
    }
    return {static_cast<const std::byte*>(mapping_->address), mapping_->length};
}

void DiskBackedAudioSampleSource::copySamples(std::span<float> destination, std::int64_t offset,
                                              std::int64_t count) const {
    if (!mapping_) {
        return;
    }
    // mmap returns page-aligned memory, so the floats are properly aligned.
    const std::span<const float> samples(static_cast<const float*>(mapping_->address),
                                         static_cast<std::size_t>(sampleCount_));
    copyRange(samples, destination, offset, count);
    releasePages(offset, count);
}

void DiskBackedAudioSampleSource::releasePages(std::int64_t offset, std::int64_t count) const noexcept {
    // Readers walk the recording once, window by window: hand the pages just read back to the
    // kernel so that resident memory stays at about a window however long the file is. The
    // kernel maps neighbouring pages along with each faulting one, so the release reaches a
    // margin beyond the range read. The mapping is private and never written, so dropping a
    // page another reader still wants only makes that reader fault it in again.
    if (count <= 0 || offset >= sampleCount_) {
        return;
    }
    static const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    constexpr std::uintptr_t faultAroundMargin = 256 * 1024;
    const auto base = reinterpret_cast<std::uintptr_t>(mapping_->address);  // page-aligned
    const std::uintptr_t mappedBytes = (static_cast<std::uintptr_t>(sampleCount_) * sizeof(float) + pageSize - 1) /
                                       pageSize * pageSize;
    const std::uintptr_t startByte = static_cast<std::uintptr_t>(std::max<std::int64_t>(offset, 0)) * sizeof(float);
    const std::uintptr_t endByte =
        static_cast<std::uintptr_t>(std::min(sampleCount_, std::max<std::int64_t>(offset, 0) + count)) * sizeof(float);
    const std::uintptr_t first = startByte > faultAroundMargin ? (startByte - faultAroundMargin) / pageSize * pageSize : 0;
    const std::uintptr_t last = std::min(mappedBytes, (endByte + faultAroundMargin + pageSize - 1) / pageSize * pageSize);
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(base + first), last - first, MADV_DONTNEED);
    }
}

void DiskBackedAudioSampleSource::cleanup() const {
    std::error_code ignored;
    std::filesystem::remove(fileURL_, ignored);
}

}  // namespace Tervane
