#pragma once

#include <Tervane/ASR/ASRTypes.hpp>
#include <Tervane/ASR/AsrModels.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

/// Turns decoded token ids, frame indices and confidences into what callers see: the text,
/// one timing per token and the overall confidence. Shared by the single-window and the
/// chunked paths so that both assemble their results the same way. Nothing here fails.
namespace Tervane::TranscriptAssembly {

/// Seconds per encoder frame, as token times are counted.
inline constexpr double frameSeconds = 0.08;
/// The shortest a token may last.
inline constexpr double minimumTokenSeconds = 0.001;

struct TextAndTimings {
    std::string text;
    std::vector<TokenTiming> timings;
};

/// The pieces of the known, non-empty tokens joined, word marks turned into spaces and the
/// ends trimmed of spaces and tabs. `timings[i]` pairs with `tokenIds[i]`.
[[nodiscard]] TextAndTimings convertTokensWithExistingTimings(const std::vector<int>& tokenIds,
                                                              const std::vector<TokenTiming>& timings,
                                                              const AsrVocabulary& vocabulary);

/// One timing per token, in frame order (stable); each lasts until the next token starts, at
/// least one frame, unless a positive duration says otherwise. Empty when the lists differ
/// in length.
[[nodiscard]] std::vector<TokenTiming> createTokenTimings(const std::vector<int>& tokenIds,
                                                          const std::vector<int>& timestamps,
                                                          const std::vector<float>& confidences,
                                                          const std::vector<int>& tokenDurations,
                                                          const AsrVocabulary& vocabulary);

/// 0.1 for a blank transcript; else the mean confidence clamped to [0.1, 1]; 0.5 (with a
/// warning) when the confidences do not match the tokens.
[[nodiscard]] float overallConfidence(const std::string& text, const std::vector<float>& confidences,
                                      std::size_t tokenCount, const AppLogger& logger);

/// The whole result of one transcription whose decoding has just finished.
[[nodiscard]] ASRResult assembleResult(const std::vector<int>& tokenIds, const std::vector<int>& timestamps,
                                       const std::vector<float>& confidences, const std::vector<int>& tokenDurations,
                                       std::int64_t sampleCount, int sampleRate,
                                       std::chrono::steady_clock::time_point startTime,
                                       const AsrVocabulary& vocabulary, const AppLogger& logger);

}  // namespace Tervane::TranscriptAssembly
