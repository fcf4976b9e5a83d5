// A temporary read-write stream for tests that write bytes and read them back.
#pragma once

#include <cstdio>
#include <string>

namespace vorik_test {

// An empty binary stream open for update in the system's temporary
// directory, removed when closed. Throws std::runtime_error when none can
// be made.
std::FILE* scratch_stream();

// Everything in `file` from its start, read as bytes.
std::string contents(std::FILE* file);

}  // namespace vorik_test
