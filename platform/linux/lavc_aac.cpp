// FFmpeg's native AAC encoder (AAC LC, 48 kHz stereo, 192 kbit/s), fed 1,024-frame blocks as planar float.
//
// The encoder looks one frame ahead, so the first block yields nothing, and its first frame carries 1,024
// frames of priming: FFmpeg stamps it one frame before the first input. Frame times are rebuilt from the
// encoder's sample counter against the first input's time, with the same truncating division the audio
// thread uses for its input times, so an output frame's time is exactly the time of the block it decodes to.

#include "platform/aac_encoder.h"

#include "base/clock.h"
#include "platform/linux/av_error.h"
#include "platform/linux/handles.h"

#include <algorithm>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

namespace platform {

namespace {

constexpr int rate_hz = 48'000;
constexpr int block_frames = 1'024;
constexpr std::int64_t bitrate = 192'000;

std::string aac_error(int code)
{
    return fmt::format("Encodeur AAC : {}", av_error(code));
}

class LavcAac final : public AacEncoder {
public:
    static Result<std::unique_ptr<AacEncoder>> open()
    {
        AVCodec const* codec = avcodec_find_encoder_by_name("aac");
        if (!codec)
            return fail("Encodeur AAC : introuvable");
        auto encoder = std::unique_ptr<LavcAac>(new LavcAac);
        encoder->m_context.reset(avcodec_alloc_context3(codec));
        encoder->m_frame.reset(av_frame_alloc());
        encoder->m_packet.reset(av_packet_alloc());
        if (!encoder->m_context || !encoder->m_frame || !encoder->m_packet)
            return fail(aac_error(AVERROR(ENOMEM)));

        auto* context = encoder->m_context.get();
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->sample_rate = rate_hz;
        av_channel_layout_default(&context->ch_layout, 2);
        context->bit_rate = bitrate;
        context->profile = FF_PROFILE_AAC_LOW;
        context->time_base = AVRational { 1, rate_hz };
        if (int code = avcodec_open2(context, codec, nullptr); code < 0)
            return fail(aac_error(code));
        if (context->frame_size != block_frames)
            return fail(fmt::format("Encodeur AAC : trames de {} échantillons", context->frame_size));

        auto* frame = encoder->m_frame.get();
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = rate_hz;
        frame->nb_samples = block_frames;
        if (int code = av_channel_layout_copy(&frame->ch_layout, &context->ch_layout); code < 0)
            return fail(aac_error(code));
        return std::unique_ptr<AacEncoder>(std::move(encoder));
    }

    Result<void> encode(std::span<std::int16_t const> block, std::int64_t time, std::vector<AacFrame>& out) override
    {
        if (block.size() != std::size_t(block_frames) * 2)
            return fail("Encodeur AAC : bloc de taille inattendue");
        if (!m_started) {
            m_first_time = time;
            m_started = true;
        }
        auto* frame = m_frame.get();
        if (!frame->buf[0]) {
            if (int code = av_frame_get_buffer(frame, 0); code < 0)
                return fail(aac_error(code));
        } else if (int code = av_frame_make_writable(frame); code < 0) {
            // The encoder may still hold a reference to the previous buffers.
            return fail(aac_error(code));
        }
        auto* left = reinterpret_cast<float*>(frame->data[0]);
        auto* right = reinterpret_cast<float*>(frame->data[1]);
        for (int i = 0; i < block_frames; ++i) {
            left[i] = float(block[2 * i]) / 32768.0f;
            right[i] = float(block[2 * i + 1]) / 32768.0f;
        }
        frame->pts = m_frames_in;
        m_frames_in += block_frames;
        if (int code = avcodec_send_frame(m_context.get(), frame); code < 0)
            return fail(aac_error(code));

        for (;;) {
            int code = avcodec_receive_packet(m_context.get(), m_packet.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                break;
            if (code < 0)
                return fail(aac_error(code));
            AacFrame result;
            result.bytes.assign(m_packet->data, m_packet->data + m_packet->size);
            std::int64_t pts = m_packet->pts == AV_NOPTS_VALUE ? 0 : m_packet->pts;
            result.time = m_first_time + pts * ticks::ticks_per_second / rate_hz;
            out.push_back(std::move(result));
            av_packet_unref(m_packet.get());
        }
        return {};
    }

    std::vector<std::uint8_t> audio_specific_config() const override
    {
        // FFmpeg appends an explicit "no SBR" sync extension after the two core bytes; MP4 clips carry the
        // core bytes only, which say the same.
        auto const* context = m_context.get();
        auto size = std::min(context->extradata_size, 2);
        return std::vector<std::uint8_t>(context->extradata, context->extradata + std::max(size, 0));
    }

private:
    LavcAac() = default;
    handles::CodecContext m_context;
    handles::Frame m_frame;
    handles::Packet m_packet;
    std::int64_t m_frames_in { 0 };
    std::int64_t m_first_time { 0 };
    bool m_started { false };
};

Result<std::unique_ptr<AacEncoder>> open_encoder() { return LavcAac::open(); }

}

AacDriver const lavc_aac_driver { "lavc-aac", &open_encoder };

}
