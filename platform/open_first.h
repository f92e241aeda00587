#pragma once
// Trying the drivers of one seam in their order.

#include <span>
#include <string>
#include <utility>

#include "base/result.h"

namespace platform {

// Opens the first driver that opens. When none does, the error is the last driver's, or `none` when the list
// is empty.
template <class Driver>
auto open_first(std::span<Driver const> drivers, std::string none) -> decltype(drivers[0].open())
{
    for (auto const& driver : drivers) {
        auto opened = driver.open();
        if (opened)
            return opened;
        none = std::move(opened).error();
    }
    return fail(std::move(none));
}

}
