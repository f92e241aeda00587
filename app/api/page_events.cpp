#include "app/api/page_events.h"

#include "app/api/page_server.h"
#include "app/main.h"
#include "library/library.h"

namespace api {

std::optional<nlohmann::json> page_event_value(engine::PageEvent const& event)
{
    using Event = engine::PageEvent;
    return std::visit(
        [](auto const& value) -> std::optional<nlohmann::json> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Event::ClipSaved>)
                return nlohmann::json { { "type", "clip" }, { "clip", library::clip_to_value(value.clip) } };
            else if constexpr (std::is_same_v<T, Event::Removed>)
                return nlohmann::json { { "type", "removed" }, { "ids", value.ids } };
            else if constexpr (std::is_same_v<T, Event::RecordingStarted>)
                return nlohmann::json { { "type", "recording" }, { "on", true } };
            else if constexpr (std::is_same_v<T, Event::RecordingFinished>)
                return nlohmann::json {
                    { "type", "recording" }, { "on", false }, { "clip", library::clip_to_value(value.clip) }
                };
            else if constexpr (std::is_same_v<T, Event::Error>)
                return nlohmann::json { { "type", "error" }, { "text", value.text } };
            else
                return std::nullopt;
        },
        event.value);
}

std::string page_event_script(nlohmann::json const& value)
{
    return fmt::format("window.__quillmar&&window.__quillmar({})", json_text(value));
}

}

namespace window {

void post_page_event(shell::ShellState& state, nlohmann::json const& event)
{
    if (state.view)
        state.view->run_script(api::page_event_script(event));
}

}
