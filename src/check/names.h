// vorik-check's names: its own, as its banner, help and messages give it,
// and the file name that stands for a standard stream.
#pragma once

namespace vorik::check {

constexpr char CHECK_PROGRAM_NAME[] = "vorik-check";

// An input of this name is standard input; a picture, standard output.
constexpr char STANDARD_STREAM[] = "-";

}  // namespace vorik::check
