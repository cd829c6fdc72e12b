// The engine's entry points for audio that is not yet 16 kHz mono samples.
#include <Tervane/ASR/AsrManager.hpp>

#include <Tervane/Audio/AudioConverter.hpp>

namespace Tervane {

std::shared_ptr<AudioConverter> AsrManager::makeRecognitionAudioConverter() {
    return std::make_shared<AudioConverter>();  // 16 kHz mono float32, non-interleaved
}

ASRResult AsrManager::transcribe(const std::shared_ptr<AVAudioPCMBuffer>& buffer, AudioSource source) {
    const std::vector<float> samples = audioConverter_->resampleBuffer(buffer);
    return transcribe(std::span<const float>(samples), source);
}

ASRResult AsrManager::transcribe(const std::filesystem::path& file, AudioSource source) {
    const std::vector<float> samples = audioConverter_->resampleAudioFile(file);
    return transcribe(std::span<const float>(samples), source);
}

}  // namespace Tervane
