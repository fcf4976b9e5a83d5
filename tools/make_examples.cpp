// Writes the two example files: two seconds of a C major chord in 44.1 kHz
// 16-bit stereo, and the same chord with a little noise added. The noise
// comes from a fixed-seed generator, so every run writes the same bytes.
// Usage: make_examples [FOLDER [SECONDS [noise|music]]]; SECONDS may have a
// fraction (10.5), rounded to the nearest sample. Longer pairs serve the
// benchmark. With "noise" it writes noise_first.wav and noise_second.wav
// instead: two unrelated full-scale noises, the meter's heaviest load, whose
// totals of squared differences pass 2^53 after about five minutes. With
// "music" it writes music.wav and music_coded.wav: a short tune after two
// seconds of silence, and a copy of it with noise that follows its loudness,
// as a codec's, and that breaks down for two seconds at three fifths of its
// length; the picture of vorik-check --plot in doc/ shows them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::uint16_t CHANNELS = 2;
constexpr std::uint16_t BITS_PER_SAMPLE = 16;
constexpr double DEFAULT_SECONDS = 2.0;
// A day of audio at most: files of about 15 GB each.
constexpr double MAX_SECONDS = 86400.0;
constexpr int USAGE_STATUS = 2;
constexpr double PI = 3.14159265358979323846;
constexpr double CHORD_HZ[] = {261.63, 329.63, 392.00};  // C4, E4, G4
constexpr double CHORD_AMPLITUDE = 6000.0;               // per note, well below clipping
constexpr int NOISE_SPAN = 65;                           // noise in -32..32
constexpr std::uint32_t NOISE_SEED = 20261207;
constexpr char NOISE_MODE[] = "noise";
constexpr char MUSIC_MODE[] = "music";
constexpr std::uint32_t FIRST_FULL_SCALE_SEED = 1;
constexpr std::uint32_t SECOND_FULL_SCALE_SEED = 2;

// Collects little-endian bytes and writes them out in large pieces, so that
// a long pair of files is written without holding it in memory.
struct ByteWriter {
    std::FILE* file;
    std::vector<unsigned char> pending;
    bool failed;
};

constexpr std::size_t WRITE_PIECE_BYTES = 1 << 20;

void flush(ByteWriter& out) {
    if (!out.pending.empty() &&
        std::fwrite(out.pending.data(), 1, out.pending.size(), out.file) != out.pending.size()) {
        out.failed = true;
    }
    out.pending.clear();
}

void put_byte(ByteWriter& out, unsigned char byte) {
    out.pending.push_back(byte);
    if (out.pending.size() == WRITE_PIECE_BYTES) {
        flush(out);
    }
}

void put_u16(ByteWriter& out, std::uint16_t value) {
    put_byte(out, static_cast<unsigned char>(value & 0xFF));
    put_byte(out, static_cast<unsigned char>(value >> 8));
}

void put_u32(ByteWriter& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        put_byte(out, static_cast<unsigned char>((value >> shift) & 0xFF));
    }
}

void put_tag(ByteWriter& out, const char* tag) {
    for (int i = 0; i < 4; ++i) {
        put_byte(out, static_cast<unsigned char>(tag[i]));
    }
}

// The canonical 44-byte header; sizes past the 32-bit fields are clamped.
void put_wav_header(ByteWriter& out, std::uint64_t frames) {
    constexpr std::uint32_t FORMAT_CHUNK_BYTES = 16;
    constexpr std::uint16_t PCM = 1;
    constexpr std::uint32_t HEADER_BYTES_AFTER_RIFF_SIZE = 36;
    constexpr std::uint64_t LARGEST_SIZE_FIELD = 0xFFFFFFFF;
    const std::uint16_t frame_bytes = CHANNELS * BITS_PER_SAMPLE / 8;
    const std::uint64_t data_bytes = frames * frame_bytes;

    put_tag(out, "RIFF");
    put_u32(out, static_cast<std::uint32_t>(
                     std::min(HEADER_BYTES_AFTER_RIFF_SIZE + data_bytes, LARGEST_SIZE_FIELD)));
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_u32(out, FORMAT_CHUNK_BYTES);
    put_u16(out, PCM);
    put_u16(out, CHANNELS);
    put_u32(out, SAMPLE_RATE);
    put_u32(out, SAMPLE_RATE * frame_bytes);
    put_u16(out, frame_bytes);
    put_u16(out, BITS_PER_SAMPLE);
    put_tag(out, "data");
    put_u32(out, static_cast<std::uint32_t>(std::min(data_bytes, LARGEST_SIZE_FIELD)));
}

// A small linear congruential generator: the same numbers on every platform.
std::uint32_t next_random(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 16;
}

using Frame = std::int16_t[CHANNELS];

// Writes a pair of files of `frames` frames each; `next_frame(frame, first,
// second)` gives the samples of one frame of each. Returns whether both files
// were written whole.
template <typename NextFrame>
bool write_pair(const std::string& first_path, const std::string& second_path, std::uint64_t frames,
                NextFrame next_frame) {
    ByteWriter first{std::fopen(first_path.c_str(), "wb"), {}, false};
    ByteWriter second{std::fopen(second_path.c_str(), "wb"), {}, false};
    bool written = first.file != nullptr && second.file != nullptr;
    if (written) {
        put_wav_header(first, frames);
        put_wav_header(second, frames);
        for (std::uint64_t frame = 0; frame < frames; ++frame) {
            Frame first_samples{};
            Frame second_samples{};
            next_frame(frame, first_samples, second_samples);
            for (std::uint16_t channel = 0; channel < CHANNELS; ++channel) {
                put_u16(first, static_cast<std::uint16_t>(first_samples[channel]));
                put_u16(second, static_cast<std::uint16_t>(second_samples[channel]));
            }
        }
        flush(first);
        flush(second);
        written = !first.failed && !second.failed;
    }
    for (ByteWriter* out : {&first, &second}) {
        if (out->file != nullptr && std::fclose(out->file) != 0) {
            written = false;
        }
    }
    return written;
}

bool write_chords(const std::string& folder, std::uint64_t frames) {
    std::uint32_t random_state = NOISE_SEED;
    return write_pair(folder + "/chord.wav", folder + "/chord_noisy.wav", frames,
                      [&](std::uint64_t frame, Frame& chord, Frame& noisy) {
                          const double t = static_cast<double>(frame) / SAMPLE_RATE;
                          double value = 0.0;
                          for (const double hz : CHORD_HZ) {
                              value += CHORD_AMPLITUDE * std::sin(2.0 * PI * hz * t);
                          }
                          const auto sample = static_cast<std::int16_t>(std::lround(value));
                          for (std::uint16_t channel = 0; channel < CHANNELS; ++channel) {
                              const int noise =
                                  static_cast<int>(next_random(random_state) % NOISE_SPAN) - NOISE_SPAN / 2;
                              chord[channel] = sample;
                              noisy[channel] = static_cast<std::int16_t>(sample + noise);
                          }
                      });
}

bool write_noises(const std::string& folder, std::uint64_t frames) {
    std::uint32_t first_state = FIRST_FULL_SCALE_SEED;
    std::uint32_t second_state = SECOND_FULL_SCALE_SEED;
    return write_pair(folder + "/noise_first.wav", folder + "/noise_second.wav", frames,
                      [&](std::uint64_t, Frame& first, Frame& second) {
                          for (std::uint16_t channel = 0; channel < CHANNELS; ++channel) {
                              first[channel] = static_cast<std::int16_t>(next_random(first_state));
                              second[channel] = static_cast<std::int16_t>(next_random(second_state));
                          }
                      });
}

// The tune of the music mode: a note of a pentatonic scale on every beat,
// with two overtones, over a bass note every two beats; the whole swells
// and fades slowly, so that a codec's noise, which follows it, does too.
constexpr double BEAT_SECONDS = 0.25;
constexpr int BEATS_PER_BASS_NOTE = 8;
constexpr double SCALE_HZ[] = {261.63, 293.66, 329.63, 392.00, 440.00, 523.25};
constexpr double BASS_HZ[] = {65.41, 87.31, 98.00, 110.00};
constexpr double OVERTONE_LEVELS[] = {1.0, 0.45, 0.2};
constexpr double NOTE_DECAY_PER_SECOND = 5.0;
constexpr double BASS_DECAY_PER_SECOND = 1.5;
constexpr double MELODY_AMPLITUDE = 7000.0;
constexpr double BASS_AMPLITUDE = 6000.0;
constexpr double SWELL_SECONDS = 13.0;
constexpr double SWELL_DEPTH = 0.6;
constexpr double SILENT_START_SECONDS = 2.0;
// Each channel's share of the melody and of the bass.
constexpr double MELODY_SHARE[CHANNELS] = {0.9, 0.5};
constexpr double BASS_SHARE[CHANNELS] = {0.3, 0.9};
// The codec's noise, as a part of the tune's level: every channel's in
// general, and during the breakdown.
constexpr double CODED_NOISE_PART[CHANNELS] = {0.005, 0.012};
constexpr double BROKEN_NOISE_PART[CHANNELS] = {0.06, 0.35};
constexpr double BREAKDOWN_AT_PART = 0.6;
constexpr double BREAKDOWN_SECONDS = 2.0;
constexpr std::uint32_t MUSIC_SEED = 20261208;
constexpr std::uint32_t CODED_NOISE_SEED = 20261209;
constexpr std::uint32_t RANDOM_VALUES = 1U << 16;

// A number from -1 to 1, from the generator.
double next_signed_unit(std::uint32_t& state) { return 2.0 * next_random(state) / (RANDOM_VALUES - 1) - 1.0; }

bool write_music(const std::string& folder, std::uint64_t frames) {
    const double length_s = static_cast<double>(frames) / SAMPLE_RATE;
    const double breakdown_s = std::floor(length_s * BREAKDOWN_AT_PART);
    std::uint32_t tune_state = MUSIC_SEED;
    std::uint32_t noise_state = CODED_NOISE_SEED;
    std::uint64_t beat = 0;
    std::uint64_t next_beat = 0;
    double note_hz = SCALE_HZ[0];
    double bass_hz = BASS_HZ[0];
    return write_pair(
        folder + "/music.wav", folder + "/music_coded.wav", frames,
        [&](std::uint64_t frame, Frame& original, Frame& coded) {
            const double t = static_cast<double>(frame) / SAMPLE_RATE - SILENT_START_SECONDS;
            if (t < 0.0) {
                return;
            }
            // A new note at each beat, from the generator: the same tune on every system.
            const auto this_beat = static_cast<std::uint64_t>(t / BEAT_SECONDS);
            if (this_beat >= next_beat) {
                beat = this_beat;
                next_beat = beat + 1;
                note_hz = SCALE_HZ[next_random(tune_state) % std::size(SCALE_HZ)];
                if (beat % BEATS_PER_BASS_NOTE == 0) {
                    bass_hz = BASS_HZ[next_random(tune_state) % std::size(BASS_HZ)];
                }
            }
            const double since_note = t - static_cast<double>(beat) * BEAT_SECONDS;
            const double since_bass =
                t - static_cast<double>(beat / BEATS_PER_BASS_NOTE * BEATS_PER_BASS_NOTE) * BEAT_SECONDS;
            const double swell = 1.0 - SWELL_DEPTH * (0.5 + 0.5 * std::cos(2.0 * PI * t / SWELL_SECONDS));
            double melody = 0.0;
            for (std::size_t k = 0; k < std::size(OVERTONE_LEVELS); ++k) {
                melody += OVERTONE_LEVELS[k] * std::sin(2.0 * PI * note_hz * static_cast<double>(k + 1) * t);
            }
            melody *= MELODY_AMPLITUDE * swell * std::exp(-NOTE_DECAY_PER_SECOND * since_note);
            const double bass = BASS_AMPLITUDE * swell * std::exp(-BASS_DECAY_PER_SECOND * since_bass) *
                                std::sin(2.0 * PI * bass_hz * t);
            const bool broken = t + SILENT_START_SECONDS >= breakdown_s &&
                                t + SILENT_START_SECONDS < breakdown_s + BREAKDOWN_SECONDS;
            for (std::uint16_t channel = 0; channel < CHANNELS; ++channel) {
                const double value = MELODY_SHARE[channel] * melody + BASS_SHARE[channel] * bass;
                const double level =
                    MELODY_SHARE[channel] * std::abs(melody) + BASS_SHARE[channel] * std::abs(bass);
                const double part = broken ? BROKEN_NOISE_PART[channel] : CODED_NOISE_PART[channel];
                original[channel] = static_cast<std::int16_t>(std::lround(value));
                coded[channel] = static_cast<std::int16_t>(
                    std::lround(value + part * level * next_signed_unit(noise_state)));
            }
        });
}

// The length argument, in seconds: a whole number or a decimal fraction,
// more than 0 and at most MAX_SECONDS. False for anything else.
bool parse_seconds(const char* text, double& seconds) {
    char* end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && seconds > 0.0 && seconds <= MAX_SECONDS;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    double seconds = DEFAULT_SECONDS;
    if (argc > 2 && !parse_seconds(argv[2], seconds)) {
        std::fprintf(stderr,
                     "make_examples: \"%s\" is no length in seconds (such as 2 or 10.5, at most a day)\n",
                     argv[2]);
        return USAGE_STATUS;
    }
    const std::string mode = argc > 3 ? argv[3] : "";
    if (argc > 3 && mode != NOISE_MODE && mode != MUSIC_MODE) {
        std::fprintf(stderr, "make_examples: the third argument can only be \"%s\" or \"%s\"\n", NOISE_MODE,
                     MUSIC_MODE);
        return USAGE_STATUS;
    }
    const auto frames = static_cast<std::uint64_t>(std::llround(seconds * SAMPLE_RATE));
    const bool written = mode == NOISE_MODE   ? write_noises(folder, frames)
                         : mode == MUSIC_MODE ? write_music(folder, frames)
                                              : write_chords(folder, frames);
    if (!written) {
        std::fprintf(stderr, "make_examples: cannot write to %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
