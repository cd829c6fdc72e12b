#include <Tervane/ASR/TranscriptAssembly.hpp>

#include <Tervane/Shared/TextCase.hpp>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string_view>

namespace Tervane::TranscriptAssembly {

namespace {

constexpr std::string_view wordMark = "\u2581";

std::string withSpaces(std::string_view piece) {
    std::string text;
    text.reserve(piece.size());
    for (std::size_t position = 0; position < piece.size();) {
        if (piece.substr(position, wordMark.size()) == wordMark) {
            text += ' ';
            position += wordMark.size();
        } else {
            text += piece[position++];
        }
    }
    return text;
}

}  // namespace

TextAndTimings convertTokensWithExistingTimings(const std::vector<int>& tokenIds,
                                                const std::vector<TokenTiming>& timings,
                                                const AsrVocabulary& vocabulary) {
    TextAndTimings result;
    if (tokenIds.empty()) {
        return result;
    }
    std::string joined;
    for (std::size_t index = 0; index < tokenIds.size(); ++index) {
        const auto found = vocabulary.find(tokenIds[index]);
        if (found == vocabulary.end() || found->second.empty()) {
            continue;
        }
        joined += found->second;
        if (index < timings.size()) {
            TokenTiming timing = timings[index];
            timing.token = withSpaces(found->second);
            result.timings.push_back(std::move(timing));
        }
    }
    result.text = trimmed(withSpaces(joined), " \t");
    return result;
}

std::vector<TokenTiming> createTokenTimings(const std::vector<int>& tokenIds, const std::vector<int>& timestamps,
                                            const std::vector<float>& confidences,
                                            const std::vector<int>& tokenDurations, const AsrVocabulary& vocabulary) {
    const std::size_t count = tokenIds.size();
    if (count == 0 || timestamps.size() != count || confidences.size() != count) {
        return {};
    }
    const bool haveDurations = !tokenDurations.empty();
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return timestamps[a] < timestamps[b]; });

    std::vector<TokenTiming> timings;
    timings.reserve(count);
    for (std::size_t position = 0; position < count; ++position) {
        const std::size_t index = order[position];
        const double start = timestamps[index] * frameSeconds;
        const int duration = haveDurations && index < tokenDurations.size() ? tokenDurations[index] : 0;
        double end = start + frameSeconds;
        if (haveDurations && duration > 0) {
            end = start + std::max(duration * frameSeconds, frameSeconds);
        } else if (position + 1 < count) {
            end = std::max(end, timestamps[order[position + 1]] * frameSeconds);
        }
        end = std::max(end, start + minimumTokenSeconds);

        const int id = tokenIds[index];
        const auto found = vocabulary.find(id);
        TokenTiming timing;
        timing.token = withSpaces(found != vocabulary.end() ? found->second : "token_" + std::to_string(id));
        timing.tokenId = id;
        timing.startTime = start;
        timing.endTime = end;
        timing.confidence = confidences[index];
        timings.push_back(std::move(timing));
    }
    return timings;
}

float overallConfidence(const std::string& text, const std::vector<float>& confidences, std::size_t tokenCount,
                        const AppLogger& logger) {
    if (trimmed(text, " \t\n\r\v\f").empty()) {
        return 0.1F;
    }
    if (confidences.empty() || confidences.size() != tokenCount) {
        logger.warning("Expected token confidences but got none - this should not happen");
        return 0.5F;
    }
    float sum = 0;
    for (const float confidence : confidences) {
        sum += confidence;
    }
    const float mean = sum / static_cast<float>(confidences.size());
    return std::isnan(mean) ? 0.1F : std::clamp(mean, 0.1F, 1.0F);
}

ASRResult assembleResult(const std::vector<int>& tokenIds, const std::vector<int>& timestamps,
                         const std::vector<float>& confidences, const std::vector<int>& tokenDurations,
                         std::int64_t sampleCount, int sampleRate, std::chrono::steady_clock::time_point startTime,
                         const AsrVocabulary& vocabulary, const AppLogger& logger) {
    ASRResult result;
    result.processingTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
    result.text = convertTokensWithExistingTimings(tokenIds, {}, vocabulary).text;
    result.tokenTimings = createTokenTimings(tokenIds, timestamps, confidences, tokenDurations, vocabulary);
    result.confidence = overallConfidence(result.text, confidences, tokenIds.size(), logger);
    result.duration = static_cast<double>(sampleCount) / sampleRate;
    return result;
}

}  // namespace Tervane::TranscriptAssembly
