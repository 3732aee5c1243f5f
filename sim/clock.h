// Virtual time of the simulated controller and board.  Nothing in the
// simulation sleeps: the updater's sleeps and register accesses move this clock
// forward, and every device model runs as events on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace sim {

using Nanos = std::uint64_t;
constexpr Nanos NS_PER_US = 1000;
constexpr Nanos NS_PER_MS = 1000 * NS_PER_US;
constexpr Nanos NS_PER_S = 1000 * NS_PER_MS;

Nanos now();

// Moves the clock to now + delta, running every event that falls due on the
// way, in time order (events at the same time in the order they were scheduled).
void advance(Nanos delta);
void advance_to(Nanos when);

// The events of one device model.  An event runs when the clock reaches its
// time (a time in the past runs at the next advance), unless its scope retired
// it before: retire() makes every event scheduled so far stale, as a reset
// forgets what was in flight, and a destroyed scope retires its events too, so
// no event reaches a model that is gone.  Events may schedule further events.
class EventScope {
  public:
    EventScope() = default;
    EventScope(const EventScope &) = delete;
    EventScope &operator=(const EventScope &) = delete;

    void schedule(Nanos at, std::function<void()> fn);
    void retire() { token_ = std::make_shared<char>(); }

  private:
    std::shared_ptr<char> token_ = std::make_shared<char>();
};

// Back to time 0 with no events (tests).
void reset_clock();

// 0: as fast as possible.  N > 0: virtual time runs N times faster than wall
// time (1 = real time), so that a person can watch a simulated update.
void set_speed(double factor);

} // namespace sim
