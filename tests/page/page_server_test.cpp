#include "app/api/page_server.h"

#include <condition_variable>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "platform/shell.h"
#include "tests/fakes/watched_spawner.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string body_text(platform::PageResponse const& response)
{
    auto bytes = response.bytes();
    return { bytes.begin(), bytes.end() };
}

// Answers land here; waiters are woken on each one.
struct Answers {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, platform::PageResponse> by_uri;
    std::vector<std::string> order; // the uris in the order they were answered

    api::Responder responder(std::string uri)
    {
        return api::Responder([this, uri](platform::PageResponse response) {
            std::lock_guard lock(mutex);
            by_uri.emplace(uri, std::move(response));
            order.push_back(uri);
            changed.notify_all();
        });
    }
    bool wait_for(std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return by_uri.size() >= count; });
    }
};

class PageServer : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        clips = dir() / "clips";
        fs::create_directories(clips / ".quillmar");
        engine::EngineParts parts;
        parts.clips_folder = clips;
        parts.shared = std::make_shared<shared::Shared>();
        app = std::make_shared<api::App>(std::make_shared<engine::Engine>(std::move(parts)));
    }

    platform::PageResponse serve(std::string uri, platform::HeaderList headers = {}, std::string body = {})
    {
        Answers answers;
        api::PageJob job { nullptr, { "GET", uri, std::move(headers), { body.begin(), body.end() } },
                           answers.responder(uri), app };
        api::handle_request(job);
        EXPECT_EQ(answers.by_uri.size(), 1u) << uri;
        return answers.by_uri.begin()->second;
    }

    std::vector<std::uint8_t> make_clip(std::string const& id, std::size_t size)
    {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>((i * 7919) >> 8);
        write_file(("clips/" + id + ".mp4"), std::string(bytes.begin(), bytes.end()));
        return bytes;
    }

    fs::path clips;
    std::shared_ptr<api::App> app;
};

void expect_not_found(platform::PageResponse const& response)
{
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.header("Content-Type"), "text/plain");
    EXPECT_EQ(body_text(response), "introuvable");
}

}

TEST_F(PageServer, RoutesByPathAlone)
{
    struct Row {
        char const* uri;
        int status;
        char const* body;
    };
    Row const rows[] = {
        { "quillmar://app?x=/api/", 404, "introuvable" }, { "quillmar://app/api/", 200, R"({"error":"méthode inconnue"})" },
        { "quillmar://app/api/clips?x#y", 200, "[]" },    { "quillmar://app/INDEX.HTML", 404, "introuvable" },
        { "quillmar://app/clip/", 404, "introuvable" },   { "quillmar://app/Api/x", 404, "introuvable" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.uri);
        auto response = serve(row.uri, {}, "{\"id\": 1} x");
        EXPECT_EQ(response.status, row.status);
        EXPECT_EQ(body_text(response), row.body);
    }
}

TEST_F(PageServer, RangesOfATenMillionByteClipAndAnEmptyOne)
{
    auto bytes = make_clip("partie", 10'000'000);
    constexpr std::uint64_t none = ~0ULL;
    struct Row {
        char const* range;
        std::uint64_t first; // `none`: unsatisfiable
        std::uint64_t last;
    };
    // The common forms (none, suffixes, past the end, reversed, several, another unit) are checked through
    // the test host with curl; these are the odd spellings and the overflow.
    Row const rows[] = {
        { "bytes=\t5\t-\t9", 5, 9 },             { "Bytes=0-1", 0, 4'194'303 },
        { "bytes=18446744073709551615-", none, 0 }, { "bytes=+5-", 5, 4'194'308 },
        { "bytes=9999990-20000000", 9'999'990, 9'999'999 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.range);
        auto response = serve("quillmar://app/clip/partie", { { "range", row.range } });
        if (row.first == none) {
            EXPECT_EQ(response.status, 416);
            EXPECT_EQ(response.header("Content-Range"), "bytes */10000000");
            EXPECT_TRUE(response.bytes().empty());
            continue;
        }
        ASSERT_EQ(response.status, 206);
        EXPECT_EQ(response.header("Content-Range"), fmt::format("bytes {}-{}/10000000", row.first, row.last));
        auto body = response.bytes();
        ASSERT_EQ(body.size(), row.last - row.first + 1);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), bytes.begin() + static_cast<std::ptrdiff_t>(row.first)));
    }
    // No byte of an empty clip can be served.
    make_clip("vide", 0);
    auto empty = serve("/clip/vide");
    EXPECT_EQ(empty.status, 416);
    EXPECT_EQ(empty.header("Content-Range"), "bytes */0");
}

TEST_F(PageServer, PathLikeIdsAreNotFoundOnBothRoads)
{
    make_clip("a", 10);
    write_file("clips/.quillmar/a.jpg", "jpeg");
    write_file("secret.mp4", "outside");
    write_file("secret.jpg", "outside");
    for (auto road : { "clip", "thumb" }) {
        for (auto tail : { "..", "%2e%2E%2Fsecret", "a%2F", "a%5Cb", "a%00b", "" }) {
            SCOPED_TRACE(fmt::format("/{}/{}", road, tail));
            expect_not_found(serve(fmt::format("quillmar://app/{}/{}", road, tail)));
        }
    }
    auto thumb = serve("quillmar://app/thumb/a");
    EXPECT_EQ(thumb.status, 200);
    EXPECT_EQ(body_text(thumb), "jpeg");
}

TEST_F(PageServer, ThumbnailsOverFourMebibytesLinksAndFifosAreNotFound)
{
    write_file("clips/.quillmar/big.jpg", std::string(api::thumb_max_bytes + 1, 'x'));
    expect_not_found(serve("/thumb/big"));
    // A link in a thumbnail's place is not followed to the file it names.
    std::filesystem::create_symlink(write_file("private", "secret"), clips / ".quillmar" / "linked.jpg");
    expect_not_found(serve("/thumb/linked"));
    // A FIFO swapped in under a clip's or a thumbnail's name, after its type was checked, must not block the
    // worker waiting for a writer: the swaps race the requests until every request is answered.
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto served = std::make_shared<std::atomic<int>>(0);
    std::thread swapper([this, stop] {
        for (int i = 0; !*stop; ++i) {
            auto target = i % 2 ? clips / "pipe.mp4" : clips / ".quillmar" / "pipe.jpg";
            auto spare = dir() / "spare";
            ::mkfifo(spare.c_str(), 0600);
            ::rename(spare.c_str(), target.c_str());
            ::close(::open(spare.c_str(), O_CREAT | O_WRONLY, 0600));
            ::rename(spare.c_str(), target.c_str());
        }
    });
    std::thread([app = app, served] {
        for (int i = 0; i < 4000; ++i) {
            api::PageJob job { nullptr, { "GET", i % 2 ? "/clip/pipe" : "/thumb/pipe", {}, {} },
                               api::Responder([](platform::PageResponse) { }), app };
            api::handle_request(job);
            ++*served;
        }
    }).detach();
    for (int i = 0; i < 3000 && *served < 4000; ++i)
        std::this_thread::sleep_for(10ms);
    *stop = true;
    swapper.join();
    EXPECT_EQ(served->load(), 4000) << "a FIFO blocked a request";
}

TEST_F(PageServer, ThrowingJobsAnswer500AndTheWorkersLiveOn)
{
    threads::set_crash_log(dir() / "crash.log");
    auto tx = *api::spawn_page_workers([](api::PageJob& job) {
        if (job.request.uri.find("boom") != std::string::npos)
            throw std::runtime_error("boom");
        api::handle_request(job);
    });
    Answers answers;
    api::PageHandler handler { nullptr, tx, app };
    // More throwing jobs than workers: without the catch, no worker would be left for the rest.
    for (int i = 0; i < 6; ++i) {
        auto uri = fmt::format("quillmar://app/{}boom{}", i % 2 ? "api/" : "", i);
        api::queue_page_request(handler, { "GET", uri, {}, {} }, answers.responder(uri));
    }
    api::queue_page_request(handler, { "POST", "/api/", {}, {} }, answers.responder("last"));
    ASSERT_TRUE(answers.wait_for(7));
    threads::set_crash_log({});
    EXPECT_EQ(answers.by_uri["quillmar://app/boom0"].status, 500);
    EXPECT_EQ(answers.by_uri["quillmar://app/api/boom1"].status, 500);
    EXPECT_EQ(body_text(answers.by_uri["quillmar://app/api/boom1"]), R"({"error":"Erreur interne du programme."})");
    EXPECT_EQ(body_text(answers.by_uri["last"]), R"({"error":"méthode inconnue"})");
    EXPECT_NE(read_file(dir() / "crash.log").find("boom"), std::string::npos);
}

namespace {

// A folder dialog that stays open until the test closes them all.
class HeldDialogs final : public platform::DesktopShell {
public:
    Result<void> open(fs::path const&) override { return {}; }
    Result<void> reveal(fs::path const&) override { return {}; }
    std::optional<std::string> pick_folder() override
    {
        std::unique_lock lock(m_mutex);
        ++m_open;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_closed; });
        return std::nullopt;
    }
    bool wait_open(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 30s, [&] { return m_open >= count; });
    }
    void close_all()
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_open { 0 };
    bool m_closed { false };
};

}

// Three folder dialogs hold three workers for as long as the player likes; the fourth still serves the status,
// a thumbnail and a clip, one after the other in the order they were queued.
TEST_F(PageServer, HeldWorkersLeaveTheFourthServingInQueueOrder)
{
    auto dialogs = std::make_shared<HeldDialogs>();
    app->platform.shell = dialogs;
    make_clip("a", 10);
    write_file("clips/.quillmar/a.jpg", "jpeg");
    auto jobs = api::spawn_page_workers();
    ASSERT_TRUE(jobs) << jobs.error();
    Answers answers;
    api::PageHandler handler { nullptr, *jobs, app };
    for (int i = 0; i < 3; ++i)
        api::queue_page_request(handler, { "POST", "/api/pick-folder", {}, {} },
                                answers.responder(fmt::format("pick{}", i)));
    bool const held = dialogs->wait_open(3);
    std::vector<std::string> const served { "/api/status", "/thumb/a", "/clip/a" };
    for (auto const& uri : served)
        api::queue_page_request(handler, { "GET", uri, {}, {} }, answers.responder(uri));
    bool const answered = held && answers.wait_for(3);
    // Every job ends before the answers go, whatever failed.
    dialogs->close_all();
    ASSERT_TRUE(answers.wait_for(6));
    ASSERT_TRUE(held);
    ASSERT_TRUE(answered);
    EXPECT_EQ(std::vector(answers.order.begin(), answers.order.begin() + 3), served);
    EXPECT_EQ(body_text(answers.by_uri["/thumb/a"]), "jpeg");
    EXPECT_EQ(answers.by_uri["/clip/a"].bytes().size(), 10u);
    EXPECT_EQ(body_text(answers.by_uri["pick0"]), R"({"path":null})");
}

// A worker that cannot start fails the pool with a crash record naming it; those already started end with it.
TEST_F(PageServer, WorkerThatCannotStartFailsThePool)
{
    threads::set_crash_log(dir() / "crash.log");
    fakes::WatchedSpawner spawner { "quillmar-page-2" };
    auto tx = api::spawn_page_workers({}, spawner.spawner());
    threads::set_crash_log({});
    ASSERT_FALSE(tx);
    EXPECT_EQ(tx.error(), fmt::format("Démarrage impossible : le fil quillmar-page-2 n'a pas démarré ({})",
                                      fakes::refused_start_text));
    EXPECT_NE(read_file(dir() / "crash.log").find("quillmar-page-2: "), std::string::npos);
    EXPECT_TRUE(media::poll_until([&] {
        auto seen = spawner.seen();
        return seen.size() == 2 && seen["quillmar-page-0"] && seen["quillmar-page-1"];
    }));
}

TEST(PagePool, UnqueuedOrDroppedJobsAnswer503)
{
    Answers answers;
    auto [tx, rx] = channel::make<api::PageJob>();
    { auto gone = std::move(rx); } // no worker holds the queue
    api::queue_page_request({ nullptr, tx, nullptr }, { "GET", "/api/", {}, {} }, answers.responder("unqueued"));
    { auto dropped = answers.responder("dropped"); }
    ASSERT_EQ(answers.by_uri.size(), 2u);
    EXPECT_EQ(answers.by_uri["unqueued"].status, 503);
    EXPECT_EQ(answers.by_uri["dropped"].status, 503);
}
