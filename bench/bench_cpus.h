// CPU sets for benchmarks that measure the player on fewer cores than the machine has.
#pragma once

#include <sched.h>

namespace lumetta::bench {

struct TwoCpus {
    cpu_set_t allowed;  // what the process may run on now, to restore afterwards
    cpu_set_t two;      // the first two of them (fewer if it may run on fewer)
};

inline TwoCpus firstTwoAllowedCpus() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    cpu_set_t two;
    CPU_ZERO(&two);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &two);
            ++taken;
        }
    }
    return {allowed, two};
}

}  // namespace lumetta::bench
