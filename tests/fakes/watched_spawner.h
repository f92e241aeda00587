#pragma once
// A thread starter for tests: starts threads as the program does, notes when each body has returned, and
// refuses to start the one named `refused` with the error a system out of threads gives.

#include <map>
#include <memory>
#include <string>

#include "base/threads.h"

namespace fakes {

inline constexpr char const* refused_start_text = "Resource temporarily unavailable (os error 11)";

struct WatchedSpawner {
    std::string refused;
    // Thread name -> its body has returned.
    std::shared_ptr<threads::Locked<std::map<std::string, bool>>> ended
        = std::make_shared<threads::Locked<std::map<std::string, bool>>>();

    threads::Spawner spawner() const
    {
        return [refused = refused, ended = ended](std::string name, std::function<void()> body,
                                                  std::source_location where) -> Result<std::thread> {
            if (name == refused)
                return fail(refused_start_text);
            ended->with([&](auto& map) { map[name] = false; });
            return threads::spawn_thread(
                name,
                [name, body = std::move(body), ended] {
                    body();
                    ended->with([&](auto& map) { map[name] = true; });
                },
                where);
        };
    }
    std::map<std::string, bool> seen() const { return ended->copy(); }
};

}
