// Video encoders over libavcodec: VA-API first when a render node opens and its driver reports the profile,
// then the software encoders. Each encoder is owned and driven by the encoder thread alone.

#include "platform/linux/lavc_encoder.h"

#include "base/clock.h"
#include "platform/linux/av_error.h"
#include "platform/linux/handles.h"
#include "platform/memory.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <va/va.h>
#include <va/va_drm.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace platform::lavc {

namespace {

// A VA-API render node whose driver can encode the profile.
struct VaapiNode {
    std::string path;
    bool low_power { false };
};

std::optional<VaapiNode> find_vaapi_node(Codec codec)
{
    VAProfile const profile = codec == Codec::H264 ? VAProfileH264High : VAProfileHEVCMain;
    for (int minor = 128; minor < 136; ++minor) {
        std::string const path = fmt::format("/dev/dri/renderD{}", minor);
        int const fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        std::optional<VaapiNode> found;
        if (VADisplay display = vaGetDisplayDRM(fd)) {
            // libva prints its version and driver search to standard error otherwise; errors still show.
            vaSetInfoCallback(
                display, [](void*, char const*) noexcept {}, nullptr);
            int major = 0, minor_version = 0;
            if (vaInitialize(display, &major, &minor_version) == VA_STATUS_SUCCESS) {
                std::vector<VAEntrypoint> entrypoints(std::size_t(std::max(vaMaxNumEntrypoints(display), 1)));
                int count = 0;
                if (vaQueryConfigEntrypoints(display, profile, entrypoints.data(), &count) == VA_STATUS_SUCCESS) {
                    bool slice = false, low_power = false;
                    for (int i = 0; i < count; ++i) {
                        slice |= entrypoints[std::size_t(i)] == VAEntrypointEncSlice;
                        low_power |= entrypoints[std::size_t(i)] == VAEntrypointEncSliceLP;
                    }
                    if (slice || low_power)
                        found = VaapiNode { path, !slice };
                }
                vaTerminate(display);
            }
        }
        ::close(fd);
        if (found)
            return found;
    }
    return std::nullopt;
}

enum class Kind { Vaapi, X264, X265, SvtAv1, Aom };

struct Candidate {
    char const* codec_name;
    Kind kind;
    Codec codec;
};

constexpr std::array candidates {
    Candidate { "h264_vaapi", Kind::Vaapi, Codec::H264 },
    Candidate { "libx264", Kind::X264, Codec::H264 },
    Candidate { "hevc_vaapi", Kind::Vaapi, Codec::Hevc },
    Candidate { "libx265", Kind::X265, Codec::Hevc },
    Candidate { "libsvtav1", Kind::SvtAv1, Codec::Av1 },
    Candidate { "libaom-av1", Kind::Aom, Codec::Av1 },
};

// Encoder libraries start their worker threads while they open, and a new thread takes its creator's name.
// The opening thread goes by the encoder's name meanwhile, so that the workers do not pass for it in the
// per-thread figures.
class WorkerName {
public:
    explicit WorkerName(char const* codec_name)
    {
        pthread_getname_np(pthread_self(), m_saved, sizeof m_saved);
        std::string const name = fmt::format("enc-{}", codec_name).substr(0, 15);
        pthread_setname_np(pthread_self(), name.c_str());
    }
    ~WorkerName() { pthread_setname_np(pthread_self(), m_saved); }
    WorkerName(WorkerName const&) = delete;
    WorkerName& operator=(WorkerName const&) = delete;

private:
    char m_saved[16] {};
};

void set_option(AVCodecContext* context, char const* key, std::string const& value)
{
    // Options an encoder build lacks are skipped: the stream is still valid without them.
    av_opt_set(context->priv_data, key, value.c_str(), 0);
}

class LavcEncoder final : public VideoEncoder {
public:
    static Result<std::unique_ptr<VideoEncoder>> open(Candidate const& candidate, EncoderParams const& params)
    {
        AVCodec const* codec = avcodec_find_encoder_by_name(candidate.codec_name);
        if (!codec)
            return fail(fmt::format("encodeur {} absent", candidate.codec_name));
        auto encoder = std::unique_ptr<LavcEncoder>(new LavcEncoder());
        encoder->m_name = candidate.codec_name;
        encoder->m_layout
            = candidate.kind == Kind::Vaapi || candidate.kind == Kind::X264 ? PixelLayout::Nv12 : PixelLayout::I420;
        std::optional<VaapiNode> node;
        if (candidate.kind == Kind::Vaapi) {
            node = find_vaapi_node(candidate.codec);
            if (!node)
                return fail(fmt::format("encodeur {} : aucun périphérique VA-API", candidate.codec_name));
            encoder->m_name = fmt::format("{} ({})", candidate.codec_name, node->path);
        }

        handles::CodecContext context(avcodec_alloc_context3(codec));
        if (!context)
            return fail(os_error(ENOMEM));
        AVCodecContext* c = context.get();
        int const fps = int(std::max<std::uint32_t>(params.fps, 1));
        c->width = int(params.width);
        c->height = int(params.height);
        c->time_base = AVRational { 1, int(ticks::ticks_per_second) };
        c->framerate = AVRational { fps, 1 };
        c->pkt_timebase = c->time_base;
        c->gop_size = fps;
        c->keyint_min = fps;
        c->max_b_frames = 0;
        c->bit_rate = params.bitrate;
        c->sample_aspect_ratio = AVRational { 1, 1 };
        c->color_range = AVCOL_RANGE_MPEG;
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_BT709;
        c->colorspace = AVCOL_SPC_BT709;
        c->chroma_sample_location = AVCHROMA_LOC_LEFT;
        c->pix_fmt = encoder->m_layout == PixelLayout::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        bool const favour_quality = params.quality_vs_speed >= 100;

        switch (candidate.kind) {
        case Kind::Vaapi: {
            c->profile = candidate.codec == Codec::H264 ? FF_PROFILE_H264_HIGH : FF_PROFILE_HEVC_MAIN;
            c->rc_max_rate = params.max_bitrate;
            c->rc_buffer_size = int(std::min<std::uint32_t>(params.max_bitrate, INT32_MAX));
            set_option(c, "rc_mode", "VBR");
            if (node->low_power)
                set_option(c, "low_power", "1");
            AVBufferRef* device = nullptr;
            if (int err = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node->path.c_str(), nullptr, 0);
                err < 0)
                return fail(fmt::format("encodeur {} : {}", encoder->m_name, av_error(err)));
            encoder->m_device.reset(device);
            handles::BufferRef frames(av_hwframe_ctx_alloc(device));
            if (!frames)
                return fail(os_error(ENOMEM));
            auto* frames_context = reinterpret_cast<AVHWFramesContext*>(frames->data);
            frames_context->format = AV_PIX_FMT_VAAPI;
            frames_context->sw_format = AV_PIX_FMT_NV12;
            frames_context->width = c->width;
            frames_context->height = c->height;
            frames_context->initial_pool_size = 16;
            if (int err = av_hwframe_ctx_init(frames.get()); err < 0)
                return fail(fmt::format("encodeur {} : {}", encoder->m_name, av_error(err)));
            c->hw_frames_ctx = av_buffer_ref(frames.get());
            c->pix_fmt = AV_PIX_FMT_VAAPI;
            encoder->m_frames = std::move(frames);
            break;
        }
        case Kind::X264:
            c->profile = FF_PROFILE_H264_HIGH;
            c->rc_max_rate = params.max_bitrate;
            c->rc_buffer_size = int(std::min<std::uint32_t>(params.max_bitrate, INT32_MAX));
            set_option(c, "preset", favour_quality ? "superfast" : "ultrafast");
            set_option(c, "tune", "zerolatency");
            set_option(c, "profile", "high");
            // 8x8 transforms make the stream High profile even with the fastest preset.
            set_option(c, "x264-params", "scenecut=0:8x8dct=1");
            break;
        case Kind::X265:
            c->profile = FF_PROFILE_HEVC_MAIN;
            c->rc_max_rate = params.max_bitrate;
            c->rc_buffer_size = int(std::min<std::uint32_t>(params.max_bitrate, INT32_MAX));
            set_option(c, "preset", "ultrafast");
            set_option(c, "tune", "zerolatency");
            set_option(c, "profile", "main");
            // Without open-gop=0 the later keyframes are CRA pictures, which a clip cannot start from.
            set_option(c, "x265-params",
                fmt::format("keyint={0}:min-keyint={0}:scenecut=0:open-gop=0:bframes=0:log-level=error", fps));
            break;
        case Kind::SvtAv1:
            c->profile = FF_PROFILE_AV1_MAIN;
            // Low delay needs constant bitrate control; a peak equal to the mean is refused.
            c->rc_max_rate = 0;
            set_option(c, "preset", favour_quality ? "12" : "13");
            set_option(c, "svtav1-params", "rc=2:pred-struct=1");
            break;
        case Kind::Aom:
            c->profile = FF_PROFILE_AV1_MAIN;
            c->rc_max_rate = params.max_bitrate;
            c->rc_buffer_size = int(std::min<std::uint32_t>(params.max_bitrate, INT32_MAX));
            set_option(c, "usage", "realtime");
            set_option(c, "cpu-used", favour_quality ? "8" : "10");
            set_option(c, "lag-in-frames", "0");
            set_option(c, "row-mt", "1");
            break;
        }

        int const opened = [&] {
            WorkerName const workers(candidate.codec_name);
            return avcodec_open2(c, codec, nullptr);
        }();
        if (int err = opened; err < 0)
            return fail(fmt::format("encodeur {} : {}", encoder->m_name, av_error(err)));
        encoder->m_context = std::move(context);
        encoder->m_packet.reset(av_packet_alloc());
        if (!encoder->m_packet)
            return fail(os_error(ENOMEM));
        return std::unique_ptr<VideoEncoder>(std::move(encoder));
    }

    ~LavcEncoder() override
    {
        // SVT-AV1 waits for the end of the stream when it is closed: an encoder never flushed would hang.
        if (m_context && !m_flushed) {
            std::vector<EncodedPacket> dropped;
            (void)flush(dropped);
        }
    }

    std::string const& name() const override { return m_name; }
    PixelLayout input_layout() const override { return m_layout; }

    Result<void> encode(VideoFrame const& frame, std::vector<EncodedPacket>& out) override
    {
        handles::Frame picture = TRY(wrap(frame));
        if (m_frames) {
            handles::Frame hardware(av_frame_alloc());
            if (!hardware)
                return fail(os_error(ENOMEM));
            if (int err = av_hwframe_get_buffer(m_frames.get(), hardware.get(), 0); err < 0)
                return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
            if (int err = av_hwframe_transfer_data(hardware.get(), picture.get(), 0); err < 0)
                return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
            hardware->pts = picture->pts;
            hardware->pkt_duration = picture->pkt_duration;
            picture = std::move(hardware);
        }
        if (int err = avcodec_send_frame(m_context.get(), picture.get()); err < 0)
            return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
        ++m_sent;
        return receive(out);
    }

    Result<void> flush(std::vector<EncodedPacket>& out) override
    {
        m_flushed = true;
        // SVT-AV1 never ends a stream that has no picture: give it one black picture, whose output is dropped.
        if (m_sent == 0) {
            TRY_VOID(send_black_picture());
            std::vector<EncodedPacket> dropped;
            TRY_VOID(receive(dropped));
            if (int err = avcodec_send_frame(m_context.get(), nullptr); err < 0 && err != AVERROR_EOF)
                return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
            return receive(dropped);
        }
        if (int err = avcodec_send_frame(m_context.get(), nullptr); err < 0 && err != AVERROR_EOF)
            return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
        return receive(out);
    }

private:
    LavcEncoder() = default;

    Result<void> send_black_picture()
    {
        handles::Frame picture(av_frame_alloc());
        if (!picture)
            return fail(os_error(ENOMEM));
        picture->format = m_layout == PixelLayout::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        picture->width = m_context->width;
        picture->height = m_context->height;
        if (int err = av_frame_get_buffer(picture.get(), 0); err < 0)
            return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
        int const planes = m_layout == PixelLayout::Nv12 ? 2 : 3;
        for (int p = 0; p < planes; ++p) {
            int const rows = p == 0 ? picture->height : picture->height / 2;
            std::memset(picture->data[p], p == 0 ? 16 : 128, std::size_t(picture->linesize[p]) * rows);
        }
        picture->pts = 0;
        if (m_frames) {
            handles::Frame hardware(av_frame_alloc());
            if (!hardware || av_hwframe_get_buffer(m_frames.get(), hardware.get(), 0) < 0
                || av_hwframe_transfer_data(hardware.get(), picture.get(), 0) < 0)
                return fail(fmt::format("encodeur {} : transfert impossible", m_name));
            hardware->pts = 0;
            picture = std::move(hardware);
        }
        if (int err = avcodec_send_frame(m_context.get(), picture.get()); err < 0)
            return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
        ++m_sent;
        return {};
    }

    // The pool's pixels go to the encoder without a copy; libavcodec drops the reference when done.
    Result<handles::Frame> wrap(VideoFrame const& frame)
    {
        handles::Frame picture(av_frame_alloc());
        if (!picture)
            return fail(os_error(ENOMEM));
        YuvImage const& image = *frame.image;
        picture->format = m_layout == PixelLayout::Nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        picture->width = int(image.width);
        picture->height = int(image.height);
        picture->color_range = AVCOL_RANGE_MPEG;
        picture->color_primaries = AVCOL_PRI_BT709;
        picture->color_trc = AVCOL_TRC_BT709;
        picture->colorspace = AVCOL_SPC_BT709;
        picture->chroma_location = AVCHROMA_LOC_LEFT;
        int const planes = m_layout == PixelLayout::Nv12 ? 2 : 3;
        for (int i = 0; i < planes; ++i) {
            picture->data[i] = image.planes[i];
            picture->linesize[i] = int(image.strides[i]);
        }
        auto* keep = new std::shared_ptr<YuvImage const>(frame.image);
        picture->buf[0] = av_buffer_create(
            image.planes[0], 1,
            [](void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<YuvImage const>*>(opaque); }, keep,
            AV_BUFFER_FLAG_READONLY);
        if (!picture->buf[0]) {
            delete keep;
            return fail(os_error(ENOMEM));
        }
        picture->pts = frame.time;
        picture->pkt_duration = frame.duration;
        return picture;
    }

    Result<void> receive(std::vector<EncodedPacket>& out)
    {
        for (;;) {
            int const err = avcodec_receive_packet(m_context.get(), m_packet.get());
            if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
                return {};
            if (err < 0)
                return fail(fmt::format("encodeur {} : {}", m_name, av_error(err)));
            EncodedPacket packet;
            packet.data.assign(m_packet->data, m_packet->data + m_packet->size);
            packet.time = m_packet->pts;
            packet.keyframe = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
            out.push_back(std::move(packet));
            av_packet_unref(m_packet.get());
        }
    }

    std::string m_name;
    PixelLayout m_layout { PixelLayout::Nv12 };
    handles::BufferRef m_device;
    handles::BufferRef m_frames;
    handles::CodecContext m_context;
    handles::Packet m_packet;
    bool m_flushed { false };
    std::uint64_t m_sent { 0 };
};

// Whether an encoder really opens, at a small size; once per process and candidate.
bool opens(Candidate const& candidate)
{
    if (candidate.kind == Kind::Vaapi && !find_vaapi_node(candidate.codec))
        return false;
    EncoderParams params;
    params.codec = candidate.codec;
    params.width = 320;
    params.height = 180;
    params.fps = 30;
    params.bitrate = 500'000;
    params.max_bitrate = 750'000;
    return LavcEncoder::open(candidate, params).has_value();
}

std::array<bool, candidates.size()> const& availability()
{
    static std::array<bool, candidates.size()> const available = [] {
        std::array<bool, candidates.size()> result {};
        for (std::size_t i = 0; i < candidates.size(); ++i)
            result[i] = opens(candidates[i]);
        // Each trial open allocates a whole encoder (SVT-AV1 alone tens of MiB); none of it is needed after.
        release_free_memory();
        return result;
    }();
    return available;
}
}

std::vector<Codec> probe()
{
    std::vector<Codec> codecs;
    auto const& available = availability();
    for (Codec codec : all_codecs) {
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (candidates[i].codec == codec && available[i]) {
                codecs.push_back(codec);
                break;
            }
        }
    }
    return codecs;
}

// The encoders' own chatter (SVT-AV1's banner, x264's CPU list, option notes) would fill the player's
// terminal at every start, since probing opens every encoder; failures come back as values anyway.
void quiet_library_logs()
{
    av_log_set_level(AV_LOG_ERROR);
    ::setenv("SVT_LOG", "1", 0);
}

Result<std::unique_ptr<VideoEncoder>> open(EncoderParams const& params)
{
    std::string last_error = "aucun encodeur vidéo";
    for (auto const& candidate : candidates) {
        if (candidate.codec != params.codec)
            continue;
        auto encoder = LavcEncoder::open(candidate, params);
        if (encoder)
            return encoder;
        last_error = std::move(encoder).error();
    }
    return fail(std::move(last_error));
}

}

namespace platform {
EncoderDriver const lavc_encoder_driver { "lavc", lavc::probe, lavc::open };

std::span<EncoderDriver const> encoder_drivers()
{
    return { &lavc_encoder_driver, 1 };
}
}
