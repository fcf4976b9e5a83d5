// Threads on a POSIX system: the processors the process may run on.
#ifdef __linux__
#include <sched.h>
#endif
#include <unistd.h>

#include <algorithm>

#include "threads.h"

namespace vorik {

#ifdef __linux__
// Linux tells which processors a `taskset` leaves the process.
unsigned usable_processors() {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) {
        return 1;
    }
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&processors)));
}
#else
// Elsewhere, the processors that are online.
unsigned usable_processors() {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<unsigned>(online) : 1U;
}
#endif

}  // namespace vorik
