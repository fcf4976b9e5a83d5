// Writing a file whole or not at all: the text goes into a new file of a
// temporary name beside it, which then takes the file's name in one step. A
// reader never sees a part of it, and a failure leaves no file behind.
#pragma once

#include <string>

namespace vorik::check {

// Whether a file can be written at `path`, found before a long measurement
// rather than after it: a new file beside it is made and removed at once.
// Returns an empty string, or why not.
std::string check_can_write(const std::string& path);

// Writes `text` to `path`, in place of any file of that name. On a failure
// no new file is left and the old one stays as it was. Returns an empty
// string, or why it failed.
std::string write_whole_file(const std::string& path, const std::string& text);

}  // namespace vorik::check
