// The video thread's attempts, the capture loop and the encoder thread.

#include "engine/video.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "core/bitstream.h"
#include "core/mp4.h"
#include "engine/engine.h"
#include "library/settings.h"
#include "engine/shared.h"
#include "base/threads.h"

namespace video {

using ticks::ticks_per_second;

void store_packet(shared::Shared& shared, platform::EncoderParams const& params, std::uint64_t generation,
    platform::EncodedPacket packet)
{
    if (packet.keyframe) {
        bool const stored = shared.video_config.with([](auto const& config) { return config.has_value(); });
        if (!stored) {
            if (auto record = bitstream::decoder_config(params.codec, packet.data))
                shared::store_video_config(shared,
                    mp4::VideoConfig { std::move(*record), params.width, params.height, params.codec }, generation);
        }
    }
    Packet sample;
    sample.data = make_shared_bytes(to_ring_form(params.codec, packet.data));
    sample.time = packet.time;
    sample.flags = packet.keyframe ? Packet::keyframe_flag : 0;
    shared::push_video(shared, std::move(sample), generation);
}

Result<void> encoder_thread(platform::VideoEncoder& encoder, platform::EncoderParams const& params,
    std::uint64_t generation, channel::Receiver<platform::VideoFrame>& frames, shared::Shared& shared)
{
    std::vector<platform::EncodedPacket> packets;
    for (;;) {
        auto frame = frames.recv();
        packets.clear();
        if (!frame) {
            // The capture loop ended; what the encoder still holds is kept if it comes out. A failing flush is
            // not a failure of the pipeline, which is ending anyway.
            (void)encoder.flush(packets);
            for (auto& packet : packets)
                store_packet(shared, params, generation, std::move(packet));
            return {};
        }
        auto encoded = encoder.encode(*frame, packets);
        frame.reset();
        for (auto& packet : packets)
            store_packet(shared, params, generation, std::move(packet));
        if (!encoded)
            return encoded;
    }
}

LoopClock real_clock()
{
    return LoopClock {
        [] { return ticks::now(); },
        [](Ticks deadline) {
            timespec when {};
            when.tv_sec = time_t(deadline / ticks_per_second);
            when.tv_nsec = long(deadline % ticks_per_second * ticks::ns_per_tick);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) { }
        },
    };
}

Result<void> capture_loop(CaptureLoopArgs args)
{
    auto& source = args.source;
    shared::Shared& shared = args.shared;
    auto make_converter = [&] {
        return args.driver.converter(source.width(), source.height(),
            gfx::letterbox_rect(source.width(), source.height(), args.out_width, args.out_height));
    };
    auto converter = make_converter();
    auto pool = std::make_unique<gfx::FramePool>(args.out_width, args.out_height, args.layout);
    bool have_image = false;

    Pacer pacer(args.clock.now(), args.fps);
    for (;;) {
        Ticks const now = args.clock.now();
        auto const slot = pacer.next(now);
        if (slot.deadline > now)
            args.clock.sleep_until(slot.deadline);
        if (slot.dropped)
            shared.drops.fetch_add(slot.dropped, std::memory_order_relaxed);

        switch (TRY(source.grab())) {
        case platform::Grab::Image:
            have_image = true;
            break;
        case platform::Grab::NoImage:
            break;
        case platform::Grab::SizeChanged:
            // Frames still held by the encoder keep their old pool alive until they are released.
            converter = make_converter();
            pool = std::make_unique<gfx::FramePool>(args.out_width, args.out_height, args.layout);
            have_image = false;
            break;
        }

        if (have_image) {
            platform::BgraImage const image = source.image();
            if (auto request = shared::take_thumbnail_request(shared))
                request->send(gfx::make_thumbnail(image));

            auto frame = pool->acquire();
            if (!frame) {
                shared.drops.fetch_add(1, std::memory_order_relaxed);
            } else {
                converter->convert(image, *frame);
                switch (
                    args.frames.try_send(platform::VideoFrame { std::move(frame), slot.deadline, pacer.interval() })) {
                case channel::TrySend::Sent:
                    shared.frames.fetch_add(1, std::memory_order_relaxed);
                    break;
                case channel::TrySend::Full:
                    shared.drops.fetch_add(1, std::memory_order_relaxed);
                    break;
                case channel::TrySend::Closed:
                    if (args.stop.load())
                        return {};
                    return fail("l'encodeur vidéo s'est arrêté");
                }
            }
        }
        if (args.stop.load())
            return {};
    }
}

namespace {

// What the encoder thread hands back: set once, then `done`.
struct EncoderOutcome {
    std::atomic<bool> done { false };
    Result<void> result;
};

Result<void> run_attempt(VideoJob& job)
{
    // Read before anything opens: a restart after this makes the attempt's encoder thread stale at once.
    auto const generation = job.shared->generation.load();
    auto const& drivers = job.drivers;
    auto monitors = TRY(drivers.capture->monitors());
    auto monitor = pick_monitor(monitors, job.monitor);
    if (!monitor)
        return fail("aucun écran");
    auto source = TRY(drivers.capture->open(*monitor));
    auto const [out_width, out_height] = scale_to_resolution(job.resolution, source->width(), source->height());
    auto const params
        = choose_encoder(probe_encoders(*drivers.encoder), job.codec, out_width, out_height, job.fps, job.quality);
    std::shared_ptr<platform::VideoEncoder> encoder = TRY(drivers.encoder->open(params));

    job.shared->status.with([&](shared::PipelineStatus& status) {
        status.running = true;
        status.width = out_width;
        status.height = out_height;
        status.fps = job.fps;
        status.encoder = encoder->name();
        status.codec = params.codec;
        status.error.reset();
    });

    auto [sender, receiver] = channel::make<platform::VideoFrame>(frame_queue);
    auto outcome = std::make_shared<EncoderOutcome>();
    auto receiver_box = std::make_shared<channel::Receiver<platform::VideoFrame>>(std::move(receiver));
    auto thread = threads::spawn_thread(
        "quillmar-encoder", [encoder, params, generation, receiver_box, outcome, shared = job.shared] {
            {
                // The receiving end goes before `done`: a capture loop still sending then sees the channel closed.
                auto frames = std::move(*receiver_box);
                outcome->result = encoder_thread(*encoder, params, generation, frames, *shared);
            }
            outcome->done.store(true, std::memory_order_release);
        });
    if (!thread)
        return fail(std::move(thread).error());
    receiver_box.reset();

    auto captured = capture_loop(CaptureLoopArgs { *source, *drivers.capture, out_width, out_height,
        encoder->input_layout(), job.fps, *job.shared, *job.stop, std::move(sender), job.clock });

    // The encoder flushes what it holds once the frame channel closes; it gets 2 s before it is left running.
    // Whatever it stores after the next restart is refused by its generation.
    auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!outcome->done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::optional<std::string> encoder_error;
    if (outcome->done.load(std::memory_order_acquire)) {
        thread->join();
        if (!outcome->result)
            encoder_error = outcome->result.error();
    } else {
        thread->detach();
    }
    if (encoder_error)
        return fail(std::move(*encoder_error));
    return captured;
}

}

void run_video(VideoJob job)
{
    Backoff backoff;
    ErrorDedup dedup;
    while (!job.stop->load()) {
        Ticks const started = job.clock.now();
        auto attempt = run_attempt(job);
        job.shared->status.with([](shared::PipelineStatus& status) { status.running = false; });
        if (attempt)
            return;

        std::string const text = fmt::format("Capture interrompue : {}", attempt.error());
        job.shared->status.with([&](shared::PipelineStatus& status) {
            status.running = false;
            status.error = text;
        });
        if (dedup.is_new(text) && job.report_error)
            job.report_error(text);
        shared::new_segment(*job.shared);

        Ticks const pause = Ticks(backoff.next(job.clock.now() - started)) * ticks_per_second;
        Ticks const resume = job.clock.now() + pause;
        while (job.clock.now() < resume) {
            if (job.stop->load())
                return;
            job.clock.sleep_until(std::min(resume, job.clock.now() + 100 * ticks::ticks_per_ms));
        }
    }
}

void video_thread(engine::VideoThreadParams params, VideoDrivers drivers)
{
    VideoJob job;
    static_cast<engine::VideoCapture&>(job) = params;
    job.report_error = [engine = params.engine](std::string const& text) {
        if (auto strong = engine.lock())
            strong->notify(engine::PageEvent { engine::PageEvent::Error { text } });
    };
    job.drivers = drivers;
    job.clock = real_clock();
    run_video(std::move(job));
}

std::function<void(engine::VideoThreadParams)> video_body(VideoDrivers drivers)
{
    return [drivers](engine::VideoThreadParams params) { video_thread(std::move(params), drivers); };
}

}
