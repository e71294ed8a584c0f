// The scene in front of the simulated camera, derived from one seed: stars with a
// power-law brightness distribution and colours from their temperature, sky glow,
// dark current and a few hot pixels. The simulated camera renders its frames from
// this model; tests and tools link it (library qm_starfield) to learn where the
// stars are and what a frame holds before noise.
//
// Coordinates are sensor coordinates: x runs along a row from 0 to 2048, y across
// rows from 0 to 1536. Sensor row r is raw row r of a full frame (preview mode 0);
// raw row k of a row-pair frame (preview mode 2) holds sensor rows 2k and 2k + 1.
// Pixel (column c, row r) covers x in [c, c + 1) and y in [r, r + 1): its centre
// lies at (c + 0.5, r + 0.5).
//
// Signal unit: one electron reads as one count. A sample of a frame of t seconds is
// bias + t * (lightRate + darkRate) before noise, limited to 0 ... 65535.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace simcam {

// Colour filter of a sensor site.
enum class MosaicColour : uint8_t { Red = 0, Green = 1, Blue = 2 };

// RGGB at row 0, column 0: even rows read R G R G ..., odd rows G B G B ....
// Defined for negative positions too, continuing the pattern.
constexpr MosaicColour mosaicColour(int32_t column, int32_t row) {
    const bool oddRow = (row & 1) != 0;
    const bool oddColumn = (column & 1) != 0;
    if (oddRow == oddColumn) {
        return oddRow ? MosaicColour::Blue : MosaicColour::Red;
    }
    return MosaicColour::Green;
}

// Index of a colour in red, green, blue arrays.
constexpr std::size_t colourIndex(MosaicColour colour) { return static_cast<std::size_t>(colour); }

inline constexpr uint32_t kDefaultSeed = 20800;

// Sensor response, the same for every seed.
inline constexpr double kBiasLevel = 1000.0;   // counts added to every sample
inline constexpr double kReadNoise = 7.0;      // electrons RMS per sample
inline constexpr double kDarkRate = 0.1;       // electrons per second, every pixel
inline constexpr double kFullScale = 65535.0;  // largest sample value

// Point spread function: two concentric circular Gaussians (seeing core and halo),
// integrated over each pixel. Full width at half maximum about 3.3 pixels.
inline constexpr double kPsfCoreSigma = 1.3;   // pixels
inline constexpr double kPsfHaloSigma = 3.5;   // pixels
inline constexpr double kPsfHaloShare = 0.15;  // fraction of a star's light in the halo

struct Star {
    double x;  // centre, sensor coordinates
    double y;
    double flux;         // electrons per second of the whole star on green sites
    double temperature;  // kelvin: sets the colour
    // Flux on red, green and blue sites relative to green (green = 1). A 6000 K
    // star is white (1, 1, 1); cooler stars are redder, hotter ones bluer.
    std::array<double, 3> response;

    // Electrons per second of the whole star on sites of `colour`.
    double fluxOn(MosaicColour colour) const { return flux * response[colourIndex(colour)]; }
};

struct HotPixel {
    int32_t column;
    int32_t row;
    double darkRate;  // electrons per second on top of kDarkRate
};

class StarField {
public:
    static constexpr std::size_t kStarCount = 4000;
    static constexpr std::size_t kHotPixelCount = 32;
    static constexpr double kFieldMargin = 16.0;    // stars reach this far beyond the edges
    static constexpr double kFaintestFlux = 120.0;  // electrons per second on green sites
    static constexpr double kBrightestFlux = 2.5e6;

    // Builds the field of `seed`, including the per-pixel light rates (tens of
    // milliseconds, about 13 MB). Equal seeds give equal fields.
    explicit StarField(uint32_t seed);

    uint32_t seed() const { return seed_; }

    // Every star, brightest (largest flux) first. Centres lie within kFieldMargin
    // of the sensor, so stars at the edges are cut off as in a real frame.
    const std::vector<Star> &stars() const { return stars_; }

    // The hot pixels, all on the sensor at distinct positions.
    const std::vector<HotPixel> &hotPixels() const { return hotPixels_; }

    // At most `count` stars, brightest first, whose centre lies at least `margin`
    // pixels inside every edge and which are isolated: no other star with more than
    // a hundredth of their flux, and no hot pixel, lies within `isolation` pixels of
    // the centre. An isolation of 0 admits every star.
    std::vector<Star> brightestStars(std::size_t count, double margin = 8.0,
                                     double isolation = 0.0) const;

    // Light reaching the pixel through its filter, electrons per second: the stars
    // and the sky glow. Positions off the sensor give 0.
    double lightRate(int32_t column, int32_t row) const;

    // Sky glow alone through the pixel's filter, electrons per second.
    double skyRate(int32_t column, int32_t row) const;

    // Dark current of the pixel, electrons per second, its hot-pixel share included.
    double darkRate(int32_t column, int32_t row) const;

    // Noise-free sample of a frame of `seconds` with colour gains `gains` (red,
    // green, blue, applied to the light): bias + seconds * (gain * light + dark),
    // limited to kFullScale.
    double meanSample(int32_t column, int32_t row, double seconds,
                      const std::array<float, 3> &gains = {1.0f, 1.0f, 1.0f}) const;

    // The light rates of the whole sensor, row-major, 2048 per row, row 0 first.
    const std::vector<float> &lightRates() const { return lightRates_; }

private:
    uint32_t seed_;
    std::vector<Star> stars_;
    std::vector<HotPixel> hotPixels_;
    std::vector<float> lightRates_;
};

// Colour response (red, green, blue relative to green) of a star of `temperature`
// kelvin, from the black-body spectrum at each filter's effective wavelength,
// normalised so that a 6000 K star is white.
std::array<double, 3> blackBodyResponse(double temperature);

// Share of a star's light that falls on the pixel covering [column, column + 1) x
// [row, row + 1) when its centre is at (x, y). Sums to 1 over the plane.
double psfShare(double x, double y, int32_t column, int32_t row);

}  // namespace simcam
