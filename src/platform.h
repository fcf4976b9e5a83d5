// The little the tool needs from its platform beyond standard C++ streams.
#pragma once

#include <cstdio>

bool stream_is_terminal(std::FILE* stream);

// Whether text written to `stream` should be UTF-8 rather than Shift_JIS:
// only when the stream is a terminal that expects UTF-8.
bool terminal_expects_utf8(std::FILE* stream);

// fopen() of a directory succeeds on some systems and fails only on reading.
bool opened_path_is_directory(std::FILE* file);
