// Writes the default hour alarm: a two-stroke bell chime, 16-bit mono WAV.
// Usage: synthesise-chime OUT.wav

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr int kRate = 22050;

struct Stroke {
    double start;     // seconds
    double frequency; // of the fundamental, Hz
};

// A bell: inharmonic partials that fade at different speeds.
double Bell(double t, double frequency)
{
    struct Partial {
        double ratio, level, decay;
    };
    constexpr Partial partials[] = {{1.0, 1.0, 2.2}, {2.76, 0.45, 4.0}, {5.40, 0.25, 7.0}, {8.93, 0.12, 11.0}};
    double sum = 0;
    for (const Partial& p : partials)
        sum += p.level * std::exp(-p.decay * t) * std::sin(2 * std::numbers::pi * frequency * p.ratio * t);
    const double attack = std::min(1.0, t / 0.004); // no click at the onset
    return attack * sum;
}

void Put(std::FILE* out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: synthesise-chime OUT.wav\n");
        return 2;
    }
    constexpr Stroke strokes[] = {{0.0, 1318.5}, {0.45, 1046.5}};
    constexpr double length = 2.0;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(length * kRate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        double value = 0;
        for (const Stroke& stroke : strokes)
            if (t >= stroke.start)
                value += Bell(t - stroke.start, stroke.frequency);
        const double fadeOut = std::min(1.0, (length - t) / 0.05);
        samples[i] = static_cast<std::int16_t>(std::lround(9000 * value * fadeOut));
    }

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::fputs("RIFF", out);
    Put(out, 36 + dataBytes, 4);
    std::fputs("WAVEfmt ", out);
    Put(out, 16, 4);        // format chunk size
    Put(out, 1, 2);         // PCM
    Put(out, 1, 2);         // mono
    Put(out, kRate, 4);     // sample rate
    Put(out, kRate * 2, 4); // byte rate
    Put(out, 2, 2);         // block align
    Put(out, 16, 2);        // bits per sample
    std::fputs("data", out);
    Put(out, dataBytes, 4);
    for (std::int16_t sample : samples)
        Put(out, static_cast<std::uint16_t>(sample), 2);
    return std::fclose(out) == 0 ? 0 : 1;
}
