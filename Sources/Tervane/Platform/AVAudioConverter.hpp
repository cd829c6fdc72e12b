#pragma once

#include <Tervane/Platform/AVAudioConverterError.hpp>
#include <Tervane/Platform/AVAudioFormat.hpp>
#include <Tervane/Platform/AVAudioPCMBuffer.hpp>
#include <Tervane/Platform/AVAudioTypes.hpp>

#include <functional>
#include <memory>

namespace Tervane {

/// What an input block tells the converter.
enum class AVAudioConverterInputStatus {
    /// A buffer in the input format is supplied; all of its `frameLength` frames are taken.
    haveData,
    /// Nothing now, perhaps later: the conversion returns what it has.
    noDataNow,
    /// Nothing ever again: the converter flushes what it holds.
    endOfStream,
};

/// How a conversion ended.
enum class AVAudioConverterOutputStatus {
    /// The output buffer is full; more may follow.
    haveData,
    /// The input block answered `noDataNow`; the output holds what could be made so far.
    inputRanDry,
    /// Input has ended and everything the converter held is in this output or an earlier one.
    endOfStream,
    /// See the error handed back.
    error,
};

/// Supplies input on request. The packet count is how many input frames would fill the rest
/// of the output; a block may supply more or fewer. The converter is done with the buffer when
/// the block is next called (or the conversion returns), so one buffer may be refilled each time.
using AVAudioConverterInputBlock =
    std::function<std::shared_ptr<AVAudioPCMBuffer>(AVAudioPacketCount inNumberOfPackets,
                                                    AVAudioConverterInputStatus& outStatus)>;

/// Converts a stream of PCM buffers from one format to another: sample layout, channel count
/// (libswresample's matrix for the standard layout of each count, capped at unity gain, so a
/// down-mix averages the channels) and sample rate (libswresample's default filter, whose
/// delay is flushed at the end of the stream).
/// Not safe to use from several threads at once.
class AVAudioConverter {
    struct PrivateTag {};

public:
    /// Null when either format is missing or not in a common linear-PCM layout, when the rates
    /// differ and either is not a whole number of hertz, or when libswresample cannot mix the
    /// one channel count into the other.
    [[nodiscard]] static std::shared_ptr<AVAudioConverter> make(std::shared_ptr<AVAudioFormat> from,
                                                                std::shared_ptr<AVAudioFormat> to);

    ~AVAudioConverter();
    AVAudioConverter(const AVAudioConverter&) = delete;
    AVAudioConverter& operator=(const AVAudioConverter&) = delete;

    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& inputFormat() const noexcept;
    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& outputFormat() const noexcept;

    /// Forgets all buffered input and the end of the stream: the next conversion starts afresh.
    void reset();

    /// Fills `to` from its start, pulling input through `withInputFrom` until the buffer is
    /// full or the block stops supplying, and sets its `frameLength`. After the end of the
    /// stream every call returns `endOfStream` with 0 frames, without calling the block, until
    /// `reset`. `error` is cleared on entry and set when the result is `error`: a buffer in the
    /// wrong format, `haveData` without a buffer, or a failure of the resampler. Exceptions the
    /// block throws pass through. A block that answers `haveData` with empty buffers is simply
    /// asked again.
    [[nodiscard]] AVAudioConverterOutputStatus convert(AVAudioPCMBuffer& to, std::shared_ptr<const Error>& error,
                                         const AVAudioConverterInputBlock& withInputFrom);

    struct Impl;
    AVAudioConverter(PrivateTag, std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tervane
