#include <Tervane/Platform/AVAudioFile.hpp>

#include <Tervane/Platform/FFmpegSupport.hpp>
#include <Tervane/Shared/AppLogger.hpp>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace Tervane {

namespace {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct ResamplerFreer {
    void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct FifoFreer {
    void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatContextCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoFreer>;

const AppLogger& fileLogger() {
    static const AppLogger logger("AVAudioFile");
    return logger;
}

/// The sample layout a decoded frame arrives in; a change means the converter to the
/// processing format must be rebuilt.
struct FrameLayout {
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
    int sampleRate = 0;
    int channels = 0;

    friend bool operator==(const FrameLayout&, const FrameLayout&) = default;
};

constexpr int maximumDrainFailures = 64;

/// One pass of demuxing and decoding the file's audio stream into 32-bit float planes at a
/// fixed rate and channel count. Frames whose layout differs go through libswresample; with
/// the same rate and channel count that is a plain sample-format conversion without delay.
class Decoder {
public:
    explicit Decoder(const std::filesystem::path& path) : path_(path) {
        FFmpegSupport::routeLogging();
        open();
    }

    /// Decode into this rate and channel count (by default the stream's own).
    void setOutput(int sampleRate, int channels) {
        output_ = FrameLayout{AV_SAMPLE_FMT_FLTP, sampleRate, channels};
        fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 4096));
        if (!fifo_) {
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, "out of memory", ENOMEM);
        }
    }

    [[nodiscard]] const FrameLayout& output() const noexcept { return output_; }
    [[nodiscard]] const AVCodecParameters& parameters() const noexcept { return *stream_->codecpar; }
    [[nodiscard]] bool finished() const noexcept { return finished_ && av_audio_fifo_size(fifo_.get()) == 0; }

    /// Up to `frames` frames into `planes` (one pointer per output channel); fewer only at the
    /// end. Frames go straight to the caller's memory; only the rest of a decoded frame waits.
    AVAudioFrameCount read(float* const* planes, AVAudioFrameCount frames) {
        if (av_audio_fifo_size(fifo_.get()) == 0 && failure_) {
            throw *failure_;
        }
        std::vector<void*> destinations(static_cast<std::size_t>(output_.channels));
        AVAudioFrameCount delivered = 0;
        while (delivered < frames) {
            if (const int waiting = av_audio_fifo_size(fifo_.get()); waiting > 0) {
                const int count = static_cast<int>(std::min<AVAudioFrameCount>(static_cast<AVAudioFrameCount>(waiting), frames - delivered));
                for (std::size_t c = 0; c < destinations.size(); ++c) {
                    destinations[c] = planes[c] + delivered;
                }
                const int got = av_audio_fifo_read(fifo_.get(), destinations.data(), count);
                if (got < 0) {
                    throw readFailure(got);
                }
                delivered += static_cast<AVAudioFrameCount>(got);
                continue;
            }
            if (finished_ || failure_) {
                break;
            }
            try {
                step();
            } catch (const AVAudioFileError& error) {
                // What was decoded before the failure is still handed out; the failure comes next.
                failure_ = error;
                if (delivered == 0 && av_audio_fifo_size(fifo_.get()) == 0) {
                    throw;
                }
            }
        }
        return delivered;
    }

    /// Decodes the rest of the stream and counts its frames.
    AVAudioFramePosition countRemaining() {
        constexpr AVAudioFrameCount block = 65536;
        std::vector<std::vector<float>> storage(static_cast<std::size_t>(output_.channels), std::vector<float>(block));
        std::vector<float*> planes;
        for (auto& plane : storage) {
            planes.push_back(plane.data());
        }
        AVAudioFramePosition total = 0;
        while (const AVAudioFrameCount got = read(planes.data(), block)) {
            total += got;
        }
        return total;
    }

private:
    void open() {
        checkReadable();
        AVDictionary* options = nullptr;
        // Only plain files: a path must never reach the network or another protocol, and a
        // playlist inside a file must not pull in other sources.
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        AVFormatContext* rawContext = nullptr;
        const std::string url = "file:" + path_.string();
        int status = avformat_open_input(&rawContext, url.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (status < 0) {
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, openFailureReason(status));
        }
        format_.reset(rawContext);
        status = avformat_find_stream_info(format_.get(), nullptr);
        if (status < 0) {
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, openFailureReason(status));
        }
        const AVCodec* codec = nullptr;
        status = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (status == AVERROR_DECODER_NOT_FOUND) {
            const int index = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
            const AVCodecID id = index >= 0 ? format_->streams[index]->codecpar->codec_id : AV_CODEC_ID_NONE;
            throw AVAudioFileError(AVAudioFileError::Kind::noAudioStream, path_,
                                   std::string("no decoder for its audio codec ") + avcodec_get_name(id));
        }
        if (status < 0) {
            throw AVAudioFileError(AVAudioFileError::Kind::noAudioStream, path_, "the file holds no audio stream");
        }
        stream_ = format_->streams[status];
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            if (format_->streams[i] != stream_) {
                format_->streams[i]->discard = AVDISCARD_ALL;
            }
        }
        openDecoder(codec);
        setOutput(stream_->codecpar->sample_rate, stream_->codecpar->ch_layout.nb_channels);
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!packet_ || !frame_) {
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, "out of memory", ENOMEM);
        }
    }

    void openDecoder(const AVCodec* codec) {
        const auto fail = [&](const std::string& reason) {
            throw AVAudioFileError(AVAudioFileError::Kind::noAudioStream, path_,
                                   std::string("could not open its ") + codec->name + " decoder: " + reason);
        };
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_) {
            fail("out of memory");
        }
        int status = avcodec_parameters_to_context(decoder_.get(), stream_->codecpar);
        if (status >= 0) {
            // Lets decoders that trim encoder delay keep their timestamps consistent.
            decoder_->pkt_timebase = stream_->time_base;
            status = avcodec_open2(decoder_.get(), codec, nullptr);
        }
        if (status < 0) {
            fail(FFmpegSupport::errorText(status));
        }
        if (stream_->codecpar->sample_rate <= 0 || stream_->codecpar->ch_layout.nb_channels <= 0) {
            fail("the stream states no sample rate or channel count");
        }
    }

    /// Failures of the file system are told in the system's words; FFmpeg would report a
    /// directory, for one, as something vaguer.
    void checkReadable() const {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const int number = errno;
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, std::generic_category().message(number), number);
        }
        struct stat status {};
        const bool isDirectory = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
        ::close(fd);
        if (isDirectory) {
            throw AVAudioFileError(AVAudioFileError::Kind::openFailed, path_, std::generic_category().message(EISDIR), EISDIR);
        }
    }

    /// The file was readable a moment ago, so what FFmpeg reports now is about its contents.
    static std::string openFailureReason(int status) {
        if (status == AVERROR_INVALIDDATA) {
            return "not a media file FFmpeg recognises";
        }
        return "not a media file FFmpeg can read (" + FFmpegSupport::errorText(status) + ")";
    }

    AVAudioFileError readFailure(int status) const {
        return AVAudioFileError(AVAudioFileError::Kind::readFailed, path_, FFmpegSupport::errorText(status),
                                FFmpegSupport::errorNumber(status));
    }

    /// One unit of work: a decoded frame delivered, a packet handed to the decoder, or the end.
    void step() {
        if (!needPacket_) {
            const int status = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (status == 0) {
                drainFailures_ = 0;
                deliver(*frame_);
                av_frame_unref(frame_.get());
                return;
            }
            if (status == AVERROR_EOF || (status == AVERROR(EAGAIN) && inputEnded_)) {
                finish();
                return;
            }
            if (status != AVERROR(EAGAIN)) {
                rejectOrFail(status);
                // Once the input has ended there is no packet to move on to; a decoder that
                // keeps failing while it drains is given up on.
                if (inputEnded_ && ++drainFailures_ > maximumDrainFailures) {
                    finish();
                }
                needPacket_ = !inputEnded_;
                return;
            }
            needPacket_ = true;
        }
        int status = av_read_frame(format_.get(), packet_.get());
        if (status == AVERROR_EOF) {
            inputEnded_ = true;
            needPacket_ = false;
            avcodec_send_packet(decoder_.get(), nullptr);
            return;
        }
        if (status < 0) {
            throw readFailure(status);
        }
        if (packet_->stream_index == stream_->index) {
            needPacket_ = false;
            status = avcodec_send_packet(decoder_.get(), packet_.get());
            if (status < 0 && status != AVERROR(EAGAIN)) {
                rejectOrFail(status);
            }
        }
        av_packet_unref(packet_.get());
    }

    void finish() {
        flushResampler();
        finished_ = true;
    }

    /// Out of memory ends the read; any other decoder failure concerns one packet's data.
    void rejectOrFail(int status) {
        if (status == AVERROR(ENOMEM)) {
            throw readFailure(status);
        }
        fileLogger().warning("skipped a damaged packet in \"" + path_.string() +
                             "\": " + FFmpegSupport::errorText(status));
    }

    void deliver(const AVFrame& frame) {
        const FrameLayout layout{static_cast<AVSampleFormat>(frame.format), frame.sample_rate, frame.ch_layout.nb_channels};
        if (layout != resamplerInput_) {
            flushResampler();
            configureResampler(layout);
        }
        if (!resampler_) {
            write(reinterpret_cast<void**>(frame.extended_data), frame.nb_samples);
            return;
        }
        convert(const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
    }

    void configureResampler(const FrameLayout& layout) {
        resamplerInput_ = layout;
        resampler_.reset();
        if (layout == output_) {
            return;
        }
        // Layouts by channel count on both sides: equal counts are copied channel by channel,
        // never remixed, whatever order the codec names its channels in.
        AVChannelLayout inputChannels;
        AVChannelLayout outputChannels;
        av_channel_layout_default(&inputChannels, layout.channels);
        av_channel_layout_default(&outputChannels, output_.channels);
        SwrContext* raw = nullptr;
        int status = swr_alloc_set_opts2(&raw, &outputChannels, output_.sampleFormat, output_.sampleRate, &inputChannels,
                                         layout.sampleFormat, layout.sampleRate, 0, nullptr);
        resampler_.reset(raw);
        if (status >= 0) {
            status = swr_init(resampler_.get());
        }
        av_channel_layout_uninit(&inputChannels);
        av_channel_layout_uninit(&outputChannels);
        if (status < 0) {
            throw AVAudioFileError(AVAudioFileError::Kind::readFailed, path_,
                                   "cannot convert its decoded samples: " + FFmpegSupport::errorText(status));
        }
    }

    /// Runs `frames` input frames (none and a null input to drain) through the resampler.
    void convert(const std::uint8_t** input, int frames) {
        const int room = swr_get_out_samples(resampler_.get(), frames);
        if (room < 0) {
            throw readFailure(room);
        }
        scratch_.resize(static_cast<std::size_t>(output_.channels) * static_cast<std::size_t>(std::max(room, 1)));
        std::vector<std::uint8_t*> planes;
        for (int c = 0; c < output_.channels; ++c) {
            planes.push_back(reinterpret_cast<std::uint8_t*>(scratch_.data() + static_cast<std::size_t>(c) * std::max(room, 1)));
        }
        const int produced = swr_convert(resampler_.get(), planes.data(), std::max(room, 1), input, frames);
        if (produced < 0) {
            throw readFailure(produced);
        }
        write(reinterpret_cast<void**>(planes.data()), produced);
    }

    void flushResampler() {
        if (!resampler_) {
            return;
        }
        while (swr_get_delay(resampler_.get(), output_.sampleRate) > 0) {
            const int before = av_audio_fifo_size(fifo_.get());
            convert(nullptr, 0);
            if (av_audio_fifo_size(fifo_.get()) == before) {
                break;
            }
        }
        resampler_.reset();
        resamplerInput_ = FrameLayout{};
    }

    void write(void** planes, int frames) {
        if (frames <= 0) {
            return;
        }
        const int written = av_audio_fifo_write(fifo_.get(), planes, frames);
        if (written < frames) {
            throw readFailure(written < 0 ? written : AVERROR(ENOMEM));
        }
    }

    std::filesystem::path path_;
    FormatContext format_;
    AVStream* stream_ = nullptr;
    CodecContext decoder_;
    Packet packet_;
    Frame frame_;
    FrameLayout output_;
    FrameLayout resamplerInput_;
    Resampler resampler_;
    Fifo fifo_;
    std::vector<float> scratch_;
    bool needPacket_ = false;
    bool inputEnded_ = false;
    bool finished_ = false;
    int drainFailures_ = 0;
    std::optional<AVAudioFileError> failure_;
};

/// The linear-PCM layout a PCM codec stores, or 0 bits when it is not one a description holds.
struct StoredLayout {
    AudioFormatFlags flags = 0;
    std::uint32_t bits = 0;
    std::uint32_t bytes = 0;
};

StoredLayout storedLayout(AVCodecID codec) noexcept {
    switch (codec) {
    case AV_CODEC_ID_PCM_U8: return {kAudioFormatFlagIsPacked, 8, 1};
    case AV_CODEC_ID_PCM_S16LE: return {kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 16, 2};
    case AV_CODEC_ID_PCM_S24LE: return {kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 24, 3};
    case AV_CODEC_ID_PCM_S32LE: return {kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 32, 4};
    case AV_CODEC_ID_PCM_F32LE: return {kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 32, 4};
    case AV_CODEC_ID_PCM_F64LE: return {kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 64, 8};
    default: return {};
    }
}

AudioFormatID compressedFormatID(AVCodecID codec) {
    switch (codec) {
    case AV_CODEC_ID_FLAC: return kAudioFormatFLAC;
    case AV_CODEC_ID_MP3: return kAudioFormatMPEGLayer3;
    case AV_CODEC_ID_AAC: return kAudioFormatMPEG4AAC;
    case AV_CODEC_ID_OPUS: return kAudioFormatOpus;
    case AV_CODEC_ID_ALAC: return kAudioFormatAppleLossless;
    default: break;
    }
    // Otherwise the first four characters of FFmpeg's codec name, padded with spaces.
    std::string name = avcodec_get_name(codec);
    name.resize(4, ' ');
    return (AudioFormatID{static_cast<unsigned char>(name[0])} << 24) |
           (AudioFormatID{static_cast<unsigned char>(name[1])} << 16) |
           (AudioFormatID{static_cast<unsigned char>(name[2])} << 8) | AudioFormatID{static_cast<unsigned char>(name[3])};
}

std::shared_ptr<AVAudioFormat> storedFormat(const AVCodecParameters& parameters) {
    AudioStreamBasicDescription d;
    d.mSampleRate = parameters.sample_rate;
    d.mChannelsPerFrame = static_cast<std::uint32_t>(parameters.ch_layout.nb_channels);
    if (const StoredLayout layout = storedLayout(parameters.codec_id); layout.bits != 0) {
        d.mFormatID = kAudioFormatLinearPCM;
        d.mFormatFlags = layout.flags;
        d.mBitsPerChannel = layout.bits;
        d.mBytesPerFrame = layout.bytes * d.mChannelsPerFrame;
        d.mBytesPerPacket = d.mBytesPerFrame;
        d.mFramesPerPacket = 1;
    } else {
        d.mFormatID = compressedFormatID(parameters.codec_id);
        d.mFramesPerPacket = parameters.frame_size > 0 ? static_cast<std::uint32_t>(parameters.frame_size) : 0;
    }
    return AVAudioFormat::make(d);
}

}  // namespace

struct AVAudioFile::Impl {
    std::filesystem::path path;
    Decoder decoder;
    std::shared_ptr<AVAudioFormat> processingFormat;
    std::shared_ptr<AVAudioFormat> fileFormat;
    AVAudioFramePosition framePosition = 0;
    mutable std::optional<AVAudioFramePosition> length;

    explicit Impl(const std::filesystem::path& filePath) : path(filePath), decoder(filePath) {
        const FrameLayout& output = decoder.output();
        processingFormat = AVAudioFormat::make(AVAudioCommonFormat::pcmFormatFloat32, output.sampleRate,
                                               static_cast<std::uint32_t>(output.channels), false);
        fileFormat = storedFormat(decoder.parameters());
        if (!fileFormat) {
            fileFormat = processingFormat;
        }
    }
};

AVAudioFile::AVAudioFile(const std::filesystem::path& forReading) : impl_(std::make_unique<Impl>(forReading)) {}
AVAudioFile::~AVAudioFile() = default;
AVAudioFile::AVAudioFile(AVAudioFile&&) noexcept = default;
AVAudioFile& AVAudioFile::operator=(AVAudioFile&&) noexcept = default;

const std::filesystem::path& AVAudioFile::url() const noexcept { return impl_->path; }
const std::shared_ptr<AVAudioFormat>& AVAudioFile::processingFormat() const noexcept { return impl_->processingFormat; }
const std::shared_ptr<AVAudioFormat>& AVAudioFile::fileFormat() const noexcept { return impl_->fileFormat; }
AVAudioFramePosition AVAudioFile::framePosition() const noexcept { return impl_->framePosition; }

AVAudioFramePosition AVAudioFile::length() const {
    if (impl_->decoder.finished()) {
        return impl_->framePosition;
    }
    if (!impl_->length) {
        Decoder counter(impl_->path);
        const FrameLayout& output = impl_->decoder.output();
        counter.setOutput(output.sampleRate, output.channels);
        impl_->length = counter.countRemaining();
    }
    return *impl_->length;
}

void AVAudioFile::read(AVAudioPCMBuffer& into) { read(into, into.frameCapacity()); }

void AVAudioFile::read(AVAudioPCMBuffer& into, AVAudioFrameCount frameCount) {
    if (!into.format() || !(*into.format() == *impl_->processingFormat)) {
        throw AVAudioFileError(AVAudioFileError::Kind::bufferFormatMismatch, impl_->path,
                               "the buffer's format (" + (into.format() ? into.format()->description() : "none") +
                                   ") is not the file's processing format (" + impl_->processingFormat->description() +
                                   ")");
    }
    into.setFrameLength(0);
    const AVAudioFrameCount frames = impl_->decoder.read(into.floatChannelData(), std::min(frameCount, into.frameCapacity()));
    into.setFrameLength(frames);
    impl_->framePosition += frames;
}

}  // namespace Tervane
