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
