// Patterns on the two control lines of a port (A = TCK, B = RST/NMI): a list
// of levels, each held for a while, played in virtual time.
#pragma once

#include "sim/clock.h"

#include <initializer_list>

namespace line_pattern {

struct Step {
    bool a;
    bool b;
    sim::Nanos hold_us; // 0: the next step follows at once
};

// Sets each step's levels through set(a, b) and lets its time pass.
template <class SetLines> void play(std::initializer_list<Step> steps, SetLines set) {
    for (const Step &s : steps) {
        set(s.a, s.b);
        if (s.hold_us > 0)
            sim::advance(s.hold_us * sim::NS_PER_US);
    }
}

} // namespace line_pattern
