#pragma once

namespace Tervane {

/// Parameters of the online (chunk-by-chunk) diarizer. Durations are in seconds.
struct DiarizerConfig {
    /// The speaker database joins an embedding to a speaker within 1.2 × this distance and
    /// updates the speaker's embedding within 0.8 × it.
    float clusteringThreshold = 0.7F;
    /// Shortest segment emitted; also the shortest speech that creates a speaker.
    float minSpeechDuration = 1.0F;
    /// Handed to the speaker database.
    float minEmbeddingUpdateDuration = 2.0F;
    /// Carried with the configuration; the pipeline does not read it.
    float minSilenceGap = 0.5F;
    /// Carried with the configuration; the pipeline does not read it.
    int numClusters = -1;
    /// Active frames a local speaker needs to be embedded (at least this many) and tracked
    /// (more than this many).
    float minActiveFramesCount = 10.0F;
    /// Adds the speaker map and the stage timings to every result.
    bool debugMode = false;
    /// Chunk length and the overlap of consecutive chunks; both are used rounded to whole
    /// seconds.
    float chunkDuration = 10.0F;
    float chunkOverlap = 0.0F;

    DiarizerConfig() = default;
    DiarizerConfig(float clusteringThreshold, float minSpeechDuration, float minEmbeddingUpdateDuration,
                   float minSilenceGap, int numClusters, float minActiveFramesCount, bool debugMode,
                   float chunkDuration, float chunkOverlap);

    /// The defaults above (`default` is a keyword).
    [[nodiscard]] static DiarizerConfig defaultConfig() { return {}; }

    friend bool operator==(const DiarizerConfig&, const DiarizerConfig&) = default;
};

}  // namespace Tervane
