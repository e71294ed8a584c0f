// Writing output so that nothing is lost: a file appears complete or not at all,
// is on disk (file and directory entry synced) before it is reported saved, and
// never replaces a file unless asked to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How a finished temporary file takes its final name without replacing one that
// exists. File systems differ in what they offer, so the first that works is
// used: an atomic rename that refuses an existing name (most local file
// systems), else a hard link (older network file systems), else claiming the
// name by exclusive creation and renaming over the claim (file systems without
// hard links, such as FAT). Each refuses a name another writer holds.
enum class PlacementMethod { RenameNoReplace, HardLink, ExclusiveClaim };

const char *placementMethodName(PlacementMethod method);

// Where the output goes, proven before the first exposure.
struct OutputDirectory {
    std::string path;                          // "." for the current directory
    std::vector<std::string> madeDirectories;  // made by prepareOutputDirectory, outermost first
    PlacementMethod method = PlacementMethod::RenameNoReplace;
};

// Makes the directory of `filePath` if it is missing and saves and removes a
// scratch file there exactly as a frame is saved (temporary file, data synced,
// placed under a new name without replacing, directory synced), which also
// finds the placement method. False with a one-line reason naming the cause.
bool prepareOutputDirectory(const std::string &filePath, OutputDirectory &directory,
                            std::string &error);

// Removes the directories prepareOutputDirectory made, innermost first, as far
// as they are empty; for a run that saved nothing.
void removeMadeDirectories(const OutputDirectory &directory);

enum class PlaceResult { Placed, NameTaken, Failed };

// A complete temporary file beside its final place, its data synced to disk.
// Removed on destruction unless placed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;
    ~PendingFile();

    // Writes `bytes` to a new hidden file in the directory of `pathHint`.
    bool write(const std::string &pathHint, const std::vector<uint8_t> &bytes, std::string &error);

    // Gives the file the name `path` in the same directory and syncs the
    // directory. With `replace`, an existing file of that name is replaced;
    // otherwise NameTaken leaves it (and this file, for another name) alone.
    // Without `replace`, `method` and the ones after it are tried in turn
    // where the file system lacks one; `method` becomes the one that served.
    PlaceResult place(const std::string &path, bool replace, PlacementMethod &method,
                      std::string &error);

private:
    std::string temporaryPath_;
};

// Writes `bytes` to `path` through a PendingFile: false with a one-line reason,
// also when `path` exists and `overwrite` is not given.
bool writeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, bool overwrite,
                         std::string &error,
                         PlacementMethod method = PlacementMethod::RenameNoReplace);

// Why files cannot be created in the existing `directory` after a call failed
// with `errorNumber`: the system's message, and the kind of file system where
// that message alone misleads (a virtual one such as /proc answers "No such
// file or directory").
std::string creationFailureReason(const std::string &directory, int errorNumber);

// Bytes an unprivileged writer can still store in `directory`; the largest
// value when the file system does not say.
uint64_t freeBytes(const std::string &directory);
