// The light copy's transcoder: libavformat reads the clip, libavcodec decodes it (AV1 through libdav1d),
// libswscale brings the picture to the target size in BT.709 limited yuv420p, libx264 encodes it at a capped
// rate, libswresample and FFmpeg's "aac" encoder carry the sound, and libavformat writes an MP4 with its index
// in front. Everything runs on the calling thread except the codecs' own worker threads, which end with their
// contexts.

#include "platform/transcode.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "platform/linux/av_error.h"
#include "platform/linux/handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace platform {

namespace {

constexpr int out_sample_rate = 48'000;
constexpr AVRational fallback_rate { 60, 1 };

Result<void> check(int code)
{
    if (code < 0)
        return fail(av_error(code));
    return {};
}

// The clip's media: its container and first video and audio streams (audio -1 when it has none).
struct Input {
    handles::InputFormat format;
    int video { -1 };
    int audio { -1 };

    AVStream* stream(int index) const { return format->streams[index]; }
};

AVCodec const* decoder_for(AVCodecID id)
{
    // FFmpeg's own AV1 decoder only drives hardware; libdav1d is the software one.
    return id == AV_CODEC_ID_AV1 ? avcodec_find_decoder_by_name("libdav1d") : avcodec_find_decoder(id);
}

Result<Input> open_input(std::filesystem::path const& path)
{
    quiet_library_logs();
    AVFormatContext* raw = nullptr;
    // On failure avformat_open_input frees the context itself.
    TRY_VOID(check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr)));
    Input input { handles::InputFormat(raw) };
    input.video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (input.video < 0)
        return fail(av_error(input.video));
    if (input.stream(input.video)->codecpar->codec_id == AV_CODEC_ID_AV1) {
        raw->video_codec = decoder_for(AV_CODEC_ID_AV1);
        if (!raw->video_codec)
            return fail("décodeur AV1 libdav1d absent");
    }
    TRY_VOID(check(avformat_find_stream_info(raw, nullptr)));
    int audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    input.audio = audio >= 0 ? audio : -1;
    return input;
}

AVRational frame_rate(AVStream const* stream)
{
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        return stream->avg_frame_rate;
    if (stream->r_frame_rate.num > 0 && stream->r_frame_rate.den > 0)
        return stream->r_frame_rate;
    return fallback_rate;
}

Result<handles::CodecContext> open_decoder(AVStream const* stream)
{
    auto const* codec = decoder_for(stream->codecpar->codec_id);
    if (!codec)
        return fail(stream->codecpar->codec_id == AV_CODEC_ID_AV1 ? "décodeur AV1 libdav1d absent"
                                                                  : av_error(AVERROR_DECODER_NOT_FOUND));
    handles::CodecContext context(avcodec_alloc_context3(codec));
    if (!context)
        return fail(av_error(AVERROR(ENOMEM)));
    TRY_VOID(check(avcodec_parameters_to_context(context.get(), stream->codecpar)));
    context->pkt_timebase = stream->time_base;
    context->thread_count = 0;
    TRY_VOID(check(avcodec_open2(context.get(), codec, nullptr)));
    return context;
}

void set_bt709(AVFrame* frame)
{
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    frame->colorspace = AVCOL_SPC_BT709;
}

// The temporary name the copy is written under, in the output's folder; removed unless the copy got its
// final name.
class TempFile {
public:
    static Result<TempFile> create(std::filesystem::path const& output)
    {
        std::string pattern = (output.parent_path() / fmt::format("{}XXXXXX.mp4", transcode_temp_prefix)).string();
        int fd = ::mkstemps(pattern.data(), 4);
        if (fd < 0)
            return fail(os_error(errno));
        ::close(fd);
        return TempFile(std::move(pattern));
    }
    TempFile(TempFile&& other) noexcept
        : m_path(std::move(other.m_path))
    {
        other.m_path.clear();
    }
    TempFile(TempFile const&) = delete;
    ~TempFile()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    std::string const& path() const { return m_path; }
    Result<void> commit(std::filesystem::path const& output)
    {
        if (::rename(m_path.c_str(), output.c_str()) != 0)
            return fail(os_error(errno));
        m_path.clear();
        return {};
    }

private:
    explicit TempFile(std::string path)
        : m_path(std::move(path))
    {
    }
    std::string m_path;
};

// One transcode, from the open input to the finished file.
class Job {
public:
    Job(Input input, TranscodeTarget const& target)
        : m_in(std::move(input))
        , m_target(target)
    {
    }

    Result<void> run(std::string const& temp)
    {
        TRY_VOID(open(temp));
        handles::Packet packet(av_packet_alloc());
        m_frame.reset(av_frame_alloc());
        m_out_packet.reset(av_packet_alloc());
        if (!packet || !m_frame || !m_out_packet)
            return fail(av_error(AVERROR(ENOMEM)));
        int code;
        while ((code = av_read_frame(m_in.format.get(), packet.get())) >= 0) {
            Result<void> done;
            if (packet->stream_index == m_in.video)
                done = decode(m_video_decoder.get(), packet.get(), true);
            else if (packet->stream_index == m_in.audio)
                done = decode(m_audio_decoder.get(), packet.get(), false);
            av_packet_unref(packet.get());
            TRY_VOID(done);
        }
        if (code != AVERROR_EOF)
            return fail(av_error(code));
        TRY_VOID(decode(m_video_decoder.get(), nullptr, true));
        TRY_VOID(encode(m_video_encoder.get(), m_video_out, nullptr));
        if (m_audio_decoder) {
            TRY_VOID(decode(m_audio_decoder.get(), nullptr, false));
            TRY_VOID(resample(nullptr));
            TRY_VOID(drain_fifo(true));
            TRY_VOID(encode(m_audio_encoder.get(), m_audio_out, nullptr));
        }
        TRY_VOID(check(av_write_trailer(m_out.get())));
        return check(avio_closep(&m_out->pb));
    }

private:
    Result<void> open(std::string const& temp)
    {
        AVStream* video = m_in.stream(m_in.video);
        m_rate = frame_rate(video);
        m_video_decoder = TRY(open_decoder(video));
        if (m_in.audio >= 0)
            m_audio_decoder = TRY(open_decoder(m_in.stream(m_in.audio)));

        AVFormatContext* raw = nullptr;
        TRY_VOID(check(avformat_alloc_output_context2(&raw, nullptr, "mp4", temp.c_str())));
        m_out.reset(raw);
        bool global_header = m_out->oformat->flags & AVFMT_GLOBALHEADER;

        auto const* x264 = avcodec_find_encoder_by_name("libx264");
        if (!x264)
            return fail(av_error(AVERROR_ENCODER_NOT_FOUND));
        m_video_encoder.reset(avcodec_alloc_context3(x264));
        if (!m_video_encoder)
            return fail(av_error(AVERROR(ENOMEM)));
        auto* v = m_video_encoder.get();
        v->width = static_cast<int>(m_target.width);
        v->height = static_cast<int>(m_target.height);
        v->pix_fmt = AV_PIX_FMT_YUV420P;
        v->sample_aspect_ratio = { 1, 1 };
        // The source's own time stamps go through unchanged.
        v->time_base = video->time_base;
        v->framerate = m_rate;
        // The cap and a buffer of two seconds' worth keep the file near its aim, which a plain average
        // rate does not.
        v->bit_rate = m_target.video_bitrate;
        v->rc_max_rate = m_target.video_bitrate;
        v->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(2LL * m_target.video_bitrate, INT32_MAX));
        v->color_range = AVCOL_RANGE_MPEG;
        v->color_primaries = AVCOL_PRI_BT709;
        v->color_trc = AVCOL_TRC_BT709;
        v->colorspace = AVCOL_SPC_BT709;
        v->thread_count = 0;
        if (global_header)
            v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(v->priv_data, "preset", "veryfast", 0);
        av_opt_set(v->priv_data, "profile", "main", 0);
        TRY_VOID(check(avcodec_open2(v, x264, nullptr)));
        m_video_out = TRY(add_stream(v));
        m_video_out->avg_frame_rate = m_rate;

        if (m_audio_decoder) {
            auto const* aac = avcodec_find_encoder_by_name("aac");
            if (!aac)
                return fail(av_error(AVERROR_ENCODER_NOT_FOUND));
            m_audio_encoder.reset(avcodec_alloc_context3(aac));
            if (!m_audio_encoder)
                return fail(av_error(AVERROR(ENOMEM)));
            auto* a = m_audio_encoder.get();
            a->sample_fmt = AV_SAMPLE_FMT_FLTP;
            a->sample_rate = out_sample_rate;
            a->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
            a->bit_rate = m_target.audio_bitrate;
            a->time_base = { 1, out_sample_rate };
            if (global_header)
                a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            TRY_VOID(check(avcodec_open2(a, aac, nullptr)));
            m_audio_out = TRY(add_stream(a));
            m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, a->frame_size));
            if (!m_fifo)
                return fail(av_error(AVERROR(ENOMEM)));
        }

        TRY_VOID(check(avio_open(&m_out->pb, temp.c_str(), AVIO_FLAG_WRITE)));
        AVDictionary* options = nullptr;
        // The index goes in front, so the copy can play while it downloads.
        av_dict_set(&options, "movflags", "+faststart", 0);
        int code = avformat_write_header(m_out.get(), &options);
        av_dict_free(&options);
        return check(code);
    }

    Result<AVStream*> add_stream(AVCodecContext const* encoder)
    {
        AVStream* stream = avformat_new_stream(m_out.get(), nullptr);
        if (!stream)
            return fail(av_error(AVERROR(ENOMEM)));
        TRY_VOID(check(avcodec_parameters_from_context(stream->codecpar, encoder)));
        stream->time_base = encoder->time_base;
        return stream;
    }

    Result<void> decode(AVCodecContext* decoder, AVPacket const* packet, bool video)
    {
        int code = avcodec_send_packet(decoder, packet);
        // A damaged packet costs its frame, not the copy.
        if (code < 0 && code != AVERROR_INVALIDDATA)
            return fail(av_error(code));
        for (;;) {
            code = avcodec_receive_frame(decoder, m_frame.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                return {};
            TRY_VOID(check(code));
            auto done = video ? scale(m_frame.get()) : resample(m_frame.get());
            av_frame_unref(m_frame.get());
            TRY_VOID(done);
        }
    }

    Result<void> scale(AVFrame const* frame)
    {
        if (!m_scaler || frame->width != m_scaled_from.width || frame->height != m_scaled_from.height
            || frame->format != m_scaled_from.format) {
            m_scaler.reset(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                m_video_encoder->width, m_video_encoder->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                nullptr));
            if (!m_scaler)
                return fail(av_error(AVERROR(EINVAL)));
            // Our clips are BT.709 limited; a source that says nothing is taken as such too.
            int from_space = frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_ITU709 : frame->colorspace;
            int from_full = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
            sws_setColorspaceDetails(m_scaler.get(), sws_getCoefficients(from_space), from_full,
                sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
            m_scaled_from = { frame->width, frame->height, frame->format };
        }
        handles::Frame out(av_frame_alloc());
        if (!out)
            return fail(av_error(AVERROR(ENOMEM)));
        out->width = m_video_encoder->width;
        out->height = m_video_encoder->height;
        out->format = AV_PIX_FMT_YUV420P;
        TRY_VOID(check(av_frame_get_buffer(out.get(), 0)));
        TRY_VOID(check(sws_scale_frame(m_scaler.get(), out.get(), frame)));
        set_bt709(out.get());
        // Time stamps must grow; a frame without one follows the last by one frame.
        std::int64_t step = std::max<std::int64_t>(av_rescale_q(1, av_inv_q(m_rate), m_video_encoder->time_base), 1);
        std::int64_t pts = frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE || (m_last_pts != AV_NOPTS_VALUE && pts <= m_last_pts))
            pts = m_last_pts == AV_NOPTS_VALUE ? 0 : m_last_pts + step;
        m_last_pts = pts;
        out->pts = pts;
        return encode(m_video_encoder.get(), m_video_out, out.get());
    }

    Result<void> resample(AVFrame const* frame)
    {
        if (!m_resampler) {
            if (!frame)
                return {};
            AVChannelLayout in_layout {};
            if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&in_layout, frame->ch_layout.nb_channels);
            else
                TRY_VOID(check(av_channel_layout_copy(&in_layout, &frame->ch_layout)));
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            SwrContext* raw = nullptr;
            int code = swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, out_sample_rate, &in_layout,
                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&in_layout);
            m_resampler.reset(raw);
            TRY_VOID(check(code));
            TRY_VOID(check(swr_init(m_resampler.get())));
            std::int64_t first = frame->best_effort_timestamp;
            m_next_audio_pts = first == AV_NOPTS_VALUE
                ? 0
                : av_rescale_q(first, m_in.stream(m_in.audio)->time_base, AVRational { 1, out_sample_rate });
        }
        int in_samples = frame ? frame->nb_samples : 0;
        int room = swr_get_out_samples(m_resampler.get(), in_samples);
        if (room <= 0)
            return {};
        handles::Frame converted(av_frame_alloc());
        if (!converted)
            return fail(av_error(AVERROR(ENOMEM)));
        converted->format = AV_SAMPLE_FMT_FLTP;
        converted->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
        converted->nb_samples = room;
        TRY_VOID(check(av_frame_get_buffer(converted.get(), 0)));
        int got = swr_convert(m_resampler.get(), converted->data, room,
            frame ? const_cast<std::uint8_t const**>(frame->extended_data) : nullptr, in_samples);
        TRY_VOID(check(got));
        if (av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(converted->data), got) < got)
            return fail(av_error(AVERROR(ENOMEM)));
        return drain_fifo(false);
    }

    // Feeds the sound encoder whole frames; at the end, also the short last one.
    Result<void> drain_fifo(bool last)
    {
        int frame_size = m_audio_encoder->frame_size;
        while (av_audio_fifo_size(m_fifo.get()) >= frame_size || (last && av_audio_fifo_size(m_fifo.get()) > 0)) {
            int count = std::min(frame_size, av_audio_fifo_size(m_fifo.get()));
            handles::Frame frame(av_frame_alloc());
            if (!frame)
                return fail(av_error(AVERROR(ENOMEM)));
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
            frame->sample_rate = out_sample_rate;
            frame->nb_samples = count;
            TRY_VOID(check(av_frame_get_buffer(frame.get(), 0)));
            if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(frame->data), count) < count)
                return fail(av_error(AVERROR_BUG));
            frame->pts = m_next_audio_pts;
            m_next_audio_pts += count;
            TRY_VOID(encode(m_audio_encoder.get(), m_audio_out, frame.get()));
        }
        return {};
    }

    Result<void> encode(AVCodecContext* encoder, AVStream* stream, AVFrame const* frame)
    {
        TRY_VOID(check(avcodec_send_frame(encoder, frame)));
        for (;;) {
            int code = avcodec_receive_packet(encoder, m_out_packet.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                return {};
            TRY_VOID(check(code));
            m_out_packet->stream_index = stream->index;
            av_packet_rescale_ts(m_out_packet.get(), encoder->time_base, stream->time_base);
            // The muxer takes the packet's reference and leaves it blank.
            TRY_VOID(check(av_interleaved_write_frame(m_out.get(), m_out_packet.get())));
        }
    }

    struct Geometry {
        int width { 0 };
        int height { 0 };
        int format { -1 };
    };

    Input m_in;
    TranscodeTarget m_target;
    AVRational m_rate { fallback_rate };
    handles::CodecContext m_video_decoder, m_audio_decoder, m_video_encoder, m_audio_encoder;
    handles::OutputFormat m_out;
    AVStream* m_video_out { nullptr };
    AVStream* m_audio_out { nullptr };
    handles::Scaler m_scaler;
    Geometry m_scaled_from;
    handles::Resampler m_resampler;
    handles::AudioFifo m_fifo;
    handles::Frame m_frame;
    handles::Packet m_out_packet;
    std::int64_t m_last_pts { AV_NOPTS_VALUE };
    std::int64_t m_next_audio_pts { 0 };
};

class LavcTranscoder final : public Transcoder {
public:
    Result<MediaInfo> probe_media(std::filesystem::path const& source) override
    {
        auto input = TRY(open_input(source));
        AVStream const* video = input.stream(input.video);
        MediaInfo info;
        if (input.format->duration != AV_NOPTS_VALUE && input.format->duration > 0)
            info.duration_secs = static_cast<double>(input.format->duration) / AV_TIME_BASE;
        else if (video->duration != AV_NOPTS_VALUE && video->duration > 0)
            info.duration_secs = static_cast<double>(video->duration) * av_q2d(video->time_base);
        info.width = static_cast<std::uint32_t>(std::max(video->codecpar->width, 0));
        info.height = static_cast<std::uint32_t>(std::max(video->codecpar->height, 0));
        AVRational rate = frame_rate(video);
        info.frame_rate_num = static_cast<std::uint32_t>(rate.num);
        info.frame_rate_den = static_cast<std::uint32_t>(rate.den);
        return info;
    }

    Result<void> transcode_h264(std::filesystem::path const& source, std::filesystem::path const& output,
        TranscodeTarget const& target) override
    {
        auto input = TRY(open_input(source));
        auto temp = TRY(TempFile::create(output));
        {
            Job job(std::move(input), target);
            TRY_VOID(job.run(temp.path()));
        }
        return temp.commit(output);
    }
};

Result<std::unique_ptr<Transcoder>> open_transcoder()
{
    return std::make_unique<LavcTranscoder>();
}

}

TranscodeDriver const lavc_transcode_driver { "lavc-transcode", &open_transcoder };

}
