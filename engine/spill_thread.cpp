#include "engine/spill_thread.h"

#include <chrono>
#include <limits>
#include <thread>


namespace spill {

namespace {

ring::Ring* find_ring(shared::Rings& rings, std::uint64_t id)
{
    if (rings.video.id == id)
        return &rings.video;
    for (auto& record : rings.segments)
        if (record.ring.id == id)
            return &record.ring;
    return nullptr;
}

}


Gathered gather_jobs(shared::Shared& shared)
{
    bool running = shared.status.with([](shared::PipelineStatus const& status) { return status.running; });
    Gathered gathered;
    shared.rings.with([&](shared::Rings& rings) {
        if (!rings.video.samples.empty()) {
            auto cutoff = rings.video.samples.back().time;
            if (running)
                cutoff -= keep_in_memory_ticks;
            gather(rings.video, cutoff, gathered.jobs);
        }
        std::uint64_t total = rings.video.total_bytes + rings.audio.total_bytes;
        for (auto const& record : rings.segments) {
            gather(record.ring, std::numeric_limits<std::int64_t>::max(), gathered.jobs);
            total += record.ring.total_bytes;
        }
        gathered.nothing_buffered = total == 0;
    });
    return gathered;
}

std::size_t apply_records(shared::Shared& shared, std::vector<Written> const& records)
{
    if (records.empty())
        return 0;
    return shared.rings.with([&](shared::Rings& rings) {
        std::size_t swapped = 0;
        for (auto const& record : records)
            if (auto* ring = find_ring(rings, record.job.ring_id); ring && apply(*ring, record))
                ++swapped;
        return swapped;
    });
}

Round run_round(shared::Shared& shared, Spiller& spiller)
{
    if (!spiller.prepare())
        return Round::Failed;
    auto gathered = gather_jobs(shared);
    if (gathered.nothing_buffered)
        spiller.release_current();
    if (gathered.jobs.empty())
        return Round::Done;
    auto outcome = spiller.write(std::move(gathered.jobs));
    apply_records(shared, outcome.records);
    return outcome.error ? Round::Failed : Round::Done;
}

void spill_thread_main(std::weak_ptr<shared::Shared> weak, std::filesystem::path folder)
{
    using namespace std::chrono_literals;
    Spiller spiller(std::move(folder));
    auto pause = std::chrono::milliseconds(500);
    for (;;) {
        std::this_thread::sleep_for(pause);
        auto strong = weak.lock();
        if (!strong)
            return;
        pause = run_round(*strong, spiller) == Round::Failed ? 30'000ms : 500ms;
    }
}

}
