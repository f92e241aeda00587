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
