#include "library/library.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Folder names that break an unquoted or badly quoted Exec line, or run something else.
std::string_view const awkward_names[] = {
    "plain",
    "with space",
    "it's",
    "say \"hi\"",
    "$HOME",
    "`id`",
    "back\\slash",
    "100%",
    "%f",
    "semi;colon&amp|pipe",
    "été",
    "tab\tand\nnewline",
    "\\\"$`%",
};

class LibraryAutostart : public testing_support::TempDirTest {
protected:
    fs::path entry() const { return dir() / "config" / "autostart" / "quill.mar.desktop"; }
};

}

// Each entry passes the validator, and the desktop's own launcher starts exactly that program with --tray.
TEST_F(LibraryAutostart, EntryWithAwkwardPathsPassesTheValidatorAndLaunches)
{
    if (!media::have_tool("desktop-file-validate") || !media::have_tool("gio"))
        GTEST_SKIP() << "desktop-file-validate or gio is missing";
    auto const out = dir() / "argv.txt";
    ::setenv("QUILL_ARGV", out.c_str(), 1);
    for (auto name : awkward_names) {
        SCOPED_TRACE(name);
        // A stand-in program that writes the arguments it was started with where the environment says.
        auto exe = dir() / "bin" / name / "quillmar";
        fs::remove(out);
        write_file(fs::relative(exe, dir()),
            "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$QUILL_ARGV.part\" && mv \"$QUILL_ARGV.part\" \"$QUILL_ARGV\"\n");
        fs::permissions(exe, fs::perms::owner_all);
        ASSERT_TRUE(library::set_autostart(true, dir() / "config", exe));
        auto validated = media::run({ "desktop-file-validate", entry().string() });
        EXPECT_EQ(validated.status, 0) << validated.output << read_file(entry());
        EXPECT_EQ(validated.output, "");
        // GLib looks the program up before it undoes the "%%" of a literal percent, so it refuses to load
        // such an entry at all; the entry itself is right (the validator accepts it).
        if (name.find('%') != std::string_view::npos)
            continue;
        auto [status, output] = media::run({ "gio", "launch", entry().string() });
        ASSERT_EQ(status, 0) << output;
        // The launcher does not wait for the program; wait for its answer.
        ASSERT_TRUE(media::poll_until([&] { return fs::exists(out); }));
        EXPECT_EQ(read_file(out), exe.string() + "\n--tray\n");
    }
}

TEST_F(LibraryAutostart, RefusesPathsThatCannotBeWritten)
{
    for (std::string exe : { "/opt/bad\xff/quillmar", "/opt/bell\a/quillmar" }) {
        SCOPED_TRACE(exe);
        auto written = library::set_autostart(true, dir() / "config", exe);
        ASSERT_FALSE(written);
        EXPECT_NE(written.error().find(" (os error "), std::string::npos);
        EXPECT_FALSE(fs::exists(entry()));
    }
}

TEST_F(LibraryAutostart, KeepsTheUsersSessionChoices)
{
    write_file("config/autostart/quill.mar.desktop",
        "[Desktop Entry]\n"
        "Exec=/old/path --tray\n"
        "Hidden = true\n"
        "X-GNOME-Autostart-enabled=maybe\n"
        "[Other Group]\n"
        "X-GNOME-Autostart-enabled=false\n");
    ASSERT_TRUE(library::set_autostart(true, dir() / "config", "/new/quillmar"));
    auto text = read_file(entry());
    EXPECT_NE(text.find("\nExec=\"/new/quillmar\" --tray\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nHidden=true\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("X-GNOME-Autostart-enabled"), std::string::npos) << text;
    EXPECT_EQ(text.find("/old/path"), std::string::npos) << text;

    write_file("config/autostart/quill.mar.desktop", "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n");
    ASSERT_TRUE(library::set_autostart(true, dir() / "config", "/new/quillmar"));
    text = read_file(entry());
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=false\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Hidden"), std::string::npos) << text;
}

// Writing the entry removes the one of the former name; off removes the entry, and has nothing to do twice.
TEST_F(LibraryAutostart, OffRemovesAndLegacyGoes)
{
    write_file("config/autostart/Fennow.desktop", "[Desktop Entry]\n");
    ASSERT_TRUE(library::set_autostart(true, dir() / "config", "/moved/quillmar"));
    EXPECT_FALSE(fs::exists(dir() / "config" / "autostart" / "Fennow.desktop"));
    EXPECT_TRUE(fs::exists(entry()));

    ASSERT_TRUE(library::set_autostart(false, dir() / "config"));
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_TRUE(library::set_autostart(false, dir() / "config"));
    EXPECT_TRUE(library::set_autostart(false, dir() / "nothing-here"));
}
