// Watches the system calls of a save by defining fdatasync, fsync, rename and renameat in this test program, which the
// program's own calls then reach before the C library's (each forwards to the real one). Kept in its own
// executable so that no other test runs with these stand-ins.

#include "library/settings.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

struct Call {
    std::string name;
    std::string path; // the file synced, or the source of a rename
    std::string destination; // rename only
    long long size { -1 }; // bytes in the synced file at the moment of the sync
};

bool recording = false;
std::vector<Call> calls;

std::string fd_path(int fd)
{
    char link[PATH_MAX] {};
    auto proc = "/proc/self/fd/" + std::to_string(fd);
    ssize_t length = ::readlink(proc.c_str(), link, sizeof link - 1);
    return length > 0 ? std::string(link, static_cast<std::size_t>(length)) : std::string();
}

}

extern "C" int fdatasync(int fd)
{
    if (recording) {
        struct stat st { };
        ::fstat(fd, &st);
        calls.push_back(Call { "fdatasync", fd_path(fd), {}, static_cast<long long>(st.st_size) });
    }
    static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    return real(fd);
}

extern "C" int fsync(int fd)
{
    if (recording)
        calls.push_back(Call { "fsync", fd_path(fd), {}, -1 });
    static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int rename(char const* from, char const* to) noexcept
{
    if (recording)
        calls.push_back(Call { "rename", from, to, -1 });
    static auto real = reinterpret_cast<int (*)(char const*, char const*)>(::dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

extern "C" int renameat(int from_dir, char const* from, int to_dir, char const* to) noexcept
{
    if (recording)
        calls.push_back(Call { "rename", fd_path(from_dir) + "/" + from, fd_path(to_dir) + "/" + to, -1 });
    static auto real = reinterpret_cast<int (*)(int, char const*, int, char const*)>(::dlsym(RTLD_NEXT, "renameat"));
    return real(from_dir, from, to_dir, to);
}

class SettingsSave : public testing_support::TempDirTest { };

// The file reaches the disk before the rename, and the folder after it: otherwise a power cut can leave a renamed
// but empty file, or the former one, although the save was reported done.
TEST_F(SettingsSave, SyncsTheFileBeforeTheRenameAndTheFolderAfter)
{
    settings::Settings record;
    record.fps = 144;
    auto const text = settings::settings_to_file_text(record).value();
    auto const folder = std::filesystem::canonical(dir()).string();
    auto path = write_file("settings.json", "former");
    recording = true;
    auto saved = settings::save(path, record);
    recording = false;
    ASSERT_TRUE(saved) << saved.error();

    std::size_t synced = calls.size(), renamed = calls.size(), folder_synced = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].name == "fdatasync" && calls[i].path == folder + "/settings.json.tmp"
            && calls[i].size == (long long)text.size())
            synced = std::min(synced, i);
        if (calls[i].name == "rename" && calls[i].destination == folder + "/settings.json")
            renamed = std::min(renamed, i);
        if (calls[i].name == "fsync" && calls[i].path == folder && i > renamed)
            folder_synced = std::min(folder_synced, i);
    }
    ASSERT_LT(synced, calls.size()) << "the whole temporary file was never synced";
    ASSERT_LT(renamed, calls.size());
    EXPECT_LT(synced, renamed);
    EXPECT_LT(folder_synced, calls.size()) << "the folder was not synced after the rename";
    EXPECT_EQ(read_file(path), text);
}
