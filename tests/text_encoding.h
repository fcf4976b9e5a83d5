// Converts text between encodings with the C library's iconv, for checks of
// the tool's Shift_JIS output that do not rest on the tool's own tables.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vorik_test {

inline std::string convert_encoding(const std::string& text, const char* from, const char* to) {
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1))) {
        throw std::runtime_error(std::string("no converter from ") + from + " to " + to);
    }
    constexpr std::size_t MOST_BYTES_PER_INPUT_BYTE = 4;
    std::string in = text;
    std::string out(MOST_BYTES_PER_INPUT_BYTE * in.size(), '\0');
    char* in_ptr = in.data();
    char* out_ptr = out.data();
    std::size_t in_left = in.size();
    std::size_t out_left = out.size();
    const std::size_t result = iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left);
    iconv_close(converter);
    if (result == static_cast<std::size_t>(-1) || in_left != 0) {
        throw std::runtime_error(std::string("text is not valid ") + from);
    }
    out.resize(out.size() - out_left);
    return out;
}

inline std::string to_cp932(const std::string& utf8) { return convert_encoding(utf8, "UTF-8", "CP932"); }

}  // namespace vorik_test
