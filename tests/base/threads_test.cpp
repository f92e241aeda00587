#include "base/channel.h"
#include "base/threads.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

// The system keeps 15 bytes. Shorter names are the ones the whole-program tests find the threads by, and the cut
// never splitting a character is utf8::cut_bytes', met by the light-copy names (tests/engine/export_test.cpp).
TEST(ThreadsName, TruncatesToFifteenBytes)
{
    EXPECT_EQ(threads::os_thread_name("quillmar-encoder"), "quillmar-encode");
}

class ThreadsCrash : public testing_support::TempDirTest { };

TEST_F(ThreadsCrash, EscapingExceptionBecomesOneRecord)
{
    auto log = dir() / "crash.log";
    threads::set_crash_log(log);
    auto thread = threads::spawn_thread("quillmar-encoder", [] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(thread);
    thread->join();
    threads::set_crash_log({});
    auto text = read_file(log);
    // The source file as the project names it: the build machine's folders mean nothing to a reader.
    EXPECT_TRUE(text.starts_with("panicked at tests/base/threads_test.cpp:")) << text;
    EXPECT_NE(text.find(":\nquillmar-encoder: boom\n"), std::string::npos) << text;
}

// A link planted at the log's name is never written through, nor its missing target created.
TEST_F(ThreadsCrash, LinkAtTheLogIsNotFollowed)
{
    auto victim = write_file("victim", "precious");
    for (auto const& target : { victim, dir() / "created" }) {
        SCOPED_TRACE(target.string());
        auto log = dir() / "crash.log";
        std::filesystem::remove(log);
        std::filesystem::create_symlink(target, log);
        threads::set_crash_log(log);
        threads::append_crash_record(std::source_location::current(), "boom");
        threads::set_crash_log({});
        EXPECT_EQ(read_file(victim), "precious");
        EXPECT_FALSE(std::filesystem::exists(dir() / "created"));
    }
}

// The order check is live where asserts are (the debug build of the ThreadSanitizer run): a lock taken under
// one that ranks higher ends the process.
TEST(ThreadsLockRank, TakingALowerRankUnderAHigherOneAborts)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the lock order is checked in debug builds";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    threads::Locked<int> leaf;
    threads::RankedMutex pipeline { threads::LockRank::Pipeline };
    EXPECT_DEATH(leaf.with([&](int&) { auto guard = pipeline.lock(); }), "lock order violated");
}

TEST(Channel, BlockedSendersWakeWhenReceiverGoes)
{
    auto [tx, rx] = channel::make<int>(1);
    ASSERT_TRUE(tx.send(0)); // full from here on
    std::atomic<int> refused { 0 };
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; ++i)
        senders.emplace_back([&, tx = tx] {
            if (!tx.send(1))
                ++refused;
        });
    {
        auto gone = std::move(rx);
    }
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(refused.load(), 3);
}

TEST(Channel, BoundedChannelKeepsEachProducersOrder)
{
    auto [tx, rx] = channel::make<std::pair<int, int>>(2);
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p)
        producers.emplace_back([p, tx = tx] {
            for (int i = 0; i < 500; ++i)
                tx.send({ p, i });
        });
    tx.reset();
    int next[3] = { 0, 0, 0 };
    while (auto value = rx.recv()) {
        auto [p, i] = *value;
        EXPECT_EQ(i, next[p]);
        next[p] = i + 1;
    }
    for (auto& producer : producers)
        producer.join();
    EXPECT_EQ(next[0] + next[1] + next[2], 1500);
}

TEST(Channel, WaitingReceiverWakesOnTheLastSenderGoing)
{
    auto [tx, rx] = channel::make<int>();
    channel::RecvStatus status;
    EXPECT_EQ(rx.recv_for(std::chrono::milliseconds(1), &status), std::nullopt);
    EXPECT_EQ(status, channel::RecvStatus::Timeout); // a timeout is not a closed channel
    std::thread last([tx = std::move(tx)]() mutable { tx.reset(); });
    EXPECT_EQ(rx.recv_until(std::chrono::steady_clock::now() + 1h, &status), std::nullopt);
    EXPECT_EQ(status, channel::RecvStatus::Closed);
    last.join();
}
