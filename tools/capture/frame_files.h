// The files of a run's frames: which name each frame gets, and saving them so
// that no frame is lost to another program writing into the same directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/capture/output_naming.h"
#include "tools/capture/safe_file.h"

struct FrameFileSettings {
    NameTemplate names;
    RunTokens run;
    OutputDirectory directory;  // from prepareOutputDirectory
    bool overwrite = false;
    bool previews = false;
    uint64_t firstNumber = 1;
};

class FrameFiles {
public:
    explicit FrameFiles(FrameFileSettings settings);

    // Saves a frame's FITS file. Numbered names: the first number from the one
    // after the last frame's on whose FITS name, and preview name with
    // previews, no file exists; a name another writer takes meanwhile is
    // skipped for the next. A name without a number: that name, or the name
    // with _2, _3 ... before its ending when another writer took it meanwhile.
    // With overwrite: the next number in turn, replacing what is there.
    bool saveFits(const std::vector<uint8_t> &bytes, const std::string &utcStamp, std::string &path,
                  std::string &error);

    // Saves the preview of the FITS file saved as `fitsPath` beside it, never
    // replacing a file unless overwriting. Callable from any thread.
    bool savePreview(const std::string &fitsPath, const std::vector<uint8_t> &bytes,
                     std::string &previewPath, std::string &error) const;

    uint64_t nextNumber() const { return next_; }

private:
    std::string candidate(uint64_t attempt, const std::string &utcStamp) const;

    FrameFileSettings settings_;
    uint64_t next_;
};

// `path` with "_<n>" before its FITS ending (.fits, .fit, .fts), or appended.
std::string numberedAlternative(const std::string &path, uint64_t n);
