#pragma once

namespace Tervane {

/// The sample layouts the audio services work in. `otherFormat` covers everything else: linear
/// PCM of other widths (8- or 24-bit integers) and compressed formats such as a file's codec.
enum class AVAudioCommonFormat { otherFormat, pcmFormatFloat32, pcmFormatFloat64, pcmFormatInt16, pcmFormatInt32 };

}  // namespace Tervane
