// PulseAudio capture for the audio thread, on the asynchronous API with the thread's own pa_mainloop (no
// threaded main loop: the audio thread polls every 10 ms anyway and iterates the loop itself, so no callback
// ever runs on another thread).
//
// Loopback of an output device is a record stream on that sink's monitor source. Streams ask for 10 ms
// fragments with PA_STREAM_ADJUST_LATENCY, so the server delivers sound about 10-20 ms after it was played:
// far below the mixer's 100 ms keep-up margin, so a source never falls behind the silence that the mixer
// pads for sources that deliver nothing.
//
// Capture times come from CaptureClock, which smooths the stream latency that each read works out from the
// server's latest report on the stream.

#include "platform/audio_source.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <pulse/pulseaudio.h>

#include "base/clock.h"
#include "platform/linux/capture_clock.h"

namespace platform {

namespace {

using ticks::Ticks;

constexpr std::uint32_t rate_hz = 48'000;
constexpr std::uint32_t bytes_per_frame = 4;
// Everything one open or one endpoint list waits for, together: a local server answers in milliseconds, and
// the audio thread must not stay deaf to its stop flag for long behind a server that hangs.
constexpr Ticks request_timeout = ticks::ticks_per_second;
constexpr pa_usec_t fragment_usec = 10'000;


std::string pa_text(int code) { return fmt::format("Son : {}", pa_strerror(code)); }

pa_sample_spec capture_spec() { return pa_sample_spec { PA_SAMPLE_S16LE, rate_hz, 2 }; }

// One main loop and its context. Shared by the backend and its streams so that a stream that outlives a
// reconnect still tears down against the loop it was made on.
class Connection {
public:
    static Result<std::shared_ptr<Connection>> open(Ticks deadline)
    {
        auto connection = std::shared_ptr<Connection>(new Connection);
        connection->m_loop = pa_mainloop_new();
        if (!connection->m_loop)
            return fail("Son : impossible de créer la boucle PulseAudio");
        connection->m_context = pa_context_new(pa_mainloop_get_api(connection->m_loop), "quill.mar");
        if (!connection->m_context)
            return fail("Son : impossible de créer le contexte PulseAudio");
        if (pa_context_connect(connection->m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return fail(pa_text(pa_context_errno(connection->m_context)));
        auto* context = connection->m_context;
        TRY_VOID(connection->settle([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; },
            [context] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }, deadline));
        return connection;
    }

    ~Connection()
    {
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop)
            pa_mainloop_free(m_loop);
    }
    Connection(Connection const&) = delete;
    Connection& operator=(Connection const&) = delete;

    pa_context* context() const { return m_context; }
    bool good() const { return pa_context_get_state(m_context) == PA_CONTEXT_READY; }

    // Iterates the loop until `done` or the deadline, never sleeping more than 10 ms at a time.
    bool run_until(std::function<bool()> const& done, Ticks deadline)
    {
        while (!done()) {
            Ticks left = deadline - ticks::now();
            if (left <= 0)
                return false;
            int timeout_usec = int(std::min<Ticks>(left, 10 * ticks::ticks_per_ms) / 10);
            if (pa_mainloop_prepare(m_loop, timeout_usec) < 0 || pa_mainloop_poll(m_loop) < 0
                || pa_mainloop_dispatch(m_loop) < 0)
                return false;
        }
        return true;
    }

    // Iterates the loop until a context or stream being set up is ready or has failed; its error when it is
    // not ready, or when the server has not answered by the deadline.
    Result<void> settle(std::function<bool()> const& ready, std::function<bool()> const& failed, Ticks deadline)
    {
        if (!run_until([&] { return ready() || failed(); }, deadline))
            return fail("Son : le serveur PulseAudio ne répond pas");
        if (!ready())
            return fail(pa_text(pa_context_errno(m_context)));
        return {};
    }

    // Dispatches whatever is pending without waiting.
    void pump()
    {
        for (int i = 0; i < 64 && pa_mainloop_iterate(m_loop, 0, nullptr) > 0; ++i) { }
    }

    // Waits for an introspection operation whose callback sets `done`. On a timeout the operation is
    // cancelled, so its callback can no longer touch the caller's (soon dead) state.
    bool wait(pa_operation* operation, bool const& done, Ticks deadline)
    {
        if (!operation)
            return false;
        auto* context = m_context;
        run_until([&] { return done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }, deadline);
        if (!done)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return done;
    }

private:
    Connection() = default;
    pa_mainloop* m_loop { nullptr };
    pa_context* m_context { nullptr };
};

struct ServerDefaults {
    bool done { false };
    std::string sink;
    std::string source;
};

Result<ServerDefaults> server_defaults(Connection& connection, Ticks deadline)
{
    ServerDefaults defaults;
    auto* operation = pa_context_get_server_info(
        connection.context(),
        [](pa_context*, pa_server_info const* info, void* data) {
            auto* out = static_cast<ServerDefaults*>(data);
            if (info) {
                out->sink = info->default_sink_name ? info->default_sink_name : "";
                out->source = info->default_source_name ? info->default_source_name : "";
            }
            out->done = true;
        },
        &defaults);
    if (!connection.wait(operation, defaults.done, deadline))
        return fail(pa_text(pa_context_errno(connection.context())));
    return defaults;
}

struct SinkLookup {
    bool done { false };
    bool found { false };
    std::string monitor;
};

// The monitor source of the sink named `name`, or nothing when there is no such sink.
std::optional<std::string> sink_monitor(Connection& connection, std::string const& name, Ticks deadline)
{
    SinkLookup lookup;
    auto* operation = pa_context_get_sink_info_by_name(
        connection.context(), name.c_str(),
        [](pa_context*, pa_sink_info const* info, int eol, void* data) {
            auto* out = static_cast<SinkLookup*>(data);
            if (eol) {
                out->done = true;
                return;
            }
            if (info && info->monitor_source_name) {
                out->found = true;
                out->monitor = info->monitor_source_name;
            }
        },
        &lookup);
    if (!connection.wait(operation, lookup.done, deadline) || !lookup.found)
        return std::nullopt;
    return lookup.monitor;
}

struct SourceLookup {
    bool done { false };
    bool found { false };
    bool is_monitor { false };
};

SourceLookup find_source(Connection& connection, std::string const& name, Ticks deadline)
{
    SourceLookup lookup;
    auto* operation = pa_context_get_source_info_by_name(
        connection.context(), name.c_str(),
        [](pa_context*, pa_source_info const* info, int eol, void* data) {
            auto* out = static_cast<SourceLookup*>(data);
            if (eol) {
                out->done = true;
                return;
            }
            if (info) {
                out->found = true;
                out->is_monitor = info->monitor_of_sink != PA_INVALID_INDEX;
            }
        },
        &lookup);
    if (!connection.wait(operation, lookup.done, deadline))
        lookup.found = false;
    return lookup;
}

class PulseStream final : public AudioStream {
public:
    PulseStream(std::shared_ptr<Connection> connection, pa_stream* stream)
        : m_connection(std::move(connection))
        , m_stream(stream)
    {
    }
    ~PulseStream() override
    {
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_connection->pump();
    }

    Result<void> read(std::vector<AudioPacket>& out) override
    {
        m_connection->pump();
        if (!m_connection->good())
            return fail(pa_text(pa_context_errno(m_connection->context())));
        if (pa_stream_get_state(m_stream) != PA_STREAM_READY)
            return fail("Son : flux perdu");

        std::size_t readable = pa_stream_readable_size(m_stream);
        if (readable == std::size_t(-1))
            return fail(pa_text(pa_context_errno(m_connection->context())));
        if (readable == 0)
            return {};
        update_epoch(readable);

        for (;;) {
            void const* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(m_stream, &data, &bytes) < 0)
                return fail(pa_text(pa_context_errno(m_connection->context())));
            if (bytes == 0)
                break;
            std::uint32_t frames = std::uint32_t(bytes / bytes_per_frame);
            std::int64_t held = m_clock.frames_held();
            if (held > 0 && held < frames) {
                // The piece runs past the kept sound into what the server recorded after its gap: the rest is
                // dated anew (the server's figures still count from the start of the piece).
                push_packet(out, data, std::uint32_t(held));
                end_hold(held);
                data = data ? static_cast<char const*>(data) + held * bytes_per_frame : nullptr;
                frames -= std::uint32_t(held);
            }
            push_packet(out, data, frames);
            pa_stream_drop(m_stream);
            if (held > 0 && !m_clock.holding())
                end_hold(0);
        }
        return {};
    }

private:
    // The sound the server kept is read: what follows its gap is dated from the report that found the queue
    // full, which takes the server for writing ever since, while it went on dropping until we made room. A
    // fresh report is asked at once (the library's own come up to a second and a half apart) so that this
    // error of some tens of milliseconds is gone before long.
    void end_hold(std::int64_t frames_in)
    {
        update_epoch(0, frames_in);
        if (pa_operation* operation = pa_stream_update_timing_info(m_stream, nullptr, nullptr))
            pa_operation_unref(operation);
    }

    void push_packet(std::vector<AudioPacket>& out, void const* data, std::uint32_t frames)
    {
        if (frames == 0)
            return;
        AudioPacket packet;
        packet.frames = frames;
        packet.time = m_clock.take(packet.frames);
        if (!data) {
            // A hole in the recording: the server lost that sound, it stays silence here.
            packet.silent = true;
        } else {
            auto const* samples = static_cast<std::int16_t const*>(data);
            packet.samples.assign(samples, samples + std::size_t(packet.frames) * 2);
        }
        out.push_back(std::move(packet));
    }

    // `readable`: the bytes ready, the fallback figure while the server has not reported yet (0: no
    // measurement then). `frames_in`: frames already taken from the piece being read, which the server's
    // figures do not count as read yet.
    void update_epoch(std::size_t readable, std::int64_t frames_in = 0)
    {
        Ticks now = ticks::now();
        Ticks latency = 0;
        pa_timing_info const* info = pa_stream_get_timing_info(m_stream);
        if (info && !info->write_index_corrupt && !info->read_index_corrupt) {
            report_queue(*info);
            // Straight from the server's last report, rather than the library's latency: that one adds the
            // time the report took to reach us on top of the time since the report (counting it twice: a
            // report that waited behind a backlog makes hundreds of milliseconds), and follows its reports
            // through a smoother that takes seconds to forget such a figure, or (kept monotonic) the stream
            // time extrapolated across a stall, as if the server had dropped nothing.
            std::int64_t unread_frames = (info->write_index - info->read_index) / std::int64_t(bytes_per_frame);
            latency = CaptureClock::frames_to_ticks(unread_frames - frames_in)
                      + Ticks(pa_timeval_age(&info->timestamp)) * 10 + Ticks(info->source_usec) * 10
                      // A monitor's sound counts from when it is played.
                      - Ticks(info->sink_usec) * 10;
            latency = std::max<Ticks>(latency, 0);
        } else if (readable > 0) {
            latency = CaptureClock::frames_to_ticks(std::int64_t(readable / bytes_per_frame));
        } else {
            return;
        }
        m_clock.measure(now, latency);
    }

    void report_queue(pa_timing_info const& info)
    {
        if (pa_buffer_attr const* attr = pa_stream_get_buffer_attr(m_stream))
            m_clock.queue_report(info.write_index / bytes_per_frame, attr->maxlength / bytes_per_frame);
    }

    std::shared_ptr<Connection> m_connection;
    pa_stream* m_stream;
    CaptureClock m_clock;
};

class PulseBackend final : public AudioBackend {
public:
    Result<std::unique_ptr<AudioStream>> open(AudioRole role, std::optional<std::string> const& device) override
    {
        Ticks deadline = ticks::now() + request_timeout;
        if (!m_connection || !m_connection->good())
            m_connection = TRY(Connection::open(deadline));
        auto& connection = *m_connection;

        std::string source_name;
        if (role == AudioRole::Output) {
            std::optional<std::string> monitor;
            if (device)
                monitor = sink_monitor(connection, *device, deadline);
            source_name = monitor.value_or("@DEFAULT_MONITOR@");
        } else {
            if (device && find_source(connection, *device, deadline).found)
                source_name = *device;
            if (source_name.empty()) {
                auto defaults = TRY(server_defaults(connection, deadline));
                auto lookup = find_source(connection, defaults.source, deadline);
                // With no microphone plugged in, the server's default source is often a monitor: recording
                // it would put the game's sound in twice.
                if (defaults.source.empty() || !lookup.found || lookup.is_monitor)
                    return fail("Son : aucun microphone");
                source_name = defaults.source;
            }
        }

        auto spec = capture_spec();
        pa_channel_map map;
        pa_channel_map_init_stereo(&map);
        auto* stream = pa_stream_new(connection.context(),
                                     role == AudioRole::Output ? "Son de l'ordinateur" : "Microphone", &spec, &map);
        if (!stream)
            return fail(pa_text(pa_context_errno(connection.context())));
        auto result = std::make_unique<PulseStream>(m_connection, stream);

        pa_buffer_attr attr {};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(-1);
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(pa_usec_to_bytes(fragment_usec, &spec));
        // DONT_MOVE: when the device goes away the stream fails and is reopened on the default device, rather
        // than being moved by the server to whatever source it picks (possibly a monitor for the microphone).
        auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING
                                       | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream, source_name.c_str(), &attr, flags) < 0)
            return fail(pa_text(pa_context_errno(connection.context())));
        TRY_VOID(connection.settle([stream] { return pa_stream_get_state(stream) == PA_STREAM_READY; },
            [stream] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)); }, deadline));
        return std::unique_ptr<AudioStream>(std::move(result));
    }

private:
    std::shared_ptr<Connection> m_connection;
};

Result<std::unique_ptr<AudioBackend>> create_backend()
{
    return std::unique_ptr<AudioBackend>(std::make_unique<PulseBackend>());
}

struct DeviceList {
    bool done { false };
    bool render { false };
    std::vector<AudioDevice> devices;
};

Result<std::vector<AudioDevice>> list_endpoints(AudioFlow flow)
{
    Ticks deadline = ticks::now() + request_timeout;
    auto connection = TRY(Connection::open(deadline));
    auto defaults = TRY(server_defaults(*connection, deadline));
    DeviceList list;
    list.render = flow == AudioFlow::Render;
    pa_operation* operation = nullptr;
    if (list.render) {
        operation = pa_context_get_sink_info_list(
            connection->context(),
            [](pa_context*, pa_sink_info const* info, int eol, void* data) {
                auto* out = static_cast<DeviceList*>(data);
                if (eol) {
                    out->done = true;
                    return;
                }
                if (info && info->name) {
                    std::string name = info->description && *info->description ? info->description : info->name;
                    out->devices.push_back({ info->name, std::move(name), false });
                }
            },
            &list);
    } else {
        operation = pa_context_get_source_info_list(
            connection->context(),
            [](pa_context*, pa_source_info const* info, int eol, void* data) {
                auto* out = static_cast<DeviceList*>(data);
                if (eol) {
                    out->done = true;
                    return;
                }
                // Monitors are loopbacks of outputs, not microphones.
                if (info && info->name && info->monitor_of_sink == PA_INVALID_INDEX) {
                    std::string name = info->description && *info->description ? info->description : info->name;
                    out->devices.push_back({ info->name, std::move(name), false });
                }
            },
            &list);
    }
    if (!connection->wait(operation, list.done, deadline))
        return fail(pa_text(pa_context_errno(connection->context())));
    std::string const& default_id = list.render ? defaults.sink : defaults.source;
    for (auto& device : list.devices)
        device.is_default = !default_id.empty() && device.id == default_id;
    return std::move(list.devices);
}

}

AudioDriver const pulse_audio_driver { "pulse", &create_backend, &list_endpoints };

}
