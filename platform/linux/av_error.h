#pragma once
// FFmpeg's error codes as text, and its log level.

#include <mutex>
#include <string>

extern "C" { // FFmpeg headers carry no extern "C" of their own
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace platform {

// av_err2str is a C compound literal and does not compile as C++.
inline std::string av_error(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] {};
    av_make_error_string(text, sizeof text, code);
    return text;
}

// The libraries' own chatter (x264's CPU list, option notes) would fill the player's terminal: only errors
// are printed, and those never reach the player anyway (failures come back as values).
inline void quiet_library_logs()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}
