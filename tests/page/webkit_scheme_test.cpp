// A bare WebKitGTK view with the scheme adapter, on the test desktop, served by the real page workers.
#include "platform/page_scheme.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <gtest/gtest.h>

#include "app/api/page_server.h"
#include "app/main.h"
#include "engine/engine.h"
#include "engine/thumbnail.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

// Turns the main loop until `done` holds; the deadline only bounds a failure.
bool spin_until(std::function<bool()> const& done)
{
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    return done();
}

class WebKitScheme : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!gtk_init_check(nullptr, nullptr))
            GTEST_SKIP() << "no display";
        clips = dir() / "clips";
        std::filesystem::create_directories(clips / ".quillmar");
        engine::EngineParts parts;
        parts.clips_folder = clips;
        parts.shared = std::make_shared<shared::Shared>();
        state.engine = std::make_shared<engine::Engine>(std::move(parts));
        state.app = std::make_shared<api::App>(api::App { state.engine });
        state.page_jobs = api::spawn_page_workers();

        // Each test gets its own context, so the scheme is registered once on it.
        context = webkit_web_context_new();
        auto registered = platform::register_page_scheme(context, api::scheme_handler({ nullptr, state.page_jobs, state.app }));
        ASSERT_TRUE(registered) << registered.error();
        view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 640, 400);
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        gtk_widget_show_all(window);
        g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer loaded) {
                             if (event == WEBKIT_LOAD_FINISHED)
                                 *static_cast<bool*>(loaded) = true;
                         }),
                         &loaded);
    }
    void TearDown() override
    {
        state.view.reset();
        if (window)
            gtk_widget_destroy(window);
        if (context)
            g_object_unref(context);
        TempDirTest::TearDown();
    }

    void open(char const* uri)
    {
        loaded = false;
        webkit_web_view_load_uri(view, uri);
        ASSERT_TRUE(spin_until([&] { return loaded; })) << uri;
    }

    // Runs an async function body in the page and returns its result as text.
    std::string run(char const* body)
    {
        struct Outcome {
            bool done { false };
            std::string text;
        } outcome;
        webkit_web_view_call_async_javascript_function(
            view, body, -1, nullptr, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto& out = *static_cast<Outcome*>(data);
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
                if (value) {
                    char* text = jsc_value_to_string(value);
                    out.text = text;
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

    std::filesystem::path clips;
    shell::ShellState state;
    WebKitWebContext* context { nullptr };
    WebKitWebView* view { nullptr };
    GtkWidget* window { nullptr };
    bool loaded { false };
};

}

TEST_F(WebKitScheme, ServesThumbnailsApiRepliesAndNotFound)
{
    std::vector<std::uint8_t> pixels(400 * 225 * 3, 0x80);
    ASSERT_TRUE(thumbnail::write_jpeg(pixels, clips / ".quillmar" / "partie.jpg"));
    open("quillmar://app/thumb/partie#vue");
    auto text = run(R"(
        const api = await fetch('/api/', { method: 'POST', body: '{"id": "x"}' });
        const clip = await fetch('/clip/a%00b');
        return JSON.stringify([document.images[0]?.naturalWidth, api.status, await api.text(),
                               clip.status, await clip.text()]);)");
    EXPECT_EQ(text, R"([400,200,"{\"error\":\"méthode inconnue\"}",404,"introuvable"])");
}

TEST_F(WebKitScheme, PostedEventsArriveInOrder)
{
    open("quillmar://app/thumb/absente");
    run("window.__got = []; window.__quillmar = (event) => window.__got.push(event); return '';");
    state.view = platform::webkit_page_view(view);
    using Event = engine::PageEvent;
    for (auto event : { Event { Event::Error { "un \"deux\"\ntrois" } }, Event { Event::SettingsChanged {} },
                        Event { Event::Removed { { "a", "b", "c" } } }, Event { Event::RecordingStarted {} } })
        shell::handle_event(state, shell::UserEvent { shell::UserEvent::Page { std::move(event) } });
    EXPECT_EQ(run("return JSON.stringify(window.__got);"),
              R"([{"text":"un \"deux\"\ntrois","type":"error"},{"ids":["a","b","c"],"type":"removed"},)"
              R"({"on":true,"type":"recording"}])");
}

TEST_F(WebKitScheme, ServedPagePlaysAFileClip)
{
    auto assets = api::static_assets();
    if (std::none_of(assets.begin(), assets.end(), [](auto const& a) { return a.path == "/index.html"; }))
        GTEST_SKIP() << "this build has no index.html to serve yet";
    if (!media::have_tool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg missing";
    auto clip = clips / "lecture.mp4";
    ASSERT_EQ(std::system(fmt::format("ffmpeg -v error -f lavfi -i testsrc2=size=320x180:rate=30 -t 3 -c:v libx264 "
                                      "-pix_fmt yuv420p '{}'", clip.string()).c_str()), 0);
    open("quillmar://app/");
    auto script = fmt::format(R"(
        const video = document.createElement('video');
        video.muted = true;
        document.body.append(video);
        const once = (name) => new Promise((resolve, reject) => {{
            video.addEventListener(name, resolve, {{ once: true }});
            video.addEventListener('error', () => reject(new Error('media ' + video.error?.code)), {{ once: true }});
        }});
        video.src = {};
        await once('loadedmetadata');
        const seeked = once('seeked');
        video.currentTime = 2;
        await seeked;
        return video.readyState >= 2 ? 'ok' : 'readyState ' + video.readyState;)",
                              nlohmann::json("file://" + clip.string()).dump());
    EXPECT_EQ(run(script.c_str()), "ok");
}

// The page in WebKitGTK itself: the built-in fonts load, the settings view opens on the engine's own caps,
// and the tokens follow the theme setting.
TEST_F(WebKitScheme, PageLooksAndOpensItsSettings)
{
    open("quillmar://app/");
    EXPECT_EQ(run(R"(
        for (let i = 0; i < 600 && !(S.settings && listed); i++) await new Promise(done => setTimeout(done, 50));
        await goSettings();
        // Fonts load lazily: ready can settle before the settings view's first layout asks for the mono face.
        await Promise.all(['Instrument Sans', 'Geist Mono'].map(f => document.fonts.load(`16px "${f}"`)));
        await document.fonts.ready;
        const fonts = [...document.fonts].filter(f => f.status === 'loaded').map(f => f.family.replace(/"/g, '')).sort();
        const colours = [];
        for (const theme of ['Dark', 'Light']) {
            S.settings.theme = theme;
            applyTheme();
            colours.push(getComputedStyle(document.body).backgroundColor);
        }
        return [fonts.join('+'), S.caps.monitorWidth > 0, $('settings').querySelectorAll('.grp').length,
            $('settings').querySelector('.seg[data-k=resolution] [aria-checked=true]').textContent, ...colours].join(' | ');)"),
              "Geist Mono+Instrument Sans | true | 5 | 1080p | rgb(17, 18, 20) | rgb(255, 255, 255)");
}
