#include "base/file_io.h"

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

using testing_support::TempDirTest;

class FileIo : public TempDirTest { };

TEST_F(FileIo, BufWriterWritePartsKeepsOrderPastTheBufferAndIovLimit)
{
    auto path = dir() / "parts.bin";
    auto fd = files::open_write(path, files::Create::Truncate);
    ASSERT_TRUE(fd);
    files::BufWriter writer(fd->get());
    // 3000 parts of 1 KiB: more than one buffer and more than one writev batch.
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 3000; ++i)
        blocks.emplace_back(1024, static_cast<std::uint8_t>(i * 7));
    std::vector<std::span<std::uint8_t const>> parts(blocks.begin(), blocks.end());
    ASSERT_TRUE(writer.write(std::string_view("<")));
    ASSERT_TRUE(writer.write_parts(std::span(parts).first(2)));  // fits: buffered
    ASSERT_TRUE(writer.write_parts(std::span(parts).subspan(2))); // gathered with the buffered bytes
    ASSERT_TRUE(writer.write(std::string_view(">")));
    EXPECT_EQ(writer.position(), 3000u * 1024 + 2);
    ASSERT_TRUE(writer.flush());
    auto text = read_file(path);
    ASSERT_EQ(text.size(), 3000u * 1024 + 2);
    EXPECT_EQ(text.front(), '<');
    EXPECT_EQ(text.back(), '>');
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(static_cast<std::uint8_t>(text[1 + i * 1024 + 1023]), static_cast<std::uint8_t>(i * 7)) << i;
}

TEST_F(FileIo, BufWriterKeepsItsFirstErrorAndNeverWritesTwice)
{
    auto path = dir() / "out.bin";
    auto good = files::open_write(path, files::Create::Truncate);
    auto fd = files::open_read(path); // writes through it fail
    ASSERT_TRUE(good && fd);
    files::BufWriter writer(fd->get());
    ASSERT_TRUE(writer.write(std::string_view("abc")));
    auto failed = writer.flush();
    ASSERT_FALSE(failed);
    // The descriptor turns writable, as a disk does once space is freed: neither the bytes of the failed write
    // nor anything behind them may land now, at offsets the writer's owner no longer knows.
    ASSERT_EQ(::dup2(good->get(), fd->get()), fd->get());
    auto error_of = [](Result<void> result) { return result ? std::string("ok") : result.error(); };
    std::uint8_t byte = 'd';
    std::span<std::uint8_t const> part(&byte, 1);
    EXPECT_EQ(error_of(writer.write(std::string_view("d"))), failed.error());
    EXPECT_EQ(error_of(writer.write_parts(std::span(&part, 1))), failed.error());
    EXPECT_EQ(error_of(writer.flush()), failed.error());
    EXPECT_EQ(read_file(path), "");
}

TEST_F(FileIo, TemporaryFilesNeverWriteThroughWhatHasTheirName)
{
    auto victim = write_file("victim", "precious");
    auto temp = dir() / "clip.json.tmp";
    struct Row {
        char const* name;
        std::function<void()> plant;
    };
    Row const rows[] = {
        { "link", [&] { std::filesystem::create_symlink(victim, temp); } },
        { "dangling link", [&] { std::filesystem::create_symlink(dir() / "nowhere", temp); } },
        { "hard link", [&] { std::filesystem::create_hard_link(victim, temp); } },
        { "leftover", [&] { write_file("clip.json.tmp", "a part left by a crash"); } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        row.plant();
        ASSERT_TRUE(files::atomic_replace(dir() / "clip.json", temp, std::string_view("new")));
        EXPECT_EQ(read_file(victim), "precious");
        EXPECT_FALSE(std::filesystem::exists(dir() / "nowhere"));
        EXPECT_FALSE(std::filesystem::is_symlink(dir() / "clip.json"));
        EXPECT_EQ(read_file(dir() / "clip.json"), "new");
    }
}

// The program's own folders: made private when missing, refused when another user holds them or a folder above
// them, or when others may write there (the sticky bit of a shared folder above, as /tmp has, is enough). A link
// is judged by the folder it leads to and the folders above that one, never by its own mode.
TEST_F(FileIo, OwnFoldersBelongToTheUserAndNobodyElseWritesThere)
{
    namespace fs = std::filesystem;
    constexpr uid_t nobody = 65534;
    auto const shared = dir() / "shared", own = shared / "quill.mar", theirs = dir() / "theirs";
    // A folder others may write to, and one inside it (as the folder a link leads to, it is what counts).
    auto const open = fs::weakly_canonical(dir()) / "open", inside_open = open / "clips";
    auto const written = "d'autres utilisateurs peuvent écrire dans {}";
    auto const held = "{} appartient à un autre utilisateur";
    struct Row {
        char const* name;
        std::function<void()> setup;
        char const* error = nullptr; // nullptr: accepted
        fs::path at = {}; // the folder the error names
        bool needs_root = false; // to give a folder to another user
    };
    Row const rows[] = {
        { "missing", [] {} },
        { "ours", [&] { fs::create_directories(own); } },
        { "sticky shared folder above", [&] { fs::create_directories(shared); ::chmod(shared.c_str(), 01777); } },
        { "writable by others", [&] { fs::create_directories(own); ::chmod(own.c_str(), 0777); }, written, own },
        { "folder above writable by others", [&] { fs::create_directories(shared); ::chmod(shared.c_str(), 0777); },
            written, shared },
        { "someone else's", [&] { fs::create_directories(own); (void)::chown(own.c_str(), nobody, nobody); }, held, own,
            true },
        { "someone else's folder above",
            [&] {
                fs::create_directories(shared);
                (void)::chown(shared.c_str(), nobody, nobody);
            },
            held, shared, true },
        { "a link to someone else's",
            [&] {
                fs::create_directories(theirs);
                (void)::chown(theirs.c_str(), nobody, nobody);
                fs::create_directories(shared);
                fs::create_directory_symlink(theirs, own);
            },
            held, own, true },
        { "a link to a folder of ours",
            [&] {
                fs::create_directories(theirs);
                fs::create_directories(shared);
                fs::create_directory_symlink(theirs, own);
            } },
        { "a link to a folder others may write to",
            [&] {
                fs::create_directories(theirs);
                ::chmod(theirs.c_str(), 0777);
                fs::create_directories(shared);
                fs::create_directory_symlink(theirs, own);
            },
            written, own },
        { "a link into a folder others may write to",
            [&] {
                fs::create_directories(inside_open);
                ::chmod(open.c_str(), 0777);
                fs::create_directories(shared);
                fs::create_directory_symlink(inside_open, own);
            },
            written, open },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needs_root && ::geteuid() != 0)
            continue;
        for (auto const& folder : { shared, theirs, open })
            fs::remove_all(folder);
        row.setup();
        auto result = files::ensure_own_folder(own);
        if (!row.error) {
            ASSERT_TRUE(result) << result.error();
            EXPECT_TRUE(fs::is_directory(own));
        } else {
            EXPECT_EQ(result ? std::string("accepted") : result.error(),
                fmt::format(fmt::runtime(row.error), row.at.string()));
        }
    }
    fs::remove_all(shared);
    ASSERT_TRUE(files::ensure_own_folder(own));
    struct stat st { };
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
