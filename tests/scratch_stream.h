// A temporary read-write stream for tests that write bytes and read them back.
#pragma once

#include <cstdio>

namespace vorik_test {

// An empty binary stream open for update in the system's temporary
// directory, removed when closed. Throws std::runtime_error when none can
// be made.
std::FILE* scratch_stream();

}  // namespace vorik_test
