#pragma once
// What a video thread captures by: the record the engine hands its video pipeline body, and the first part of
// the job that body runs.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/codec.h"
#include "library/settings.h"

namespace shared {
class Shared;
}

namespace engine {

// The stop flag the thread polls, a snapshot of the capture settings taken when it starts, and the state it
// fills.
struct VideoCapture {
    std::shared_ptr<std::atomic<bool>> stop;
    std::optional<std::string> monitor;
    std::uint32_t fps { 60 };
    Codec codec { Codec::H264 };
    settings::Quality quality { settings::Quality::Standard };
    settings::Resolution resolution { settings::Resolution::P1080 };
    std::shared_ptr<shared::Shared> shared;
};

}
