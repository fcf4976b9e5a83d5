// A read stream that fails part way, for the tests of how a read error is
// told apart from the end of a file. fopencookie is the GNU C library's.
#pragma once

#ifdef __GLIBC__
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace vorik_test {

// Gives `bytes` until `good_bytes` have been given, then fails every read.
struct FailingSource {
    std::string bytes;
    std::size_t good_bytes;
    std::size_t given = 0;
};

inline ssize_t read_until_failure(void* cookie, char* buffer, std::size_t size) {
    auto* source = static_cast<FailingSource*>(cookie);
    const std::size_t left = std::min(source->good_bytes, source->bytes.size()) - source->given;
    if (left == 0) {
        return -1;
    }
    const std::size_t given = std::min(size, left);
    std::memcpy(buffer, source->bytes.data() + source->given, given);
    source->given += given;
    return static_cast<ssize_t>(given);
}

// Unbuffered, the failure lands exactly where the good bytes stop; buffered,
// it lands within the read that fills the buffer.
inline std::FILE* failing_stream(FailingSource& source, bool buffered) {
    const cookie_io_functions_t functions{read_until_failure, nullptr, nullptr, nullptr};
    std::FILE* file = fopencookie(&source, "rb", functions);
    if (!buffered) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

}  // namespace vorik_test
#endif
