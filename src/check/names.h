// vorik-check's name, as its banner, help and messages give it.
#pragma once

namespace vorik::check {

constexpr char CHECK_PROGRAM_NAME[] = "vorik-check";

}  // namespace vorik::check
