#include "core/ring.h"

#include <algorithm>

namespace ring {

std::uint64_t Sample::size() const
{
    if (auto const* memory = std::get_if<Memory>(&payload))
        return memory->data ? memory->data->size() : 0;
    return std::get<Spilled>(payload).len;
}

void Ring::push(Packet packet)
{
    if (samples.empty() && !packet.is_keyframe())
        return;
    if (packet.is_keyframe())
        keyframes.push_back(packet.time);
    std::uint64_t size = packet.size();
    total_bytes += size;
    memory_bytes += size;
    samples.push_back(Sample { Memory { std::move(packet.data) }, packet.time, packet.flags });
    evict();
}

void Ring::evict()
{
    if (samples.empty() || keyframes.size() < 2)
        return;
    // Saturating: a window reaching past the clock's range keeps everything.
    std::int64_t cutoff = 0;
    if (__builtin_sub_overflow(samples.back().time, window, &cutoff))
        cutoff = window > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    while (keyframes.size() >= 2) {
        std::int64_t second = keyframes[1];
        if (second > cutoff && total_bytes <= byte_limit)
            return;
        keyframes.pop_front();
        while (!samples.empty() && samples.front().time < second) {
            std::uint64_t size = samples.front().size();
            total_bytes -= size;
            if (samples.front().in_memory())
                memory_bytes -= size;
            samples.pop_front();
        }
    }
}

std::size_t Ring::count_before(std::int64_t t) const
{
    auto it = std::partition_point(samples.begin(), samples.end(), [t](Sample const& s) { return s.time < t; });
    return static_cast<std::size_t>(it - samples.begin());
}

std::vector<Sample> Ring::samples_from_keyframe(std::int64_t start, std::int64_t end) const
{
    if (keyframes.empty())
        return {};
    auto c = std::upper_bound(keyframes.begin(), keyframes.end(), start) - keyframes.begin();
    std::int64_t from = c > 0 ? keyframes[static_cast<std::size_t>(c - 1)] : keyframes.front();
    return samples_between(from, end);
}

std::vector<Sample> Ring::samples_between(std::int64_t from, std::int64_t to) const
{
    if (to <= from)
        return {};
    std::size_t lo = count_before(from);
    std::size_t hi = count_before(to);
    return std::vector<Sample>(samples.begin() + static_cast<std::ptrdiff_t>(lo),
                               samples.begin() + static_cast<std::ptrdiff_t>(hi));
}

std::vector<std::pair<std::int64_t, SharedBytes>> Ring::unspilled_before(std::int64_t t) const
{
    std::vector<std::pair<std::int64_t, SharedBytes>> result;
    std::size_t n = count_before(t);
    for (std::size_t i = 0; i < n; ++i) {
        if (auto const* memory = std::get_if<Memory>(&samples[i].payload))
            result.emplace_back(samples[i].time, memory->data);
    }
    return result;
}

void Ring::clear()
{
    samples.clear();
    keyframes.clear();
    total_bytes = 0;
    memory_bytes = 0;
}

bool Ring::mark_spilled(std::int64_t time, SharedBytes const& data, Spilled spilled)
{
    // Several samples may share a time; the one to swap is the one that still holds the written buffer.
    for (std::size_t i = count_before(time); i < samples.size() && samples[i].time == time; ++i) {
        auto* memory = std::get_if<Memory>(&samples[i].payload);
        if (!memory || memory->data != data)
            continue;
        std::uint64_t size = memory->data ? memory->data->size() : 0;
        spilled.len = static_cast<std::uint32_t>(size);
        memory_bytes -= size;
        samples[i].payload = std::move(spilled);
        return true;
    }
    return false;
}

}
