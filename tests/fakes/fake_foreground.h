#pragma once
// A foreground probe that replays a script: each sample() returns the next scripted window (nothing when the
// script has run out). For tests of the games thread and of the detection rules without a display.

#include <deque>
#include <optional>
#include <utility>

#include "platform/foreground.h"

namespace fakes {

class ScriptedForegroundProbe final : public platform::ForegroundProbe {
public:
    explicit ScriptedForegroundProbe(std::deque<std::optional<platform::WindowInfo>> script)
        : m_script(std::move(script))
    {
    }

    std::optional<platform::WindowInfo> sample() override
    {
        if (m_script.empty())
            return std::nullopt;
        auto next = std::move(m_script.front());
        m_script.pop_front();
        return next;
    }

private:
    std::deque<std::optional<platform::WindowInfo>> m_script;
};

}
