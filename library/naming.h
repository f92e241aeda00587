#pragma once
// Names of new clips and the texts that describe them. A clip's id is its file stem: "{game} {stamp}",
// made safe for file names, with " (2)", " (3)"... when taken. A chosen name stays reserved in this
// process until its file is in place, so two saves (or a save, a trim and a recording) can never pick the
// same one in the same second.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace engine {

// Holds a clip id reserved for one folder; the reservation ends with the object.
class ClipName {
public:
    ClipName() = default;
    ClipName(std::filesystem::path folder, std::string id);
    ClipName(ClipName&& other) noexcept;
    ClipName& operator=(ClipName&& other) noexcept;
    ClipName(ClipName const&) = delete;
    ClipName& operator=(ClipName const&) = delete;
    ~ClipName();

    std::string const& id() const { return m_id; }
    void release();

private:
    std::filesystem::path m_folder;
    std::string m_id;
};

// The safe base of a game name: forbidden and control characters become "_", white space and leading and
// trailing dots are trimmed, runs of dots become one dot, "Clip" stands for an empty result, and the result is at
// most 60 characters and 160 bytes.
std::string clip_name_base(std::string_view game);

// A free clip id for `name` (usually the time stamp) in folder, reserved until the returned object goes.
// An id is taken when reserved here, when "{id}.mp4" or "{id}.mp4.part" exists, or when it breaks the
// clip id rule.
ClipName clip_file_name(std::filesystem::path const& folder, std::string_view game, std::string_view name);

// "45 Mo", "1,2 Go": decimal units, one decimal for gigabytes, a comma for the decimal point.
std::string format_size(std::uint64_t bytes);
// "1:30" for 89.6 s: minutes and seconds of the duration rounded to the nearest second (negative counts 0).
std::string format_duration(double secs);

}
