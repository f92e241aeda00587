// The real page in the program's own window and view on the test desktop: the GTK desktop, the scheme
// handler and the page workers, over a clips folder of real MP4s made with ffmpeg. The page is read with
// webkit_web_view_call_async_javascript_function; the pointer comes from xdotool, the window state from xprop, and the
// files the view holds open from /proc.
#include <csignal>
#include <fstream>

#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/main.h"
#include "app/window.h"
#include "base/clock.h"
#include "library/library.h"
#include "platform/main_loop.h"
#include "tests/fakes/fake_hotkeys.h"
#include "tests/support/media_check.h"
#include "tests/support/gtk_wait.h"
#include "tests/support/temp_dir.h"

// Last: Xlib defines None, Status and Bool as macros.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using shell::UserEvent;

// An id that needs every kind of escape on its way into a file URL.
constexpr char const* odd_id = "Partie #1 100% é & 'q'";
constexpr char const* plain_id = "simple";

using testing_support::spin_until;

// The files under `folder` that the child processes hold open.
std::vector<std::string> open_in_children(fs::path const& folder)
{
    std::vector<std::string> open;
    for (auto const& [pid, name] : testing_support::descendants()) {
        for (auto const& file : testing_support::open_files_under(pid, folder))
            open.push_back(fmt::format("{}: {}", pid, file.string()));
    }
    return open;
}

class WebKitPage : public testing_support::TempDirTest {
protected:
    static void SetUpTestSuite()
    {
        if (!media::have_tool("ffmpeg") || !media::have_tool("xdotool") || !media::have_tool("xprop"))
            return;
        media_dir = testing_support::make_temp_dir("quillmar-webkit-media");
        auto ffmpeg = [](std::string const& args) { return std::system(("ffmpeg -v error -y " + args).c_str()) == 0; };
        made = ffmpeg(fmt::format("-f lavfi -i testsrc2=size=320x180:rate=30 -f lavfi -i sine=frequency=440 -t 10 "
                                  "-pix_fmt yuv420p -c:v libx264 -c:a aac -movflags +faststart '{}'",
                                  (media_dir / "clip.mp4").string()))
            && ffmpeg(fmt::format("-f lavfi -i testsrc2=size=400x225 -frames:v 1 '{}'", (media_dir / "thumb.jpg").string()))
            && ffmpeg(fmt::format("-f lavfi -i testsrc2=size=320x180:rate=30 -t 4 -pix_fmt yuv420p -c:v libx264 '{}'",
                                  (media_dir / "growing.mp4").string()))
            && ffmpeg(fmt::format("-f lavfi -i testsrc2=size=320x180:rate=30 -t 10 -pix_fmt yuv420p -c:v libx264 "
                                  "-movflags +faststart '{}'",
                                  (media_dir / "silent.mp4").string()));
    }
    static void TearDownTestSuite() { fs::remove_all(media_dir); }

    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!made)
            GTEST_SKIP() << "ffmpeg, xdotool or xprop missing";
        ::setenv("HOME", dir().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir() / ".config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir() / ".local" / "share").c_str(), 1);
        auto desktop = platform::open_gtk_desktop(dir() / "WebView");
        if (!desktop)
            GTEST_SKIP() << desktop.error();
        clips = dir() / "Videos" / "quill.mar";
        fs::create_directories(clips / ".quillmar");
        // No sidecars: the library reads each clip's facts from its MP4, as for a clip copied in by hand.
        for (std::string const id : { odd_id, plain_id }) {
            fs::create_hard_link(media_dir / "clip.mp4", clips / (id + ".mp4"));
            fs::create_hard_link(media_dir / "thumb.jpg", clips / ".quillmar" / (id + ".jpg"));
        }

        state.desktop = std::move(*desktop);
        state.data_folder = dir();
        engine::EngineParts parts;
        parts.clips_folder = clips;
        parts.shared = std::make_shared<shared::Shared>();
        state.engine = std::make_shared<engine::Engine>(std::move(parts));
        state.app = std::make_shared<api::App>(state.engine);
        state.proxy = std::make_shared<shell::EventProxy>(
            [](std::function<void()> fn) { platform::invoke_on_main(std::move(fn)); },
            [this](UserEvent event) { shell::handle_event(state, std::move(event)); });
        state.page_jobs = *api::spawn_page_workers();
        state.page_scheme = api::scheme_handler({ state.proxy, state.page_jobs, state.app });

        window::show_window(state);
        ASSERT_TRUE(toplevel());
        view = WEBKIT_WEB_VIEW(gtk_bin_get_child(GTK_BIN(toplevel())));
        // Added before the main loop turns, so before the scheme can answer the page itself.
        WebKitUserScript* script = webkit_user_script_new(
            "window.__violations = [];"
            "document.addEventListener('securitypolicyviolation', e =>"
            "  __violations.push(e.violatedDirective + ' ' + e.blockedURI));",
            WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(webkit_web_view_get_user_content_manager(view), script);
        webkit_user_script_unref(script);
        // The shell's own handler refuses every menu and ends the emission: a hook sees each one first.
        context_menu_hook = g_signal_add_emission_hook(
            g_signal_lookup("context-menu", WEBKIT_TYPE_WEB_VIEW), 0,
            [](GSignalInvocationHint*, guint, GValue const*, gpointer count) {
                ++*static_cast<int*>(count);
                return gboolean(TRUE);
            },
            &own_menus, nullptr);
        // Shown by the page's ready call once it has booted.
        ASSERT_TRUE(spin_until([&] { return gtk_widget_get_visible(toplevel()); }));
        ASSERT_TRUE(wait_js("!!document.querySelector('#lib figure[data-id]')"));
    }
    void TearDown() override
    {
        if (context_menu_hook)
            g_signal_remove_emission_hook(g_signal_lookup("context-menu", WEBKIT_TYPE_WEB_VIEW), context_menu_hook);
        testing_support::close_shell_window(state);
        TempDirTest::TearDown();
    }

    GtkWidget* toplevel() { return testing_support::titled_toplevel(window::title); }

    // An async function body's value as text: a string as it is, anything else as JSON.
    std::string run_js(std::string const& body)
    {
        struct Outcome {
            bool done { false };
            std::string text;
        } outcome;
        webkit_web_view_call_async_javascript_function(
            view, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto& out = *static_cast<Outcome*>(data);
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
                if (value) {
                    char* text = jsc_value_is_string(value) ? jsc_value_to_string(value) : jsc_value_to_json(value, 0);
                    out.text = text ? text : "undefined";
                    g_free(text);
                    g_object_unref(value);
                } else {
                    out.text = std::string("error: ") + error->message;
                    g_error_free(error);
                }
                out.done = true;
            },
            &outcome);
        EXPECT_TRUE(spin_until([&] { return outcome.done; })) << body;
        return outcome.text;
    }

    std::string js(std::string const& script) { return run_js("return (" + script + ");"); }
    bool wait_js(std::string const& condition, std::chrono::seconds limit = 60s)
    {
        return spin_until([&] { return js("!!(" + condition + ")") == "true"; }, limit);
    }
    // Waits for the video's time to move on by half a second from where it is now.
    bool plays(std::string const& video)
    {
        if (!wait_js(video + " && " + video + ".currentTime > 0"))
            return false;
        auto start = js(video + ".currentTime");
        return wait_js(fmt::format("{}.currentTime > {} + 0.5 || {}.currentTime < {}", video, start, video, start));
    }

    // The pointer at the centre of an element, through the X server.
    void pointer(std::string const& element, char const* action = nullptr)
    {
        auto centre = nlohmann::json::parse(js(fmt::format(
            "(() => {{ const r = {}.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; }})()",
            element)));
        int x = 0, y = 0, ox = 0, oy = 0;
        gtk_widget_translate_coordinates(GTK_WIDGET(view), toplevel(), 0, 0, &x, &y);
        gdk_window_get_origin(gtk_widget_get_window(toplevel()), &ox, &oy);
        std::vector<std::string> command { "xdotool", "mousemove", "--sync",
                                           std::to_string(ox + x + int(centre[0].get<double>())),
                                           std::to_string(oy + y + int(centre[1].get<double>())) };
        if (action)
            command.insert(command.end(), { "click", action });
        ASSERT_EQ(media::run(command).status, 0);
    }

    // The view as it shows now, as NAME.png in page-shots/ of the build.
    void snapshot(std::string const& name)
    {
        struct Shot {
            bool done { false };
            cairo_surface_t* surface { nullptr };
        } snap;
        webkit_web_view_get_snapshot(
            view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto& out = *static_cast<Shot*>(data);
                out.surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
                out.done = true;
            },
            &snap);
        spin_until([&] { return snap.done; });
        if (!snap.surface)
            return;
        fs::path const shots = PAGE_SHOTS;
        fs::create_directories(shots);
        cairo_surface_write_to_png(snap.surface, (shots / (name + ".png")).c_str());
        cairo_surface_destroy(snap.surface);
    }
    // Resizes the window and waits until the page has laid the size out twice alike; gives "WxH".
    std::string resize(int w, int h)
    {
        gtk_window_resize(GTK_WINDOW(toplevel()), w, h);
        std::string size;
        spin_until([&] {
            auto now = js("(async () => { await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));"
                          " return innerWidth + 'x' + innerHeight; })()");
            bool same = now == size && now == fmt::format("{}x{}", w, h);
            size = now;
            return same;
        }, 10s);
        return size;
    }
    // Once the pictures are in and the cards have arrived (endless animations aside).
    bool settled()
    {
        return wait_js("[...document.images].every(i => i.complete) && document.getAnimations().every(a =>"
                       " a.playState !== 'running' || a.effect?.getComputedTiming().iterations === Infinity)");
    }

    static inline fs::path media_dir;
    static inline bool made = false;
    fs::path clips;
    shell::ShellState state;
    WebKitWebView* view { nullptr };
    int own_menus { 0 };
    gulong context_menu_hook { 0 };
};

}

// One page load: the library, a preview and the page's own menu; the player, fullscreen and the file let go
// of; the scheme's answers and the program's events; the policy against outside requests.
TEST_F(WebKitPage, LibraryPlayerSchemeAndPolicy)
{
    EXPECT_EQ(js("JSON.stringify(S.clips.map(c => c.id).sort())"),
              nlohmann::json({ odd_id, plain_id }).dump());
    EXPECT_EQ(js("S.clipsDir"), clips.string());
    EXPECT_TRUE(wait_js("[...document.querySelectorAll('#lib .thumb img')].every(i => i.complete && i.naturalWidth === 400)"));

    // A preview plays the file itself on a hover.
    auto thumb = fmt::format("[...document.querySelectorAll('#lib figure[data-id]')].find(f => f.dataset.id === {})"
                             ".querySelector('.thumb')",
                             nlohmann::json(odd_id).dump());
    pointer(thumb);
    auto preview = thumb + ".querySelector('video.pv')";
    ASSERT_TRUE(plays(preview)) << js(preview + "?.error?.code");
    EXPECT_EQ(js(preview + ".currentSrc"), "file://" + clips.string() + "/Partie%20%231%20100%25%20%C3%A9%20%26%20'q'.mp4");

    // A right-click shows the page's menu and never the view's own.
    pointer(thumb, "3");
    ASSERT_TRUE(wait_js("!$('menu').hidden"));
    EXPECT_EQ(js("JSON.stringify(menuItems.slice(0, 2).map(i => i.label))"), R"(["Lire","Renommer"])");
    EXPECT_EQ(own_menus, 0);

    // Leaving the card ends the preview.
    js("closeMenu()");
    pointer("$('bar')");
    EXPECT_TRUE(wait_js("!document.querySelector('video')"));

    // The player plays the file, goes fullscreen, and once closed no view process holds the file.
    pointer(thumb, "1");
    ASSERT_TRUE(wait_js("S.lens !== null && !$('player').hidden"));
    auto video = std::string("$('player').querySelector('video')");
    ASSERT_TRUE(plays(video)) << js("(v => JSON.stringify([v.error?.code, v.paused, v.readyState]))(" + video + ")");
    EXPECT_TRUE(js(video + ".currentSrc").starts_with("file:///"));
    // Outside Blink there is no lens: the bar takes the plain blur.
    EXPECT_EQ(js("JSON.stringify([GLASS_SUPPORTED, $('fx').children.length, "
                 "getComputedStyle(document.querySelector('.vp-bar')).backdropFilter])"),
              R"js([false,0,"blur(6px) saturate(1.4)"])js");
    EXPECT_FALSE(open_in_children(clips).empty()) << "the playing clip is open in a view process";
    js("setFullscreen(true)");
    auto const xid = std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(toplevel())));
    EXPECT_TRUE(spin_until([&] {
        gdk_display_flush(gdk_display_get_default());
        return media::run({ "xprop", "-id", xid, "_NET_WM_STATE" }).output.find("_NET_WM_STATE_FULLSCREEN") != std::string::npos;
    }, 20s));
    js("closePlayer()");
    ASSERT_TRUE(wait_js("S.lens === null && $('player').hidden && !document.querySelector('video')"));
    std::vector<std::string> open;
    EXPECT_TRUE(spin_until([&] { return (open = open_in_children(clips)).empty(); }, 30s))
        << fmt::format("{}", fmt::join(open, "\n"));

    EXPECT_EQ(run_js(R"(
        const api = await fetch('/api/', { method: 'POST', body: '{"id": "x"}' });
        const clip = await fetch('/clip/a%00b');
        return JSON.stringify([api.status, await api.text(), clip.status, await clip.text()]);)"),
              R"([200,"{\"error\":\"méthode inconnue\"}",404,"introuvable"])");
    js("window.__got = [], window.__quillmar = (event) => window.__got.push(event)");
    using Event = engine::PageEvent;
    // Quotes, a line break and U+2028 (a line end inside older scripts) stay text.
    for (auto event : { Event { Event::Error { "un \"deux\"\ntrois\u2028é" } }, Event { Event::SettingsChanged {} },
                        Event { Event::Removed { { "a", "b", "c" } } }, Event { Event::RecordingStarted {} } })
        shell::handle_event(state, UserEvent { UserEvent::Page { std::move(event) } });
    EXPECT_TRUE(wait_js("__got.length === 3"));
    EXPECT_EQ(js("JSON.stringify(__got)"), R"([{"text":"un \"deux\"\ntrois)" "\u2028" R"(é","type":"error"},)"
                                           R"({"ids":["a","b","c"],"type":"removed"},{"on":true,"type":"recording"}])");

    // No policy violation so far, and the listener does see one.
    EXPECT_EQ(js("JSON.stringify(__violations)"), "[]");
    js("new Image().src = 'http://127.0.0.1:9/x.png'");
    EXPECT_TRUE(wait_js("__violations.length === 1")) << js("JSON.stringify(__violations)");
}

// WebKitGTK fires no blur for a focused field taken out of the page: a library render under an inline rename
// must carry the field over, with what was typed, and save it only on Enter or on leaving the field.
TEST_F(WebKitPage, InlineRenameOutlivesARender)
{
    // The window takes the focus first, as under a player's hands: its arrival moves no field.
    pointer("$('bar')", "1");
    ASSERT_TRUE(wait_js("document.hasFocus()"));
    run_js("await new Promise(r => setTimeout(r, 300))");
    auto card = fmt::format("[...document.querySelectorAll('#lib .grid figure')].find(f => f.dataset.id === {})",
                            nlohmann::json(plain_id).dump());
    js("renameInline(" + card + ")");
    ASSERT_TRUE(wait_js("document.activeElement.classList.contains('inline')"));
    js("Object.assign(document.activeElement, { value: 'Nouveau titre' }).setSelectionRange(3, 3)");
    auto clip = library::read_clip_meta(clips, odd_id, clips / (std::string(odd_id) + ".mp4"));
    shell::handle_event(state, UserEvent { UserEvent::Page { engine::PageEvent { engine::PageEvent::ClipSaved { clip } } } });
    ASSERT_TRUE(wait_js("S.newId !== null"));
    EXPECT_EQ(js("(f => f && JSON.stringify([f.closest('figure').dataset.id, f.value, f.selectionStart]))"
                 "(document.querySelector('#lib input.inline'))"),
              nlohmann::json({ plain_id, "Nouveau titre", 3 }).dump());
    EXPECT_EQ(js("document.activeElement.className"), "inline");
    js("document.activeElement.dispatchEvent(new KeyboardEvent('keydown', { key: 'Enter', bubbles: true }))");
    ASSERT_TRUE(wait_js("!document.querySelector('#lib input.inline')"));
    EXPECT_TRUE(spin_until([&] {
        return library::read_clip_meta(clips, plain_id, clips / (std::string(plain_id) + ".mp4")).title == "Nouveau titre";
    }));

    // Opened on the hero's own title, the field stays on the hero when its clip comes again.
    auto const hero = js("document.querySelector('#lib .hero').dataset.id");
    js("renameInline(document.querySelector('#lib .hero'))");
    ASSERT_TRUE(wait_js("document.activeElement.classList.contains('inline')"));
    js("Object.assign(document.activeElement, { value: 'Titre du héros' }).setSelectionRange(5, 5)");
    auto again = library::read_clip_meta(clips, hero, clips / (hero + ".mp4"));
    js("S.newId = null");
    shell::handle_event(state, UserEvent { UserEvent::Page { engine::PageEvent { engine::PageEvent::ClipSaved { again } } } });
    ASSERT_TRUE(wait_js("S.newId !== null"));
    EXPECT_EQ(js("(f => f && JSON.stringify([f.closest('figure').dataset.id, !!f.closest('.hero'), f.value, f.selectionStart]))"
                 "(document.activeElement.classList.contains('inline') ? document.activeElement : null)"),
              nlohmann::json({ hero, true, "Titre du héros", 5 }).dump());
    js("document.activeElement.dispatchEvent(new KeyboardEvent('keydown', { key: 'Enter', bubbles: true }))");
    ASSERT_TRUE(wait_js("!document.querySelector('#lib input.inline')"));
    EXPECT_TRUE(spin_until([&] { return library::read_clip_meta(clips, hero, clips / (hero + ".mp4")).title == "Titre du héros"; }));
}

// A window opened during a recording lists only finished clips: the growing file (no index, no record yet) is
// neither a broken clip of no game nor the latest clip. Its end brings it, as to a window that was open.
TEST_F(WebKitPage, OpenedDuringARecordingListsItOnlyOnceFinished)
{
    std::string const id = "Enregistrement en cours";
    auto const file = clips / (id + ".mp4");
    std::ofstream(file) << std::string("\0\0\0\x18" "ftypisom", 12) << std::string(64 * 1024, '\x55');
    state.engine->recording.set(engine::RecordingSlot { ticks::now(), id });
    js("window.__before = true, location.reload()");
    ASSERT_TRUE(wait_js("!window.__before && listed && !!document.querySelector('#lib figure.hero')"));
    EXPECT_EQ(js("JSON.stringify(S.clips.map(c => c.id).sort())"), nlohmann::json({ odd_id, plain_id }).dump());
    EXPECT_EQ(js("[...document.querySelectorAll('#lib figure[data-id]')].filter(f => f.dataset.id === "
                 + nlohmann::json(id).dump() + ").length"),
              "0");
    EXPECT_NE(js("document.querySelector('#lib figure.hero').dataset.id"), id);
    EXPECT_TRUE(settled());
    snapshot("webkit-recording-in-progress");

    // Finished: the whole file and its record, then the event.
    fs::copy_file(media_dir / "clip.mp4", file, fs::copy_options::overwrite_existing);
    fs::copy_file(media_dir / "thumb.jpg", library::thumb_path(clips, id));
    library::Clip clip { id, "Enregistrement 11:40", "Bureau", static_cast<std::uint64_t>(std::time(nullptr)), 10.0,
                         fs::file_size(file), false, true, 320, 180 };
    ASSERT_TRUE(library::save_clip_metadata(clips, clip));
    state.engine->recording.set(std::nullopt);
    shell::handle_event(state, UserEvent { UserEvent::Page { engine::PageEvent { engine::PageEvent::RecordingFinished { clip } } } });
    ASSERT_TRUE(wait_js("document.querySelector('#lib figure.hero')?.dataset.id === " + nlohmann::json(id).dump()));
    EXPECT_EQ(js("S.clips.filter(c => c.id === " + nlohmann::json(id).dump() + " && c.recording).length"), "1");
    EXPECT_TRUE(settled());
    snapshot("webkit-recording-finished");
}

// With the loop on, a seek to the end of a paused clip stays there and an out mark takes the clip's end;
// playback that runs out starts again.
//
// The clip has no sound: on a busy machine, WebKitGTK's GStreamer pipeline with a sound track on the test
// desktop's null sink now and then stays put after a seek, reported as playing (about one seek and play in 16,
// none in 125 without the track), whoever seeks: the player's restart, the test itself or the video's own
// loop. Only a reload moves it again. What is checked here is the player's, not the sound's.
TEST_F(WebKitPage, LoopKeepsASeekAtTheEnd)
{
    fs::remove(clips / (std::string(plain_id) + ".mp4"));
    fs::create_hard_link(media_dir / "silent.mp4", clips / (std::string(plain_id) + ".mp4"));
    run_js("localStorage.removeItem('quillmar.player'); P.loop = true");
    auto thumb = fmt::format("[...document.querySelectorAll('#lib .grid figure')].find(f => f.dataset.id === {})"
                             ".querySelector('.thumb')",
                             nlohmann::json(plain_id).dump());
    pointer(thumb, "1");
    auto video = std::string("$('player').querySelector('video')");
    ASSERT_TRUE(wait_js(video + " && " + video + ".readyState >= 1 && isFinite(" + video + ".duration)"));
    // What the video went through, shown on a failure.
    run_js("window.__ev = []; const v = " + video + "; for (const t of ['pause', 'ended', 'play', 'seeked'])"
           " v.addEventListener(t, () => __ev.push(`${t} ${v.ended} ${v.paused} ${v.seeking} ${v.currentTime.toFixed(2)}`))");
    run_js(video + ".pause()");
    ASSERT_TRUE(wait_js("__ev.some(e => e.startsWith('pause'))"));
    js("markTrim(false)");
    // The seek reaches the end before it is reported: a loop would be on its way back to 0:00 by then.
    run_js("window.__ev = []; " + video + ".currentTime = " + video + ".duration");
    ASSERT_TRUE(wait_js("__ev.some(e => e.startsWith('seeked'))"));
    EXPECT_EQ(js("__ev.find(e => e.startsWith('seeked'))"), "seeked true true false 10.00") << js("JSON.stringify(__ev)");
    EXPECT_EQ(js("(v => v.currentTime === v.duration && !v.seeking)(" + video + ")"), "true") << js(video + ".currentTime");
    js("markTrim(true)");
    EXPECT_EQ(js("P.trim.b === " + video + ".duration && $('player').querySelector('.vp-cut-t').textContent"),
              "0:00 → 0:10 · 0:10");
    // Played from 0.3 s before the end, the clip runs out and starts again at 0:00; the time is read anywhere
    // before that point, however late the test looks. Play comes at once, as from a user: parked at its end by
    // the seek, the engine moves on only once asked to play.
    run_js("setTrim(false); window.__ev = []; const v = " + video + "; v.currentTime = v.duration - 0.3; v.play()");
    EXPECT_TRUE(wait_js("(v => __ev.some(e => e.startsWith('ended')) && !v.paused && v.currentTime > 0"
                        " && v.currentTime < v.duration - 0.5)(" + video + ")"))
        << js("JSON.stringify(__ev)");
    // Loop off: in trim mode, playback that runs out at the clip's end starts over from the in mark. No frame
    // is painted meanwhile, as in a hidden window: the frame loop, which may catch the end first, never runs,
    // so the end event alone has to do it.
    run_js("playerAction('loop'); const v = " + video + "; v.pause(); v.currentTime = 2; window.__ev = []");
    ASSERT_TRUE(wait_js("(v => !v.seeking && v.currentTime === 2)(" + video + ")"));
    js("markTrim(false)");
    run_js("window.requestAnimationFrame = () => 0; cancelAnimationFrame(P.raf); P.raf = 0; const v = " + video + ";"
           " v.currentTime = v.duration - 0.3; v.play()");
    EXPECT_TRUE(wait_js("(v => __ev.some(e => e.startsWith('ended')) && P.trim && P.trim.a === 2 && !v.paused"
                        " && v.currentTime > 2 && v.currentTime < v.duration - 0.5)(" + video + ")"))
        << js("JSON.stringify([P.loop, P.trim, __ev])");
    EXPECT_EQ(js("P.loop"), "false");
}

// The clip being recorded, as the page shows it while a recording runs: the library (a screenshot of it), and
// the player, where every way to cut notes the API's refusal (a screenshot of the note).
TEST_F(WebKitPage, RecordingInProgress)
{
    // A recording as it grows: its first samples and no index yet (an MP4 with its index last, cut halfway).
    auto const growing = clips / "rec.mp4";
    fs::copy_file(media_dir / "growing.mp4", growing);
    fs::resize_file(growing, fs::file_size(growing) / 2);
    state.engine->recording.set(engine::RecordingSlot { ticks::now() - 42 * ticks::ticks_per_second, "rec" });
    js("window.__before = true");
    webkit_web_view_reload(view);
    ASSERT_TRUE(wait_js("typeof __before === 'undefined' && typeof listed !== 'undefined' && listed && S.status && "
                        "S.status.recording && !!document.querySelector('#lib figure[data-id]')"));
    run_js("await document.fonts.ready; await new Promise(r => setTimeout(r, 600))");
    resize(window::min_width, 800);
    snapshot("webkit-recording-library");
    // A page that holds a card of it all the same (listed before the file was known as the recording's).
    run_js("if (!clipById('rec')) { S.clips.unshift({ id: 'rec', title: 'Enregistrement', game: 'Autres', "
           "created: Math.floor(Date.now() / 1000), secs: 0, bytes: 0, favorite: false, recording: true, width: 0, "
           "height: 0 }); renderAll(); }");
    js("openPlayer('rec')");
    // Missing from the listing while it is recorded, it is not taken for a clip gone: its player stays.
    ASSERT_TRUE(wait_js("$('player').querySelector('video')?.error && !$('note').hidden && "
                        "$('note').textContent === 'Ce clip ne se lit pas ici. Ouvre-le dans ton lecteur.'"));
    std::vector<std::pair<char const*, std::string>> const ways {
        { "the scissors", "$('player').querySelector('.vp-cutb').click()" },
        { "x", "$('player').dispatchEvent(new KeyboardEvent('keydown', { key: 'x', bubbles: true }))" },
        { "i", "$('player').dispatchEvent(new KeyboardEvent('keydown', { key: 'i', bubbles: true }))" },
        { "o", "$('player').dispatchEvent(new KeyboardEvent('keydown', { key: 'o', bubbles: true }))" },
    };
    for (auto const& [how, act] : ways) {
        js("hideNote()");
        run_js(act);
        EXPECT_TRUE(wait_js("!$('note').hidden && $('note').textContent === \"Ce clip est en cours d'enregistrement.\"", 20s))
            << how << ": " << js("$('note').hidden + ' ' + $('note').textContent");
    }
    // The note pops in: its animation starts with the view's next frame, which may come late here.
    EXPECT_TRUE(settled());
    snapshot("webkit-recording-trim");
    EXPECT_EQ(js("JSON.stringify([P.trim, S.lens])"), R"([null,"rec"])");
    state.engine->recording.set(std::nullopt);
}

// A clip deleted from the folder while the window shows it: the view's failure to read the file reaches the
// page, which finds the clip gone from the listing, says so, closes the player and takes the card away.
TEST_F(WebKitPage, DeletedClipLeavesThePlayer)
{
    fs::remove(clips / (std::string(plain_id) + ".mp4"));
    auto const id = nlohmann::json(plain_id).dump();
    js("[...document.querySelectorAll('#lib .grid figure')].find(f => f.dataset.id === " + id + ").querySelector('.thumb').click()");
    EXPECT_TRUE(wait_js("!$('note').hidden && $('note').textContent === \"Ce clip n'existe plus.\"", 30s))
        << js("$('note').textContent + ' ' + JSON.stringify([S.lens, $('player').querySelector('video')?.error?.code])");
    EXPECT_TRUE(wait_js("S.lens === null && $('player').hidden && !figuresOf(" + id + ").length"));
    EXPECT_EQ(js("JSON.stringify(S.clips.map(c => c.id))"), nlohmann::json({ odd_id }).dump());
}

// The window swept from its narrowest to 1920 px wide over the library, the settings and the player: no label
// under its control, no text cut without an ellipsis and no figure a line could part from its unit, as the
// page's own check finds them; a snapshot of each stays in page-shots/ (webkit-library-960x800.png shows the
// hero's detail line at the narrowest width).
TEST_F(WebKitPage, LayoutHoldsAtEveryWindowWidth)
{
    std::ifstream file(LAYOUT_CHECK);
    std::string const check((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(check.empty());
    run_js(check);
    std::vector<std::string> faults;
    auto sweep = [&](std::string const& name) {
        std::vector<std::pair<int, int>> const sizes { { window::min_width, 800 }, { 1000, 800 }, { 1024, 640 },
                                                       { 1080, 800 }, { 1100, 800 }, { 1180, 800 }, { 1280, 800 },
                                                       { 1440, 900 }, { 1920, 1000 } };
        for (auto [w, h] : sizes) {
            // The size the window manager settled on.
            auto size = resize(w, h);
            snapshot(fmt::format("webkit-{}-{}", name, size));
            for (auto const& fault : nlohmann::json::parse(js("JSON.stringify(layoutFaults())")))
                faults.push_back(fmt::format("{} {}: {}", name, size, fault.get<std::string>()));
            if (auto parted = js("heroUnitParts().join(' ')"); !parted.empty())
                faults.push_back(fmt::format("{} {}: the hero's size leaves its unit with game names of {} characters",
                                             name, size, parted));
        }
    };
    sweep("library");
    // The hero's detail line on two lines at the narrowest width, as a long game name makes it.
    resize(window::min_width, 800);
    js("document.querySelector('#lib .hero .game').textContent = 'Counter-Strike 2 : Global Offensive, partie classée'");
    pointer("$('bar')");
    run_js("stopPreview(); await new Promise(r => setTimeout(r, 600))");
    snapshot("webkit-hero-detail-960");
    EXPECT_EQ(js("heroUnitParts().join(' ')"), "");
    js("renderLib()");
    js("attempt(goSettings)()");
    ASSERT_TRUE(wait_js("!!document.querySelector('#settings .grp')"));
    sweep("settings");
    js("goLibrary('all')");
    auto thumb = fmt::format("[...document.querySelectorAll('#lib .grid figure')].find(f => f.dataset.id === {})"
                             ".querySelector('.thumb')",
                             nlohmann::json(plain_id).dump());
    js(thumb + ".click()");
    ASSERT_TRUE(wait_js("$('player').querySelector('video')?.readyState >= 1"));
    js("$('player').querySelector('video').pause()");
    sweep("player");
    EXPECT_TRUE(faults.empty()) << fmt::format("{}", fmt::join(faults, "\n"));
}

// A key capture ends when another window takes the keyboard, and a page load never leaves the keys paused: the
// program turns them back on itself, with the page's own suspend calls going nowhere.
TEST_F(WebKitPage, KeyCaptureEndsWhenTheWindowLosesTheKeyboardOrThePageLoads)
{
    auto keys = std::make_shared<fakes::FakeHotkeys::State>();
    auto shortcuts = std::make_shared<shell::HotkeyShortcuts>(*hotkeys::spawn(
        [](engine::HotkeyKind, std::uint32_t) { }, [keys] { return std::make_unique<fakes::FakeHotkeys>(keys); }));
    shortcuts->apply(state.engine->settings_copy());
    state.engine->hotkeys.set(shortcuts);
    auto live = [&] {
        fakes::FakeHotkeys::settle(*keys);
        std::lock_guard lock(keys->mutex);
        return keys->grabbed.size() == 5;
    };
    auto activate = [](std::string const& xid) {
        EXPECT_EQ(media::run({ "xdotool", "windowactivate", "--sync", xid }).status, 0);
    };
    auto const muted = "const real = fetch; window.fetch = (url, init) => window.__mute !== false && "
                       "url.endsWith('/api/suspend') ? Promise.resolve(new Response('{}')) : real(url, init);";
    run_js(std::string("window.__mute = false; ") + muted);
    auto row = [](char const* target) {
        return fmt::format("document.querySelector('#settings .krow[data-t=\"{}\"]')", target);
    };
    // On another row each time: xdotool waits for a move that never comes when the pointer is already there.
    auto listen = [&](char const* target) {
        pointer(row(target) + ".querySelector('.kcap')", "1");
        ASSERT_TRUE(wait_js(fmt::format("S.listening === '{}' && !!{}.querySelector('.wait')", target, row(target))));
        ASSERT_TRUE(spin_until([&] { return !live(); }));
    };
    ASSERT_TRUE(spin_until(live));
    js("attempt(goSettings)()");
    ASSERT_TRUE(wait_js("!!" + row("rec")));
    listen("slot:0");

    // Another window activated through the window manager, as a game brought to the front.
    GPid other = 0;
    char const* argv[] = { "xmessage", "-title", "quillmar-autre", "Partie", nullptr };
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                              GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr, &other,
                              nullptr));
    std::string id;
    // Viewable once the window manager has taken it in.
    ASSERT_TRUE(spin_until([&] {
        return !(id = media::run({ "xdotool", "search", "--onlyvisible", "--name", "^quillmar-autre$" }).output).empty();
    }));
    js("window.__mute = true");
    activate(id.substr(0, id.find('\n')));
    EXPECT_TRUE(spin_until(live)) << "the keys are back on";
    EXPECT_TRUE(wait_js("S.listening === null && !" + row("slot:0") + ".querySelector('.wait')")) << js("S.listening");
    // A pause asked while another window has the keyboard is not taken.
    js("window.__mute = false");
    run_js("await api('suspend', { v: true })");
    EXPECT_TRUE(live());

    // Back in the window, a capture, then a reload under it: the new page never resumes the keys itself.
    ::kill(other, SIGTERM);
    ::waitpid(other, nullptr, 0);
    activate(std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(toplevel()))));
    listen("rec");
    WebKitUserScript* script = webkit_user_script_new(muted, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(webkit_web_view_get_user_content_manager(view), script);
    webkit_user_script_unref(script);
    js("window.__before = true, location.reload()");
    ASSERT_TRUE(wait_js("!window.__before && typeof listed !== 'undefined' && listed"));
    EXPECT_TRUE(spin_until(live)) << "the keys are back on after the load";
    state.engine->hotkeys.set(nullptr);
    hotkeys::drop_thread_handle(shortcuts->thread());
}

// A title typed in the player outlives the window closed to the notification area, whether Enter left the
// field just before or the text was still being typed: the card of the window shown again carries it, and so
// does the clip's record. A page that never answers the shell's question holds the close up only until the
// bound, and renames nothing.
TEST_F(WebKitPage, TitleTypedInThePlayerOutlivesTheClosedWindow)
{
    auto const id = nlohmann::json(plain_id).dump();
    auto const field = std::string("$('player').querySelector('.vp-title')");
    auto const mp4 = clips / (std::string(plain_id) + ".mp4");
    auto title = [&] { return library::read_clip_meta(clips, plain_id, mp4).title; };
    // Once the closed window is gone (how long that took is shown), a new one, its page ready.
    auto reopen = [&](std::chrono::steady_clock::time_point closed) {
        ASSERT_TRUE(spin_until([&] { return state.leaving.empty(); }, 20s));
        auto const took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closed);
        std::printf("gone %lld ms after the close\n", static_cast<long long>(took.count()));
        EXPECT_FALSE(toplevel());
        window::show_window(state);
        ASSERT_TRUE(toplevel());
        view = WEBKIT_WEB_VIEW(gtk_bin_get_child(GTK_BIN(toplevel())));
        ASSERT_TRUE(spin_until([&] { return gtk_widget_get_visible(toplevel()); }));
        ASSERT_TRUE(wait_js("!!document.querySelector('#lib figure[data-id]')"));
    };
    // Typed by the keyboard (xdotool's keymap has no accented letters) into the window that has it.
    auto type_title = [&](std::string const& text) {
        pointer("$('bar')", "1");
        ASSERT_TRUE(wait_js("document.hasFocus()"));
        js("[...document.querySelectorAll('#lib .grid figure')].find(f => f.dataset.id === " + id
           + ").querySelector('.thumb').click()");
        ASSERT_TRUE(wait_js(field + " && $('player').querySelector('video')?.readyState >= 1"));
        js("$('player').querySelector('video').pause()");
        ASSERT_TRUE(settled());
        pointer(field, "1");
        ASSERT_TRUE(wait_js("document.hasFocus() && document.activeElement === " + field));
        ASSERT_EQ(media::run({ "xdotool", "key", "--clearmodifiers", "ctrl+a" }).status, 0);
        ASSERT_EQ(media::run({ "xdotool", "type", "--delay", "20", text }).status, 0);
        ASSERT_TRUE(wait_js(field + ".value === " + nlohmann::json(text).dump())) << js(field + ".value");
    };

    struct Row {
        char const* name;
        std::string typed;
        bool enter;
    };
    Row const rows[] = { { "Enter, then closed", "Garde par Entree", true },
                         { "closed while typing", "Garde sans Entree", false } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        type_title(row.typed);
        if (row.enter) {
            ASSERT_EQ(media::run({ "xdotool", "key", "Return" }).status, 0);
            ASSERT_TRUE(wait_js("document.activeElement !== " + field));
        }
        auto const closed = std::chrono::steady_clock::now();
        shell::close_requested(state);
        EXPECT_FALSE(gtk_widget_get_visible(toplevel())) << "the window leaves the screen at once";
        reopen(closed);
        // The hero and the card alike.
        EXPECT_EQ(js("JSON.stringify([...new Set(figuresOf(" + id
                     + ").filter(f => f.closest('#lib')).map(f => f.querySelector('.title').textContent))])"),
                  nlohmann::json({ row.typed }).dump());
        EXPECT_EQ(title(), row.typed);
    }

    // A page whose answer never comes: its promise is held, as WebKit ends a call whose promise is collected.
    type_title("Jamais envoye");
    run_js("window.__never = new Promise(() => {}); window.keepTitleBeforeLeaving = () => __never");
    auto const closed = std::chrono::steady_clock::now();
    shell::close_requested(state);
    reopen(closed);
    EXPECT_EQ(title(), rows[1].typed);
}
