// How far a copy lies behind or ahead of its original: the delay search of
// vorik-check, from the first frames of both.
//
// A codec's copy often starts late: an encoder's priming samples that the
// decoder left in (1024 for a raw AAC stream, 1105 for an MP3 without its
// LAME tag) shift every sample, and a comparison at the wrong delay measures
// the shift, not the codec. find_delay cross-correlates the start of both
// inputs over every delay in a span, then checks the best candidates sample
// by sample. It says when the delay cannot be told (too little sound, or a
// steady tone or repeated pattern that fits several delays) rather than
// give a confident wrong one.
//
// This part of the library is its own archive (vorik::alignment) because it
// uses an FFT; the rest of the library uses nothing but the standard library.
#pragma once

#include <cstdint>

namespace vorik {

// The delay between two inputs: the copy's frame `delay` pairs with the
// original's frame 0. A negative delay pairs the original's frame -delay
// with the copy's frame 0.
enum class DelayFinding : unsigned char {
    found,          // one delay fits clearly best: `delay`
    no_signal,      // too little sound in the original or in the copy to tell
    ambiguous,      // other delays fit about as well (a steady tone, a repeated pattern, unrelated sounds)
    out_of_memory,  // the search's buffers could not be allocated
};

struct DelayEstimate {
    DelayFinding finding;
    std::int64_t delay;    // when found; 0 otherwise
    std::uint64_t frames;  // frames of the original that delay_db and zero_db compare; 0 when there were none
    double delay_db;       // the PSNR over those frames at `delay`, all channels pooled; when ambiguous,
                           // at the delay that fitted best, which `delay` does not give
    double zero_db;        // the same at delay 0
};

// The PSNR is the tool's: 20 log10(65535 / sqrt(mean squared difference)),
// the squares of every channel of every frame summed and divided by channels
// times frames; 333 where nothing differs, and where nothing was compared.
// They are given for every finding but out_of_memory, whenever the inputs
// held enough frames to compare (see find_delay).

// Frames from the start of each input that find_delay reads at most, for a
// search over delays from -max_delay to +max_delay at `sample_rate`: what a
// caller that reads a pipe keeps in memory for the search.
std::uint64_t delay_search_frames(std::uint64_t max_delay, std::uint32_t sample_rate);

// Searches the delays from -max_delay to +max_delay between the first
// `original_frames` frames of the original and the first `copy_frames` of
// the copy, both interleaved 16-bit samples of `channels` channels in host
// byte order, from the first frame of each input's data. Reads at most
// delay_search_frames(max_delay, sample_rate) frames of each; fewer work,
// with fewer delays that can be told. Its time and memory are bounded by
// that count, whatever the length of the files.
//
// It compares a window of two seconds of the original, the stretch with the
// most sound among those that every searched delay can compare, with the
// copy. Where the inputs are shorter than the window and both ends of the
// span, the window takes half the shorter input and the span shrinks to
// the delays around 0 that still fit; inputs too short for a window of 256
// frames give no_signal with `frames` 0. The best few peaks of the
// correlation are checked sample by sample on every channel, each with its
// neighbours, and a delay is found only where, the copy's gain allowed for,
// it fits 3 dB better than every other checked delay more than a few frames
// away: a copy a few dB louder or quieter is found at its delay, a steady
// tone at none. It throws nothing.
DelayEstimate find_delay(const std::int16_t* original, std::uint64_t original_frames,
                         const std::int16_t* copy, std::uint64_t copy_frames, std::uint16_t channels,
                         std::uint32_t sample_rate, std::uint64_t max_delay);

}  // namespace vorik
