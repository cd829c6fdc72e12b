#include <Tervane/Diarizer/Online/DiarizerConfig.hpp>

namespace Tervane {

DiarizerConfig::DiarizerConfig(float clusteringThreshold_, float minSpeechDuration_, float minEmbeddingUpdateDuration_,
                               float minSilenceGap_, int numClusters_, float minActiveFramesCount_, bool debugMode_,
                               float chunkDuration_, float chunkOverlap_)
    : clusteringThreshold(clusteringThreshold_),
      minSpeechDuration(minSpeechDuration_),
      minEmbeddingUpdateDuration(minEmbeddingUpdateDuration_),
      minSilenceGap(minSilenceGap_),
      numClusters(numClusters_),
      minActiveFramesCount(minActiveFramesCount_),
      debugMode(debugMode_),
      chunkDuration(chunkDuration_),
      chunkOverlap(chunkOverlap_) {}

}  // namespace Tervane
