#pragma once
// RAII for the C handles of the Linux layer. Only platform/linux/*.cpp include this file: it is the one home
// of the system headers that define Status, Bool, None and friends as macros. Each block below belongs to the
// drivers that use it; keep blocks separate so that drivers can be added independently.

#include <cstdlib>
#include <memory>

// ---- Common deleters ---------------------------------------------------------------------------------------
namespace handles {
template <auto fn> struct Free {
    void operator()(auto* p) const noexcept { fn(p); } // fn(T*)
};
template <auto fn> struct FreeAndNull {
    void operator()(auto* p) const noexcept { fn(&p); } // fn(T**)
};
struct CFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
}

// ---- XCB: connections and replies --------------------------------------------------------------------------
#include <xcb/xcb.h>

namespace handles {
using XcbConnection = std::unique_ptr<xcb_connection_t, Free<&xcb_disconnect>>;
// Replies and errors of XCB are malloc'd.
template <class T> using XcbReply = std::unique_ptr<T, CFree>;
}

// ---- FFmpeg: codec contexts, frames, packets, buffers ------------------------------------------------------
extern "C" { // FFmpeg headers carry no extern "C" of their own
#include <libavcodec/avcodec.h>
}

namespace handles {
using CodecContext = std::unique_ptr<AVCodecContext, FreeAndNull<&avcodec_free_context>>;
using Frame = std::unique_ptr<AVFrame, FreeAndNull<&av_frame_free>>;
using Packet = std::unique_ptr<AVPacket, FreeAndNull<&av_packet_free>>;
using BufferRef = std::unique_ptr<AVBufferRef, FreeAndNull<&av_buffer_unref>>;
}

// ---- FFmpeg: containers, scaling, resampling ---------------------------------------------------------------
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace handles {
using InputFormat = std::unique_ptr<AVFormatContext, FreeAndNull<&avformat_close_input>>;
// An output context closes the file it opened before it is freed.
struct CloseOutput {
    void operator()(AVFormatContext* context) const noexcept
    {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using OutputFormat = std::unique_ptr<AVFormatContext, CloseOutput>;
using Scaler = std::unique_ptr<SwsContext, Free<&sws_freeContext>>;
using Resampler = std::unique_ptr<SwrContext, FreeAndNull<&swr_free>>;
using AudioFifo = std::unique_ptr<AVAudioFifo, Free<&av_audio_fifo_free>>;
}

// ---- GLib and GIO: objects, errors, strings ----------------------------------------------------------------
#include <glib-object.h>

namespace handles {
// Adopts a "transfer full" return.
template <class T> using GObj = std::unique_ptr<T, Free<&g_object_unref>>;
using GErr = std::unique_ptr<GError, Free<&g_error_free>>;
using GChars = std::unique_ptr<char, Free<&g_free>>;
using GVar = std::unique_ptr<GVariant, Free<&g_variant_unref>>;
}
