// The simulated camera's settings, taken from the environment at each SDK call that
// uses them, so that a test may change them between calls. Only the simulated
// camera reads them; the driver reads no environment.
//
//   QM_SIM_TIME_SCALE  factor on every exposure's wall-clock duration: a finite
//                      number >= 0 (default 1; 0 delivers as soon as rendered).
//                      The signal always follows the nominal duration.
//   QM_SIM_SEED        unsigned decimal seed, 0 ... 4294967295, of the star field and
//                      the noise (default kDefaultSeed).
//   QM_SIM_FAULT       a failure to simulate: no-camera, initial-video, start-view,
//                      enable-ae or never-completes (default none).
//   QM_SIM_NOISE       fresh: every exposure draws new photon and read noise, from
//                      the seed and the exposure's number since the camera was
//                      opened (default); fixed: every exposure of one length and
//                      gain gets the same noise, frames repeat sample for sample.
//   QM_SIM_COVERED     1: the telescope is covered, no sky and no starlight reach
//                      the sensor; 0: open (default).
//   QM_SIM_CONTROL     a file whose first word sets whether the camera is there,
//                      so that a test or a person can unplug it mid-session:
//                      present (also no file, or an empty one), absent or stall.
//                      Read again whenever its modification time or size changes.
//
// An unset or empty variable takes its default. An unusable value is reported on
// standard error in one line, once until the variable changes, and then treated as
// its default.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "simcam/star_field.h"

namespace simcam {

enum class Fault {
    None,
    NoCamera,        // no camera present: YCCDInitialVideo fails, no frame is delivered
    InitialVideo,    // YCCDInitialVideo returns 0
    StartView,       // YCCDStartView returns 0
    EnableAe,        // YCCDEnableAE returns 0
    NeverCompletes,  // requests are accepted but their frames never arrive
};

// What the control file says of the camera now.
enum class Presence {
    Present,  // as the other settings say
    Absent,   // unplugged: it cannot be opened, an open one closes, its frame in flight is lost
    Stalled,  // it stays open and takes requests, but no frame not yet delivered arrives
};

enum class Noise {
    Fresh,  // new noise in every exposure
    Fixed,  // the same noise in every exposure
};

struct SimSettings {
    double timeScale = 1.0;
    uint32_t seed = kDefaultSeed;
    Fault fault = Fault::None;
    Noise noise = Noise::Fresh;
    bool covered = false;
};

inline constexpr const char *kTimeScaleVariable = "QM_SIM_TIME_SCALE";
inline constexpr const char *kSeedVariable = "QM_SIM_SEED";
inline constexpr const char *kFaultVariable = "QM_SIM_FAULT";
inline constexpr const char *kNoiseVariable = "QM_SIM_NOISE";
inline constexpr const char *kCoveredVariable = "QM_SIM_COVERED";
inline constexpr const char *kControlVariable = "QM_SIM_CONTROL";

// The settings as the environment gives them now.
SimSettings readSettings();

// The fault alone.
Fault readFault();

// What the control file named by QM_SIM_CONTROL says now. The file is read only
// when its modification time or size has changed since the last call.
Presence readPresence();

// Parsers of the variables' text; nothing for unusable text.
std::optional<double> parseTimeScale(std::string_view text);
std::optional<uint32_t> parseSeed(std::string_view text);
std::optional<Fault> parseFault(std::string_view text);
std::optional<Noise> parseNoise(std::string_view text);
std::optional<bool> parseCovered(std::string_view text);
// The control file's text: its first word, leading and trailing white space
// ignored; no word at all means present.
std::optional<Presence> parsePresence(std::string_view text);

}  // namespace simcam
