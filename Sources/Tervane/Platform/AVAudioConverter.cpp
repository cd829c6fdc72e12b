#include <Tervane/Platform/AVAudioConverter.hpp>

#include <Tervane/Platform/FFmpegSupport.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace Tervane {

namespace {

struct ResamplerFreer {
    void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
struct FifoFreer {
    void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoFreer>;

AVSampleFormat sampleFormat(const AVAudioFormat& format) noexcept {
    const bool planar = !format.isInterleaved();
    switch (format.commonFormat()) {
    case AVAudioCommonFormat::pcmFormatFloat32: return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case AVAudioCommonFormat::pcmFormatFloat64: return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
    case AVAudioCommonFormat::pcmFormatInt16: return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case AVAudioCommonFormat::pcmFormatInt32: return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case AVAudioCommonFormat::otherFormat: break;
    }
    return AV_SAMPLE_FMT_NONE;
}

bool isWholeRate(double rate) noexcept {
    return rate >= 1 && rate <= std::numeric_limits<int>::max() && std::floor(rate) == rate;
}

/// The block pointers of a buffer, moved `frameOffset` frames in.
std::vector<std::uint8_t*> planesOf(const AVAudioPCMBuffer& buffer, AVAudioFrameCount frameOffset) {
    const std::size_t offset = std::size_t{frameOffset} * buffer.format()->streamDescription().mBytesPerFrame;
    std::vector<std::uint8_t*> planes;
    for (const AudioBuffer& block : buffer.audioBufferList().mBuffers) {
        planes.push_back(static_cast<std::uint8_t*>(block.mData) + offset);
    }
    return planes;
}

}  // namespace

struct AVAudioConverter::Impl {
    std::shared_ptr<AVAudioFormat> from;
    std::shared_ptr<AVAudioFormat> to;
    AVSampleFormat inputSampleFormat;
    AVSampleFormat outputSampleFormat;
    int inputRate;
    int outputRate;
    Resampler resampler;
    // Output made from input that did not fit the caller's buffer yet.
    Fifo pending;
    std::vector<std::uint8_t> scratch;
    bool inputEnded = false;

    Impl(std::shared_ptr<AVAudioFormat> fromFormat, std::shared_ptr<AVAudioFormat> toFormat)
        : from(std::move(fromFormat)), to(std::move(toFormat)), inputSampleFormat(sampleFormat(*from)),
          outputSampleFormat(sampleFormat(*to)) {
        // Equal rates need no resampling, whatever they are; libswresample wants whole numbers.
        const bool sameRate = from->sampleRate() == to->sampleRate();
        inputRate = sameRate ? 1 : static_cast<int>(from->sampleRate());
        outputRate = sameRate ? 1 : static_cast<int>(to->sampleRate());
    }

    /// False when libswresample cannot make this conversion.
    bool start() {
        AVChannelLayout inputChannels;
        AVChannelLayout outputChannels;
        av_channel_layout_default(&inputChannels, static_cast<int>(from->channelCount()));
        av_channel_layout_default(&outputChannels, static_cast<int>(to->channelCount()));
        SwrContext* raw = nullptr;
        int status = swr_alloc_set_opts2(&raw, &outputChannels, outputSampleFormat, outputRate, &inputChannels,
                                         inputSampleFormat, inputRate, 0, nullptr);
        resampler.reset(raw);
        if (status >= 0) {
            // A down-mix averages the channels: without a ceiling, libswresample's float mix
            // adds them at -3 dB each, so identical channels come out louder than either.
            status = av_opt_set_double(resampler.get(), "rematrix_maxval", 1.0, 0);
        }
        if (status >= 0) {
            status = swr_init(resampler.get());
        }
        av_channel_layout_uninit(&inputChannels);
        av_channel_layout_uninit(&outputChannels);
        pending.reset(av_audio_fifo_alloc(outputSampleFormat, static_cast<int>(to->channelCount()), 4096));
        inputEnded = false;
        return status >= 0 && pending != nullptr;
    }

    /// Input frames that would fill `frames` output frames; at least 1.
    [[nodiscard]] AVAudioPacketCount inputFramesFor(AVAudioFrameCount frames) const noexcept {
        const double wanted = std::ceil(static_cast<double>(frames) * inputRate / outputRate);
        return static_cast<AVAudioPacketCount>(
            std::clamp(wanted, 1.0, static_cast<double>(std::numeric_limits<AVAudioPacketCount>::max())));
    }

    /// Runs `frames` frames through the resampler into `pending`; a null input drains it.
    /// Returns an FFmpeg status.
    int push(const std::uint8_t* const* input, int frames) {
        const int room = swr_get_out_samples(resampler.get(), frames);
        if (room < 0) {
            return room;
        }
        if (room == 0) {
            return input == nullptr ? 0 : swr_convert(resampler.get(), nullptr, 0, const_cast<const std::uint8_t**>(input), frames);
        }
        const int channels = static_cast<int>(to->channelCount());
        int planeSize = 0;
        const int size = av_samples_get_buffer_size(&planeSize, channels, room, outputSampleFormat, 1);
        if (size < 0) {
            return size;
        }
        scratch.resize(static_cast<std::size_t>(size));
        std::vector<std::uint8_t*> planes(static_cast<std::size_t>(channels));
        const int filled = av_samples_fill_arrays(planes.data(), &planeSize, scratch.data(), channels, room, outputSampleFormat, 1);
        if (filled < 0) {
            return filled;
        }
        const int produced = swr_convert(resampler.get(), planes.data(), room, const_cast<const std::uint8_t**>(input), frames);
        if (produced <= 0) {
            return produced;
        }
        const int written = av_audio_fifo_write(pending.get(), reinterpret_cast<void**>(planes.data()), produced);
        return written < produced ? (written < 0 ? written : AVERROR(ENOMEM)) : produced;
    }

    /// Runs every frame of `input` through the resampler, in slices that keep the scratch small.
    int pushAll(const AVAudioPCMBuffer& input) {
        constexpr AVAudioFrameCount slice = 1U << 18;
        for (AVAudioFrameCount offset = 0; offset < input.frameLength(); offset += slice) {
            const std::vector<std::uint8_t*> planes = planesOf(input, offset);
            const int status = push(planes.data(), static_cast<int>(std::min(slice, input.frameLength() - offset)));
            if (status < 0) {
                return status;
            }
        }
        return 0;
    }

    /// Drains the resampler's delay into `pending`.
    int drain() {
        for (;;) {
            const int produced = push(nullptr, 0);
            if (produced <= 0) {
                return produced;
            }
        }
    }
};

AVAudioConverter::AVAudioConverter(PrivateTag, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AVAudioConverter::~AVAudioConverter() = default;

std::shared_ptr<AVAudioConverter> AVAudioConverter::make(std::shared_ptr<AVAudioFormat> from,
                                                         std::shared_ptr<AVAudioFormat> to) {
    if (!from || !to || sampleFormat(*from) == AV_SAMPLE_FMT_NONE || sampleFormat(*to) == AV_SAMPLE_FMT_NONE) {
        return nullptr;
    }
    constexpr auto maximumChannels = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    if (from->channelCount() > maximumChannels || to->channelCount() > maximumChannels) {
        return nullptr;
    }
    if (from->sampleRate() != to->sampleRate() && !(isWholeRate(from->sampleRate()) && isWholeRate(to->sampleRate()))) {
        return nullptr;
    }
    FFmpegSupport::routeLogging();
    auto impl = std::make_unique<Impl>(std::move(from), std::move(to));
    if (!impl->start()) {
        return nullptr;
    }
    return std::make_shared<AVAudioConverter>(PrivateTag{}, std::move(impl));
}

const std::shared_ptr<AVAudioFormat>& AVAudioConverter::inputFormat() const noexcept { return impl_->from; }
const std::shared_ptr<AVAudioFormat>& AVAudioConverter::outputFormat() const noexcept { return impl_->to; }

void AVAudioConverter::reset() {
    // The same settings succeeded when the converter was made.
    impl_->start();
}

AVAudioConverterOutputStatus AVAudioConverter::convert(AVAudioPCMBuffer& to, std::shared_ptr<const Error>& error,
                                                       const AVAudioConverterInputBlock& withInputFrom) {
    error.reset();
    AVAudioFrameCount filled = 0;
    const auto fail = [&](AVAudioConverterError::Kind kind, const std::string& reason) {
        error = std::make_shared<AVAudioConverterError>(kind, reason);
        to.setFrameLength(filled);
        return AVAudioConverterOutputStatus::error;
    };
    if (!to.format() || !(*to.format() == *impl_->to)) {
        return fail(AVAudioConverterError::Kind::formatMismatch,
                    "the output buffer's format (" + (to.format() ? to.format()->description() : "none") +
                        ") is not the converter's output format (" + impl_->to->description() + ")");
    }
    to.setFrameLength(0);
    if (!impl_->pending || !impl_->resampler) {
        return fail(AVAudioConverterError::Kind::conversionFailed, "the converter could not be restarted");
    }
    const AVAudioFrameCount capacity = to.frameCapacity();
    for (;;) {
        const int available = av_audio_fifo_size(impl_->pending.get());
        const int take = static_cast<int>(std::min<std::int64_t>(available, capacity - filled));
        if (take > 0) {
            std::vector<std::uint8_t*> planes = planesOf(to, filled);
            const int got = av_audio_fifo_read(impl_->pending.get(), reinterpret_cast<void**>(planes.data()), take);
            if (got < 0) {
                return fail(AVAudioConverterError::Kind::conversionFailed, FFmpegSupport::errorText(got));
            }
            filled += static_cast<AVAudioFrameCount>(got);
        }
        if (impl_->inputEnded && av_audio_fifo_size(impl_->pending.get()) == 0) {
            to.setFrameLength(filled);
            return AVAudioConverterOutputStatus::endOfStream;
        }
        if (filled == capacity) {
            to.setFrameLength(filled);
            return AVAudioConverterOutputStatus::haveData;
        }

        AVAudioConverterInputStatus status = AVAudioConverterInputStatus::haveData;
        const std::shared_ptr<AVAudioPCMBuffer> input = withInputFrom(impl_->inputFramesFor(capacity - filled), status);
        switch (status) {
        case AVAudioConverterInputStatus::noDataNow:
            to.setFrameLength(filled);
            return AVAudioConverterOutputStatus::inputRanDry;
        case AVAudioConverterInputStatus::endOfStream: {
            const int drained = impl_->drain();
            if (drained < 0) {
                return fail(AVAudioConverterError::Kind::conversionFailed, FFmpegSupport::errorText(drained));
            }
            impl_->inputEnded = true;
            break;
        }
        case AVAudioConverterInputStatus::haveData: {
            if (!input) {
                return fail(AVAudioConverterError::Kind::missingInputBuffer, "the input block answered haveData without a buffer");
            }
            if (!input->format() || !(*input->format() == *impl_->from)) {
                return fail(AVAudioConverterError::Kind::formatMismatch,
                            "the input buffer's format (" + (input->format() ? input->format()->description() : "none") +
                                ") is not the converter's input format (" + impl_->from->description() + ")");
            }
            const int pushed = impl_->pushAll(*input);
            if (pushed < 0) {
                return fail(AVAudioConverterError::Kind::conversionFailed, FFmpegSupport::errorText(pushed));
            }
            break;
        }
        }
    }
}

}  // namespace Tervane
