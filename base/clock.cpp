#include "base/clock.h"

#include <time.h>

namespace ticks {

Ticks now()
{
    timespec ts {};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 0;
    return static_cast<Ticks>(ts.tv_sec) * ticks_per_second + static_cast<Ticks>(ts.tv_nsec) / ns_per_tick;
}

}
