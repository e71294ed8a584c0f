// Random numbers of the simulated camera: a seeded generator for the star field
// and a counter-based hash for the per-pixel noise, so that every pixel's noise
// depends only on the seed and the pixel, never on the order of rendering.
#pragma once

#include <cstdint>

namespace simcam {

// SplitMix64 finaliser: a bijective mix with full avalanche.
constexpr uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// xoshiro256**, seeded through SplitMix64.
class RandomSequence {
public:
    explicit RandomSequence(uint64_t seed) {
        for (uint64_t &word : state_) {
            seed += 0x9E3779B97F4A7C15ull;
            word = mix64(seed);
        }
    }

    uint64_t next() {
        const uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform in (0, 1]: safe to take the logarithm of or raise to a negative power.
    double uniformPositive() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

private:
    static constexpr uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t state_[4];
};

}  // namespace simcam
