// Synthesises Blendora's two sample pieces as WAV files: a melody over a soft pad, and a bass
// and drum groove in the same key and tempo, so that their mix sounds like one piece of music.
//   make-samples <sample1.wav> <sample2.wav>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kBeat = 60.0 / 100.0; // 100 beats a minute
constexpr int kBars = 10;              // 10 bars of 4 beats: 24 seconds
constexpr double kSeconds = kBars * 4 * kBeat;
constexpr double kPi = 3.14159265358979323846;

struct Stereo {
    std::vector<double> left, right;
    Stereo() : left(std::size_t(kSeconds * kRate) + kRate), right(left.size()) {}
    void add(std::size_t i, double v, double pan) {
        if (i >= left.size())
            return;
        left[i] += v * std::cos(pan * kPi / 2);
        right[i] += v * std::sin(pan * kPi / 2);
    }
};

double midiToHz(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

// Chords of A minor, F, C and G, a bar each, as MIDI notes.
const int kChords[4][3] = {{57, 60, 64}, {53, 57, 60}, {48, 52, 55}, {55, 59, 62}};
const int kRoots[4] = {45, 41, 48, 43};

// A note with a soft attack and an exponential decay, a few harmonics for warmth.
void tone(Stereo& out, double start, double length, double hz, double level, double pan,
          double attack, double decay, int harmonics) {
    const std::size_t first = std::size_t(start * kRate);
    const std::size_t count = std::size_t((length + decay) * kRate);
    for (std::size_t k = 0; k < count; ++k) {
        const double t = double(k) / kRate;
        double env = t < attack ? t / attack : 1.0;
        if (t > length)
            env *= std::exp(-(t - length) / (decay / 5));
        env *= std::exp(-t * 0.6);
        double v = 0;
        for (int h = 1; h <= harmonics; ++h)
            v += std::sin(2 * kPi * hz * h * t) / (h * h);
        out.add(first + k, v * env * level, pan);
    }
}

std::uint32_t noiseState = 0x9e3779b9u;
double noise() {
    noiseState ^= noiseState << 13;
    noiseState ^= noiseState >> 17;
    noiseState ^= noiseState << 5;
    return double(noiseState) / 2147483648.0 - 1.0;
}

void kick(Stereo& out, double start) {
    const std::size_t first = std::size_t(start * kRate);
    double phase = 0;
    for (std::size_t k = 0; k < std::size_t(0.35 * kRate); ++k) {
        const double t = double(k) / kRate;
        phase += 2 * kPi * (45 + 90 * std::exp(-t * 30)) / kRate;
        out.add(first + k, std::sin(phase) * std::exp(-t * 9) * 0.9, 0.5);
    }
}

void snare(Stereo& out, double start) {
    const std::size_t first = std::size_t(start * kRate);
    for (std::size_t k = 0; k < std::size_t(0.2 * kRate); ++k) {
        const double t = double(k) / kRate;
        const double v = noise() * std::exp(-t * 25) * 0.35 +
                         std::sin(2 * kPi * 190 * t) * std::exp(-t * 30) * 0.3;
        out.add(first + k, v, 0.45);
    }
}

void hat(Stereo& out, double start, double level) {
    const std::size_t first = std::size_t(start * kRate);
    double last = 0;
    for (std::size_t k = 0; k < std::size_t(0.05 * kRate); ++k) {
        const double t = double(k) / kRate;
        const double n = noise();
        out.add(first + k, (n - last) * 0.5 * std::exp(-t * 90) * level, 0.7);
        last = n;
    }
}

Stereo melodyAndPad() {
    Stereo out;
    // A slow pad holds each chord for its bar.
    for (int bar = 0; bar < kBars; ++bar)
        for (int note : kChords[bar % 4])
            tone(out, bar * 4 * kBeat, 4 * kBeat - 0.2, midiToHz(note), 0.08, 0.3, 0.6, 0.8, 4);
    // The tune: scale steps above each chord's root, answered every second bar.
    const int phrase[2][8] = {{12, 15, 19, 17, 15, 12, 10, 12}, {19, 17, 15, 12, 15, 17, 19, 24}};
    for (int bar = 1; bar < kBars - 1; ++bar) {
        const int* steps = phrase[bar % 2];
        for (int i = 0; i < 8; ++i) {
            const int note = kRoots[bar % 4] + steps[i] + (steps[i] == 15 && bar % 4 != 0 ? 1 : 0);
            tone(out, (bar * 4 + i * 0.5) * kBeat, 0.4 * kBeat, midiToHz(note + 12), 0.16, 0.65,
                 0.01, 0.3, 3);
        }
    }
    // The last chord rings out.
    for (int note : kChords[0])
        tone(out, (kBars - 1) * 4 * kBeat, 3 * kBeat, midiToHz(note + 12), 0.09, 0.5, 0.05, 1.2, 3);
    return out;
}

Stereo bassAndDrums() {
    Stereo out;
    for (int bar = 0; bar < kBars; ++bar) {
        const double t0 = bar * 4 * kBeat;
        const int root = kRoots[bar % 4] - 12;
        const int pattern[8] = {0, 0, 12, 0, 7, 0, 12, 7};
        for (int i = 0; i < 8; ++i)
            tone(out, t0 + i * 0.5 * kBeat, 0.4 * kBeat, midiToHz(root + pattern[i]), 0.32, 0.5,
                 0.005, 0.1, 5);
        if (bar == kBars - 1) {
            kick(out, t0);
            break;
        }
        kick(out, t0);
        kick(out, t0 + 2.5 * kBeat);
        kick(out, t0 + 2 * kBeat);
        snare(out, t0 + kBeat);
        snare(out, t0 + 3 * kBeat);
        for (int i = 0; i < 8; ++i)
            hat(out, t0 + i * 0.5 * kBeat, i % 2 ? 0.5 : 0.9);
    }
    return out;
}

bool writeWav(const char* path, const Stereo& s) {
    double peak = 1e-9;
    for (std::size_t i = 0; i < s.left.size(); ++i)
        peak = std::max({peak, std::fabs(s.left[i]), std::fabs(s.right[i])});
    const double gain = 0.8 / peak;
    const std::uint32_t frames = std::uint32_t(s.left.size());
    const std::uint32_t data = frames * 4;
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            std::fputc(int((v >> (8 * i)) & 0xff), f);
    };
    auto u16 = [&](unsigned v) {
        std::fputc(int(v & 0xff), f);
        std::fputc(int((v >> 8) & 0xff), f);
    };
    std::fputs("RIFF", f);
    u32(36 + data);
    std::fputs("WAVEfmt ", f);
    u32(16);
    u16(1);
    u16(2);
    u32(kRate);
    u32(kRate * 4);
    u16(4);
    u16(16);
    std::fputs("data", f);
    u32(data);
    for (std::uint32_t i = 0; i < frames; ++i) {
        u16(unsigned(std::int16_t(std::lround(s.left[i] * gain * 32767))) & 0xffff);
        u16(unsigned(std::int16_t(std::lround(s.right[i] * gain * 32767))) & 0xffff);
    }
    return std::fclose(f) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s sample1.wav sample2.wav\n", argv[0]);
        return 2;
    }
    return writeWav(argv[1], melodyAndPad()) && writeWav(argv[2], bassAndDrums()) ? 0 : 1;
}
