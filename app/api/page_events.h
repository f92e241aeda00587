#pragma once
// Events pushed into the page: the JSON object of each engine event, and the script call that hands it to
// the page's hook. Main thread only.

#include <optional>

#include <nlohmann/json.hpp>

#include "engine/engine.h"

namespace shell {
struct ShellState;
}

namespace api {

// The page's object for an event; nothing for SettingsChanged, which the page never receives.
std::optional<nlohmann::json> page_event_value(engine::PageEvent const& event);

// "window.__quillmar&&window.__quillmar({...})": a no-op while the page has not installed its hook.
std::string page_event_script(nlohmann::json const& value);

}

namespace window {

// Runs the event's script in the view; without a view the event is lost (the page reloads its lists when
// it opens).
void post_page_event(shell::ShellState& state, nlohmann::json const& event);

}
