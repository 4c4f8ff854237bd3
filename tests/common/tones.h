// Looks at decoded sound: how much of a tone it holds, whether it is the
// host's own sample for sample, and how long it lasts.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

// Amplitude of the `frequency` component of `decoded`, best over phase.
inline double tone_amplitude(const std::vector<double>& decoded, double frequency, int rate) {
    double sine = 0, cosine = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        sine += decoded[n] * std::sin(2 * M_PI * frequency * double(n) / rate);
        cosine += decoded[n] * std::cos(2 * M_PI * frequency * double(n) / rate);
    }
    return decoded.empty() ? 0 : 2 * std::hypot(sine, cosine) / double(decoded.size());
}

// Normalised correlation with a sine of `frequency`: 1 for a clean tone, near 0 where it is absent.
inline double tone_correlation(const std::vector<double>& decoded, double frequency, int rate) {
    double energy = 0;
    for (double v : decoded) energy += v * v;
    return energy > 0 ? tone_amplitude(decoded, frequency, rate) / std::sqrt(2 * energy / double(decoded.size())) : 0;
}

// Correlation with the host's samples: high only when decoded sample n is host sample n.
inline double host_correlation(const std::vector<double>& decoded, const std::function<double(int64_t)>& host) {
    double dot = 0, energy = 0, hostEnergy = 0;
    for (size_t n = 0; n < decoded.size(); ++n) {
        const double expected = host(int64_t(n));
        dot += decoded[n] * expected;
        energy += decoded[n] * decoded[n];
        hostEnergy += expected * expected;
    }
    return energy > 0 && hostEnergy > 0 ? dot / std::sqrt(energy * hostEnergy) : 0;
}

// Samples from the first to the last above an eighth of `amplitude`: the
// sound's length wherever the decoder placed it.
inline int64_t sound_length(const std::vector<double>& decoded, double amplitude) {
    const auto loud = [amplitude](double v) { return std::abs(v) > amplitude / 8; };
    const auto first = std::find_if(decoded.begin(), decoded.end(), loud);
    const auto last = std::find_if(decoded.rbegin(), decoded.rend(), loud);
    return first == decoded.end() ? 0 : int64_t(decoded.rend() - last) - int64_t(first - decoded.begin());
}
