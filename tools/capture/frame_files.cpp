#include "tools/capture/frame_files.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace {

// Names tried for one frame before giving up: far more than writers that
// could plausibly race for them.
constexpr uint64_t kMaxAttempts = 100000;

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

std::string numberedAlternative(const std::string &path, uint64_t n) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    std::string ending;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        ending = path.substr(dot);
        std::transform(ending.begin(), ending.end(), ending.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    const bool fits = ending == ".fits" || ending == ".fit" || ending == ".fts";
    const size_t at = fits ? dot : path.size();
    return path.substr(0, at) + "_" + std::to_string(n) + path.substr(at);
}

FrameFiles::FrameFiles(FrameFileSettings settings)
    : settings_(std::move(settings)), next_(settings_.firstNumber) {}

std::string FrameFiles::candidate(uint64_t attempt, const std::string &utcStamp) const {
    if (settings_.names.hasCounter()) {
        return expandName(settings_.names, next_ + attempt, utcStamp, settings_.run);
    }
    const std::string name = expandName(settings_.names, 0, utcStamp, settings_.run);
    return attempt == 0 ? name : numberedAlternative(name, attempt + 1);
}

bool FrameFiles::saveFits(const std::vector<uint8_t> &bytes, const std::string &utcStamp,
                          std::string &path, std::string &error) {
    PendingFile file;
    if (!file.write(candidate(0, utcStamp), bytes, error)) {
        return false;
    }
    if (settings_.overwrite) {
        path = candidate(0, utcStamp);
        PlacementMethod method = settings_.directory.method;
        if (file.place(path, true, method, error) != PlaceResult::Placed) {
            return false;
        }
        ++next_;
        return true;
    }
    for (uint64_t attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const std::string name = candidate(attempt, utcStamp);
        // A preview left without its FITS file still holds its number.
        if (settings_.previews && exists(previewPathOf(name))) {
            continue;
        }
        PlacementMethod method = settings_.directory.method;
        switch (file.place(name, false, method, error)) {
            case PlaceResult::Placed:
                path = name;
                next_ += settings_.names.hasCounter() ? attempt + 1 : 1;
                return true;
            case PlaceResult::NameTaken:
                continue;
            case PlaceResult::Failed:
                return false;
        }
    }
    error = "cannot write " + candidate(0, utcStamp) + ": no free name found among " +
            std::to_string(kMaxAttempts) + " tried";
    return false;
}

bool FrameFiles::savePreview(const std::string &fitsPath, const std::vector<uint8_t> &bytes,
                             std::string &previewPath, std::string &error) const {
    previewPath = previewPathOf(fitsPath);
    return writeFileAtomically(previewPath, bytes, settings_.overwrite, error,
                               settings_.directory.method);
}
