#pragma once
// FFmpeg's error codes as text.

#include <string>

extern "C" { // FFmpeg headers carry no extern "C" of their own
#include <libavutil/error.h>
}

namespace platform {

// av_err2str is a C compound literal and does not compile as C++.
inline std::string av_error(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] {};
    av_make_error_string(text, sizeof text, code);
    return text;
}

}
