// Writes the two example files: two seconds of a C major chord in 44.1 kHz
// 16-bit stereo, and the same chord with a little noise added. The noise
// comes from a fixed-seed generator, so every run writes the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t SAMPLE_RATE = 44100;
constexpr std::uint16_t CHANNELS = 2;
constexpr std::uint16_t BITS_PER_SAMPLE = 16;
constexpr std::uint32_t SECONDS = 2;
constexpr double PI = 3.14159265358979323846;
constexpr double CHORD_HZ[] = {261.63, 329.63, 392.00};  // C4, E4, G4
constexpr double CHORD_AMPLITUDE = 6000.0;               // per note, well below clipping
constexpr int NOISE_SPAN = 65;                           // noise in -32..32
constexpr std::uint32_t NOISE_SEED = 20261207;

void put_u16(std::vector<unsigned char>& out, std::uint16_t value) {
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put_u32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
    }
}

void put_tag(std::vector<unsigned char>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

std::vector<unsigned char> wav_file(const std::vector<std::int16_t>& samples) {
    constexpr std::uint32_t FORMAT_CHUNK_BYTES = 16;
    constexpr std::uint16_t PCM = 1;
    constexpr std::uint32_t HEADER_BYTES_AFTER_RIFF_SIZE = 36;
    const std::uint16_t frame_bytes = CHANNELS * BITS_PER_SAMPLE / 8;
    const auto data_bytes = static_cast<std::uint32_t>(samples.size() * sizeof(std::int16_t));

    std::vector<unsigned char> out;
    put_tag(out, "RIFF");
    put_u32(out, HEADER_BYTES_AFTER_RIFF_SIZE + data_bytes);
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
    put_u32(out, data_bytes);
    for (const std::int16_t sample : samples) {
        put_u16(out, static_cast<std::uint16_t>(sample));
    }
    return out;
}

// A small linear congruential generator: the same numbers on every platform.
std::uint32_t next_random(std::uint32_t& state) {
    state = state * 1664525U + 1013904223U;
    return state >> 16;
}

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : ".";
    std::vector<std::int16_t> chord;
    std::vector<std::int16_t> noisy;
    std::uint32_t random_state = NOISE_SEED;
    for (std::uint32_t frame = 0; frame < SECONDS * SAMPLE_RATE; ++frame) {
        const double t = frame / static_cast<double>(SAMPLE_RATE);
        double value = 0.0;
        for (const double hz : CHORD_HZ) {
            value += CHORD_AMPLITUDE * std::sin(2.0 * PI * hz * t);
        }
        const auto sample = static_cast<std::int16_t>(std::lround(value));
        for (std::uint16_t channel = 0; channel < CHANNELS; ++channel) {
            chord.push_back(sample);
            const int noise = static_cast<int>(next_random(random_state) % NOISE_SPAN) - NOISE_SPAN / 2;
            noisy.push_back(static_cast<std::int16_t>(sample + noise));
        }
    }
    if (!write_file(folder + "/chord.wav", wav_file(chord)) ||
        !write_file(folder + "/chord_noisy.wav", wav_file(noisy))) {
        std::fprintf(stderr, "make_examples: cannot write to %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
