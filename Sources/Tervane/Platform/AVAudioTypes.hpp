#pragma once

#include <cstdint>

namespace Tervane {

/// A number of sample frames (one sample per channel) in a buffer or a request.
using AVAudioFrameCount = std::uint32_t;
/// A frame index within a file; signed so that lengths and differences stay in one type.
using AVAudioFramePosition = std::int64_t;
/// A number of packets a converter asks its supplier for. For linear PCM a packet is a frame.
using AVAudioPacketCount = std::uint32_t;

}  // namespace Tervane
