#include "sim/clock.h"

#include <chrono>
#include <map>
#include <thread>
#include <utility>

namespace sim {
namespace {

struct Key {
    Nanos at;
    std::uint64_t id; // order of scheduling
    bool operator<(const Key &o) const { return at != o.at ? at < o.at : id < o.id; }
};

Nanos current = 0;
std::uint64_t next_id = 1;
std::map<Key, std::function<void()>> events;

double speed = 0.0;
bool anchored = false;
Nanos anchor_virtual = 0;
std::chrono::steady_clock::time_point anchor_wall;

void pace(Nanos target) {
    if (speed <= 0.0)
        return;
    auto wall = std::chrono::steady_clock::now();
    if (!anchored) {
        anchored = true;
        anchor_virtual = current;
        anchor_wall = wall;
    }
    auto due = anchor_wall +
               std::chrono::nanoseconds(static_cast<long long>((target - anchor_virtual) / speed));
    if (due > wall)
        std::this_thread::sleep_until(due);
}

} // namespace

Nanos now() {
    return current;
}

void advance(Nanos delta) {
    advance_to(current + delta);
}

void advance_to(Nanos when) {
    if (when < current)
        when = current;
    while (!events.empty()) {
        auto it = events.begin();
        if (it->first.at > when)
            break;
        Nanos at = it->first.at < current ? current : it->first.at;
        std::function<void()> fn = std::move(it->second);
        events.erase(it);
        pace(at);
        current = at;
        fn();
    }
    pace(when);
    current = when;
}

void EventScope::schedule(Nanos at, std::function<void()> fn) {
    std::weak_ptr<char> token = token_;
    events.emplace(Key{at, next_id++}, [token, fn = std::move(fn)] {
        if (!token.expired())
            fn();
    });
}

void reset_clock() {
    current = 0;
    events.clear();
    anchored = false;
}

void set_speed(double factor) {
    speed = factor;
    anchored = false;
}

} // namespace sim
