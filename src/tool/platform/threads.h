// What the tool asks of its system about threads: one implementation per system.
#pragma once

namespace vorik {

// How many processors the process may run on (fewer under a `taskset`):
// threads beyond them only wait.
unsigned usable_processors();

}  // namespace vorik
