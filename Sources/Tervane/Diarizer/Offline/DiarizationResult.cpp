#include <Tervane/Diarizer/Offline/DiarizationResult.hpp>

#include <nlohmann/json.hpp>

#include <array>
#include <utility>

namespace Tervane {

TimedSpeakerSegment::TimedSpeakerSegment(std::string speakerId_, std::vector<float> embedding_,
                                         float startTimeSeconds_, float endTimeSeconds_, float qualityScore_)
    : id(UUID::random()),
      speakerId(std::move(speakerId_)),
      embedding(std::move(embedding_)),
      startTimeSeconds(startTimeSeconds_),
      endTimeSeconds(endTimeSeconds_),
      qualityScore(qualityScore_) {}

PipelineTimings::PipelineTimings(double modelCompilation, double audioLoading, double segmentation,
                                 double embeddingExtraction, double speakerClustering, double postProcessing)
    : modelCompilationSeconds(modelCompilation),
      audioLoadingSeconds(audioLoading),
      segmentationSeconds(segmentation),
      embeddingExtractionSeconds(embeddingExtraction),
      speakerClusteringSeconds(speakerClustering),
      postProcessingSeconds(postProcessing),
      totalInferenceSeconds(segmentation + embeddingExtraction + speakerClustering),
      totalProcessingSeconds(modelCompilation + audioLoading + segmentation + embeddingExtraction +
                             speakerClustering + postProcessing) {}

namespace {

/// The six stages in report order.
std::array<std::pair<const char*, double>, 6> stages(const PipelineTimings& timings) {
    return {{{"Model Compilation", timings.modelCompilationSeconds},
             {"Audio Loading", timings.audioLoadingSeconds},
             {"Segmentation", timings.segmentationSeconds},
             {"Embedding Extraction", timings.embeddingExtractionSeconds},
             {"Speaker Clustering", timings.speakerClusteringSeconds},
             {"Post Processing", timings.postProcessingSeconds}}};
}

}  // namespace

std::map<std::string, double> PipelineTimings::stagePercentages() const {
    std::map<std::string, double> percentages;
    if (!(totalProcessingSeconds > 0)) {
        return percentages;
    }
    for (const auto& [name, seconds] : stages(*this)) {
        percentages[name] = seconds / totalProcessingSeconds * 100;
    }
    return percentages;
}

std::string PipelineTimings::bottleneckStage() const {
    const auto all = stages(*this);
    auto best = all.front();
    for (const auto& stage : all) {
        if (stage.second > best.second) {
            best = stage;
        }
    }
    return best.first;
}

void to_json(nlohmann::json& json, const PipelineTimings& timings) {
    json = nlohmann::json{{"modelCompilationSeconds", timings.modelCompilationSeconds},
                          {"audioLoadingSeconds", timings.audioLoadingSeconds},
                          {"segmentationSeconds", timings.segmentationSeconds},
                          {"embeddingExtractionSeconds", timings.embeddingExtractionSeconds},
                          {"speakerClusteringSeconds", timings.speakerClusteringSeconds},
                          {"postProcessingSeconds", timings.postProcessingSeconds},
                          {"totalInferenceSeconds", timings.totalInferenceSeconds},
                          {"totalProcessingSeconds", timings.totalProcessingSeconds}};
}

namespace {

double requiredNumber(const nlohmann::json& json, const char* key) {
    const nlohmann::json& value = json.at(key);
    if (!value.is_number()) {
        throw nlohmann::json::type_error::create(302, std::string("\"") + key + "\" must be a number", &value);
    }
    return value.get<double>();
}

}  // namespace

void from_json(const nlohmann::json& json, PipelineTimings& timings) {
    timings.modelCompilationSeconds = requiredNumber(json, "modelCompilationSeconds");
    timings.audioLoadingSeconds = requiredNumber(json, "audioLoadingSeconds");
    timings.segmentationSeconds = requiredNumber(json, "segmentationSeconds");
    timings.embeddingExtractionSeconds = requiredNumber(json, "embeddingExtractionSeconds");
    timings.speakerClusteringSeconds = requiredNumber(json, "speakerClusteringSeconds");
    timings.postProcessingSeconds = requiredNumber(json, "postProcessingSeconds");
    timings.totalInferenceSeconds = requiredNumber(json, "totalInferenceSeconds");
    timings.totalProcessingSeconds = requiredNumber(json, "totalProcessingSeconds");
}

}  // namespace Tervane
