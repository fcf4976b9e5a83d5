// What the tool asks of its system about the console and about files,
// beyond standard C++ streams: one implementation per system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorik {

#ifdef _WIN32
// The arguments of wmain in UTF-8. Windows spells every file name in
// UTF-16; the code page that main's arguments come in cannot.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);

// What a program's wmain does: runs `run` on its arguments in UTF-8 and
// returns its exit status.
int run_with_utf8_arguments(int argc, wchar_t** argv, int (*run)(int argc, const char* const* argv));
#endif

// Opens `path` for binary reading; on Windows the path is UTF-8.
std::FILE* open_for_reading(const char* path);

// Makes the file `path` and opens it for binary writing, only where no file
// of that name exists yet; on Windows the path is UTF-8. Null where it
// cannot, with errno saying why.
std::FILE* create_new_file(const char* path);

// Gives the file `from` the name `to` in place of any file of that name, in
// one step: whoever opens `to` finds the old file or the new one whole. On
// Windows the paths are UTF-8.
bool replace_file(const char* from, const char* to);

// Removes the file `path`; on Windows the path is UTF-8.
bool remove_file(const char* path);

bool stream_is_terminal(std::FILE* stream);

// Whether `stream` is a terminal that shows Unicode text, written to it with
// write_to_terminal: a Windows console, whatever its code page, or a POSIX
// terminal whose locale expects UTF-8. Pipes, files and other terminals take
// the Shift_JIS bytes.
bool terminal_shows_unicode(std::FILE* stream);

// Writes the UTF-8 `text` to such a terminal: through the stream as it is on
// POSIX; on Windows as UTF-16 straight to the console, after what the stream
// holds. A write that fails is let pass, as one through the stream is.
void write_to_terminal(std::FILE* terminal, const char* text);

#ifdef _WIN32
// The UTF-8 `text` as the console is given it: UTF-16, each line feed as the
// CR LF that a text stream writes.
std::wstring console_text(const char* text);
#endif

// Makes `stream` read its bytes as they are: on Windows, standard input
// is opened in text mode, which would take CR LF and ^Z in samples for a
// line end and the end of the file.
void read_in_binary_mode(std::FILE* stream);

// Lets a pipe read through `stream` hold more, where the system allows it,
// so that the program writing into it goes on while this one measures. A
// stream that is no pipe is left as it is.
void let_pipe_hold_more(std::FILE* stream);

// fopen() of a directory succeeds on some systems and fails only on reading.
bool opened_path_is_directory(std::FILE* file);

// Whether `file` is a regular file, and then its size now, in `bytes`.
bool regular_file_size(std::FILE* file, std::uint64_t& bytes);

// A file's size and the time it was last written: what changes when the
// file is written, cut or grown.
struct FileVersion {
    std::uint64_t bytes;
    std::int64_t modified;  // in the system's own units

    friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

bool file_version(std::FILE* file, FileVersion& version);

// Reads `bytes` of `file` from `offset` into `buffer`, whatever its stream's
// position (which it moves on Windows); several threads may read one file at
// once. Returns the bytes read, fewer only where the file ends, or -1 where
// the read fails.
std::int64_t read_file_at(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t bytes);

}  // namespace vorik
