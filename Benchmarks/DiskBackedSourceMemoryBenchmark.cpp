// Resident memory of a disk-backed sample source. A recording is written as a 16-bit WAV in
// blocks (so the samples never sit in this process's memory), converted into a mapped
// temporary file by the streaming factory, and then read once through in segmentation-window
// copies. Resident memory is sampled before and after each step for a 10-minute and a 1-hour
// file: the conversion must not grow with the file's length. Pages of the mapping that have
// been read count as resident until the kernel reclaims them; that figure is reported apart.

#include <Tervane/Audio/StreamingAudioSourceFactory.hpp>
#include <Tervane/Shared/SystemInfo.hpp>

#include "Support/TemporaryDirectory.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace Tervane;

void writeLE(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int b = 0; b < bytes; ++b) {
        out.put(static_cast<char>((value >> (8 * b)) & 0xff));
    }
}

/// A 16 kHz mono 16-bit WAV of a 220 Hz tone, written one second at a time.
void writeLongWav(const std::filesystem::path& path, std::int64_t seconds) {
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(seconds * 16000 * 2);
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    writeLE(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    writeLE(out, 16, 4);
    writeLE(out, 1, 2);
    writeLE(out, 1, 2);
    writeLE(out, 16000, 4);
    writeLE(out, 32000, 4);
    writeLE(out, 2, 2);
    writeLE(out, 16, 2);
    out.write("data", 4);
    writeLE(out, dataBytes, 4);
    std::vector<std::int16_t> block(16000);
    for (std::int64_t second = 0; second < seconds; ++second) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 220 * static_cast<double>(i) / 16000));
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 2));
    }
}

/// RssFile from /proc/self/status, in MB: the mapped file pages among the resident ones.
double residentFileMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("RssFile:", 0) == 0) {
            return std::stod(line.substr(8)) / 1024.0;
        }
    }
    return 0;
}

double residentMegabytes() {
    return static_cast<double>(SystemInfo::currentResidentMemoryBytes().value_or(0)) / (1024.0 * 1024.0);
}

void BM_DiskBackedSourceResidentMemory(benchmark::State& state) {
    const std::int64_t seconds = state.range(0);
    const Testing::TemporaryDirectory directory("tervane-memory-benchmark");
    const auto file = directory / "long.wav";
    writeLongWav(file, seconds);

    double conversionGrowth = 0;
    double readGrowth = 0;
    double fileGrowth = 0;
    double samples = 0;
    for (auto _ : state) {
        const double before = residentMegabytes();
        const auto made = StreamingAudioSourceFactory().makeDiskBackedSource(file, 16000);
        const double converted = residentMegabytes();
        const double convertedFile = residentFileMegabytes();
        std::vector<float> window(160000);
        double sum = 0;
        for (std::int64_t offset = 0; offset < made.source.sampleCount(); offset += 32000) {
            made.source.copySamples(window, offset, 160000);
            sum += window[0];
        }
        benchmark::DoNotOptimize(sum);
        const double read = residentMegabytes();
        fileGrowth = residentFileMegabytes() - convertedFile;
        conversionGrowth = converted - before;
        readGrowth = read - converted;
        samples = static_cast<double>(made.source.sampleCount());
        made.source.cleanup();
    }
    state.counters["audioMinutes"] = static_cast<double>(seconds) / 60;
    state.counters["samples"] = samples;
    state.counters["rssGrowthAfterConversionMB"] = conversionGrowth;
    state.counters["rssGrowthAfterFullReadMB"] = readGrowth;
    state.counters["rssFileGrowthAfterFullReadMB"] = fileGrowth;
    state.counters["mappedFileMB"] = samples * 4 / (1024.0 * 1024.0);
}

BENCHMARK(BM_DiskBackedSourceResidentMemory)->Arg(600)->Arg(3600)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
