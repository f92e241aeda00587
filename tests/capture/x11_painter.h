#pragma once
// A test X client: one override-redirect window over the whole screen, painted with known colour blocks and
// a moving square, redrawn about 60 times a second on its own thread and connection.

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace capture_test {

struct Colour {
    std::uint8_t r, g, b;
};

// The blocks: top-left quarter, top-right quarter; the bottom half is dark grey with a white square moving.
constexpr Colour block_a { 200, 40, 90 };
constexpr Colour block_b { 30, 160, 220 };
constexpr Colour background { 60, 60, 60 };

class Painter {
public:
    // false when no display could be opened.
    bool start();
    void stop();
    ~Painter() { stop(); }

private:
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_ready { false };
    bool m_started { false };
};

}
