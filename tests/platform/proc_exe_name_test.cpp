#include "platform/linux/x11_foreground.h"

#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/foreground.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

class ProcExeName : public testing_support::TempDirTest {
protected:
    // A process folder of the fixture: an "exe" link to `target` and, when given, a command line.
    void make_process(int pid, std::string const& target, std::optional<std::string> cmdline = std::nullopt)
    {
        auto folder = dir() / std::to_string(pid);
        fs::create_directories(folder);
        fs::create_symlink(target, folder / "exe");
        if (cmdline)
            write_file(std::to_string(pid) + "/cmdline", *cmdline);
    }
};

TEST_F(ProcExeName, NativeAndWineProcesses)
{
    using namespace std::string_literals;
    make_process(10, "/opt/celeste/Celeste.bin.x86_64");
    make_process(11, "/usr/bin/java (deleted)");
    make_process(12, "/home/me/.steam/proton/files/bin/wine64-preloader",
                 "C:\\Program Files\\Rockstar Games\\GTA5_Enhanced.exe\0-fullscreen\0"s);
    make_process(13, "/usr/lib/wine/wine", "Z:\\home\\me/Games/Hades2.exe\0"s);
    make_process(14, "/usr/lib/wine/wine-preloader", ""s);
    make_process(15, "/usr/lib/wine/wine64");
    make_process(16, "/usr/bin/winecfg", "C:\\x\\notepad.exe\0"s);

    struct Row {
        int pid;
        char const* exe_name;
        char const* stem;
    };
    Row const rows[] = {
        { 10, "Celeste.bin.x86_64", "celeste" },
        { 11, "java", "java" },
        { 12, "GTA5_Enhanced.exe", "gta5_enhanced" },
        { 13, "Hades2.exe", "hades2" },
        { 14, "", "" },
        { 15, "", "" },
        { 16, "winecfg", "winecfg" },
        { 99, "", "" },
        { 0, "", "" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.pid);
        auto name = platform::x11::process_exe_name(dir(), row.pid);
        EXPECT_EQ(name, row.exe_name);
        EXPECT_EQ(foreground::exe_stem(name), row.stem);
    }
}
