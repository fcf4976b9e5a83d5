// The tool's console texts: the messages and the progress line. Every
// message is kept twice: as the Shift_JIS (code page 932) bytes the tool
// writes by default, and as UTF-8 for a terminal that shows Unicode text (a
// Windows console is given it converted to UTF-16). The two forms must say
// the same.
#pragma once

#include <vorik/psnr_meter.h>
#include <vorik/version.h>

#include <cstdio>

namespace vorik {

constexpr char PROGRAM_NAME[] = "vorik";
constexpr const char* PROGRAM_VERSION = VORIK_VERSION;
constexpr char BANNER_FORMAT[] = "%s version %s\n";

struct Message {
    const char* shift_jis;
    const char* utf8;
};

extern const Message MESSAGE_USAGE;
extern const Message MESSAGE_OPEN_FAILED;
extern const Message MESSAGE_NOT_WAV;
extern const Message MESSAGE_SAMPLE_RATES_DIFFER;
extern const Message MESSAGE_SAMPLE_WIDTHS_DIFFER;
extern const Message MESSAGE_SAMPLE_WIDTH_NOT_16;
extern const Message MESSAGE_CHANNELS_DIFFER;
extern const Message MESSAGE_EMPTY_BLOCK;
extern const Message MESSAGE_OUT_OF_MEMORY;
extern const Message MESSAGE_READ_FAILED;
extern const Message MESSAGE_WRITE_FAILED;
extern const Message MESSAGE_SIZES_DIFFER;
extern const Message MESSAGE_FINISHED;

// Every message above, for checks that must cover the whole table.
extern const Message* const ALL_MESSAGES[];
extern const int ALL_MESSAGES_COUNT;

// Writes `message` to `out`: its Shift_JIS bytes through the stream, or,
// where `out` is a terminal that shows Unicode text, its UTF-8 text as the
// terminal takes it, which may pass the stream by. Output of other streams
// that must come before it is flushed first by the caller.
void write_message(std::FILE* out, const Message& message, bool unicode);

// Writes "L…dB | R…dB | LR…dB" and a carriage return, so that the next line
// overwrites this one on a console. LR is the plain mean of the two values.
void write_progress_line(std::FILE* out, const PsnrResult& result);

}  // namespace vorik
