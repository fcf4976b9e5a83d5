// The little the tool needs from its platform beyond standard C++ streams.
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
#endif

// Opens `path` for binary reading; on Windows the path is UTF-8.
std::FILE* open_for_reading(const char* path);

bool stream_is_terminal(std::FILE* stream);

// Whether text written to `stream` should be UTF-8 rather than Shift_JIS:
// only when the stream is a terminal that expects UTF-8.
bool terminal_expects_utf8(std::FILE* stream);

// fopen() of a directory succeeds on some systems and fails only on reading.
bool opened_path_is_directory(std::FILE* file);

// Whether `file` is a regular file, and then its size now, in `bytes`.
bool regular_file_size(std::FILE* file, std::uint64_t& bytes);

// Where the stream of `file` stands, in bytes from the start, in 64 bits
// whatever the size of a long.
bool stream_position(std::FILE* file, std::uint64_t& offset);

// A regular file measured where it lies, through a read-only mapping of one
// window of it at a time. No window: the file is read through its stream.
struct MappedInput {
    int descriptor;
    std::uint64_t file_bytes;     // the file's size when last looked at
    std::uint64_t window_offset;  // where in the file the window starts
    const unsigned char* window;  // nullptr when nothing is mapped
    std::size_t window_bytes;
    bool started;  // mapped since start_mapped_input, until released
};

// Maps the window of `file` that holds `offset` and the `bytes` after it (or
// up to the end of the file), if the file can be measured in place: a
// regular file whose data covers it from `offset` to its end, with no holes,
// on a system that maps it. False leaves `mapped` empty.
bool start_mapped_input(std::FILE* file, std::uint64_t offset, std::size_t bytes, MappedInput& mapped);

// Moves the window to hold `offset` and the `bytes` after it (less what lies
// past the last page boundary, for windows of two pages and more), or up to
// the end of the file as last looked at; the window it replaces is unmapped.
// False when the system refuses, with no window left.
bool move_window(MappedInput& mapped, std::uint64_t offset, std::size_t bytes);

// Reads a byte of every page of the window and says whether that took few
// faults: whether the page cache holds the window in large pages, which a
// mapping takes in a fault or two apiece. In small pages a mapping costs
// more than the copy of a read saves. Reads the window's pages: to be
// guarded against vanished pages as measuring is.
bool window_maps_cheaply(const MappedInput& mapped);

// Moves the stream of a file to `offset`, for reading on from there.
bool seek_stream(std::FILE* file, std::uint64_t offset);

// Whether the window shows that the file still holds every byte before
// `offset`: reads the first byte of the page that follows them, which raises
// SIGBUS, as a vanished page does, if the file now ends before that page.
// Only the bytes of the page a file now ends in read as zeros past its end,
// so that one read stands for a look at the file's size, at no cost. False
// when the page lies outside the window or past the end of the file as last
// looked at: then only the size can tell. To be guarded as measuring is.
bool window_shows_bytes_before(const MappedInput& mapped, std::uint64_t offset);

// Unmaps the window, if there is one, and ends the mapping.
void release_mapped_input(MappedInput& mapped);

// Runs `measure(context)`. Should a page it reads from a window vanish under
// it (the file was truncated), `measure` is cut short where it stands and the
// answer is false. Whatever `measure` runs must hold no resource of its own.
bool run_guarded_against_vanished_pages(void (*measure)(void*), void* context);

}  // namespace vorik
