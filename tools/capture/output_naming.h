// File names of captured frames from a template such as
// "captures/m31_{n:04}_{utc}.fits":
//   {n}, {n:04}  the frame number, optionally zero-padded to a width (1..9)
//   {utc}        the exposure start in UTC, e.g. 20261207T232013.123Z
//   {mode}       the binning mode number
//   {type}       the frame type: light, dark, flat or bias
//   {{ and }}    literal braces
// Tokens may appear only in the file name, not in the directory part.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct NamePart {
    enum class Kind { Literal, Counter, Utc, Mode, Type };
    Kind kind = Kind::Literal;
    std::string text;  // Literal only
    int width = 0;     // Counter only: zero-padded width, 0 for none
};

struct NameTemplate {
    std::string directory;  // "" for the current directory; no tokens
    std::vector<NamePart> parts;

    bool hasCounter() const;
    bool hasTimestamp() const;
};

// The tokens that stay the same for every frame of a run.
struct RunTokens {
    uint32_t mode = 0;
    std::string type = "light";
};

bool parseNameTemplate(const std::string &text, NameTemplate &nameTemplate, std::string &error);

// The path of frame `number` exposed at `utcStamp`.
std::string expandName(const NameTemplate &nameTemplate, uint64_t number,
                       const std::string &utcStamp, const RunTokens &run);

// The same template for the PNG preview: a .fits, .fit or .fts ending becomes
// .png, any other name gets .png appended.
NameTemplate previewTemplateOf(const NameTemplate &nameTemplate);
std::string previewPathOf(const std::string &fitsPath);

// True when `fileName` (no directory) is a name the template makes for `run`;
// sets `number` to its frame number (0 when the template has no counter).
bool matchName(const NameTemplate &nameTemplate, const std::string &fileName, const RunTokens &run,
               uint64_t &number);

// The first frame number from which a sequence can go on without touching any
// existing file of the template or its preview template: one past the highest
// number found in the directory, and at least `start`.
uint64_t firstFreeNumber(const NameTemplate &nameTemplate, const RunTokens &run, uint64_t start);

// "20261207T232013.123Z": the {utc} token.
std::string utcStamp(std::chrono::system_clock::time_point time);
