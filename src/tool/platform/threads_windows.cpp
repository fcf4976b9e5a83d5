// Threads on Windows: the processors the process may run on.
#include <windows.h>

#include <algorithm>

#include "threads.h"

namespace vorik {

unsigned usable_processors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return 1;
    }
    unsigned processors = 0;
    for (; process != 0; process &= process - 1) {
        ++processors;
    }
    return std::max(1U, processors);
}

}  // namespace vorik
