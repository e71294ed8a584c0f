#include "tools/capture/safe_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

namespace {

std::string directoryOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Virtual file systems whose "No such file or directory" on creating a file
// means they take no files at all.
struct VirtualFileSystem {
    long magic;
    const char *name;
};

constexpr VirtualFileSystem kVirtualFileSystems[] = {
    {PROC_SUPER_MAGIC, "proc"},       {SYSFS_MAGIC, "sysfs"},
    {CGROUP_SUPER_MAGIC, "cgroup"},   {CGROUP2_SUPER_MAGIC, "cgroup2"},
    {DEBUGFS_MAGIC, "debugfs"},       {TRACEFS_MAGIC, "tracefs"},
    {SECURITYFS_MAGIC, "securityfs"}, {BPF_FS_MAGIC, "bpf"},
    {PSTOREFS_MAGIC, "pstore"},       {EFIVARFS_MAGIC, "efivarfs"},
    {DEVPTS_SUPER_MAGIC, "devpts"},
};

mode_t creationMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool writeAll(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes a renamed, linked or removed entry of `directory` durable. File systems
// that cannot sync a directory (EINVAL) keep their entries their own way.
int syncDirectory(const std::string &directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const int synced = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
    const int syncErrno = errno;
    close(fd);
    errno = syncErrno;
    return synced;
}

// The methods' own refusals of an existing name and of the method itself.
bool methodUnsupported(PlacementMethod method, int errorNumber) {
    switch (method) {
        case PlacementMethod::RenameNoReplace:
            return errorNumber == EINVAL || errorNumber == ENOSYS;
        case PlacementMethod::HardLink:
            return errorNumber == EPERM || errorNumber == EOPNOTSUPP || errorNumber == ENOSYS ||
                   errorNumber == EMLINK;
        case PlacementMethod::ExclusiveClaim:
            return false;
    }
    return false;
}

// One attempt with one method: 0, or -1 with errno (EEXIST: the name is taken).
int placeWith(PlacementMethod method, const std::string &from, const std::string &to) {
    switch (method) {
        case PlacementMethod::RenameNoReplace:
            return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        case PlacementMethod::HardLink:
            if (link(from.c_str(), to.c_str()) != 0) {
                return -1;
            }
            unlink(from.c_str());
            return 0;
        case PlacementMethod::ExclusiveClaim: {
            // The empty claim holds the name against every other writer that
            // creates exclusively, links or renames without replacing; the
            // rename then replaces only the claim.
            const int claim = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (claim < 0) {
                return -1;
            }
            close(claim);
            if (rename(from.c_str(), to.c_str()) != 0) {
                const int renameErrno = errno;
                unlink(to.c_str());
                errno = renameErrno;
                return -1;
            }
            return 0;
        }
    }
    errno = EINVAL;
    return -1;
}

constexpr PlacementMethod kMethodsInOrder[] = {
    PlacementMethod::RenameNoReplace, PlacementMethod::HardLink, PlacementMethod::ExclusiveClaim};

// Places with `method`, or with the next one in order where this file system
// lacks it; `method` is updated to the one that served.
int placeWithoutReplacing(PlacementMethod &method, const std::string &from, const std::string &to) {
    for (const PlacementMethod candidate : kMethodsInOrder) {
        if (candidate < method) {
            continue;
        }
        if (placeWith(candidate, from, to) == 0) {
            method = candidate;
            return 0;
        }
        if (!methodUnsupported(candidate, errno)) {
            return -1;
        }
    }
    return -1;
}

// Saves a scratch file in `directory` under a new name, as a frame is saved,
// and removes it again; `method` becomes the placement method that served.
bool saveProbe(const std::string &directory, PlacementMethod &method, std::string &reason) {
    // A unique name, freed again so that the placement makes it.
    std::string name = directory + "/.qm-capture-probe-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        reason = creationFailureReason(directory, errno);
        return false;
    }
    close(fd);
    unlink(name.c_str());
    PendingFile probe;
    std::string error;
    bool saved = probe.write(name, {'o', 'k'}, error);
    if (saved) {
        const PlaceResult placed = probe.place(name, false, method, error);
        if (placed == PlaceResult::NameTaken) {
            error = ": " + name + " appeared while it was being made";
        }
        saved = placed == PlaceResult::Placed;
        unlink(name.c_str());
        syncDirectory(directory);
    }
    if (!saved) {
        // The reason without the "cannot write <probe>: " the call put before it.
        const size_t colon = error.find(": ");
        reason = colon == std::string::npos ? error : error.substr(colon + 2);
    }
    return saved;
}

}  // namespace

const char *placementMethodName(PlacementMethod method) {
    switch (method) {
        case PlacementMethod::RenameNoReplace:
            return "rename without replacing";
        case PlacementMethod::HardLink:
            return "hard link";
        case PlacementMethod::ExclusiveClaim:
            return "exclusive creation";
    }
    return "";
}

std::string creationFailureReason(const std::string &directory, int errorNumber) {
    const std::string message = std::strerror(errorNumber);
    struct statfs fileSystem {};
    if (statfs(directory.c_str(), &fileSystem) != 0) {
        return message;
    }
    for (const VirtualFileSystem &known : kVirtualFileSystems) {
        if (fileSystem.f_type == known.magic) {
            return std::string("it is on the ") + known.name +
                   " file system, which takes no new files (" + message + ")";
        }
    }
    if (errorNumber == ENOENT) {
        return "the file system there does not let files be created (" + message + ")";
    }
    return message;
}

PendingFile::~PendingFile() {
    if (!temporaryPath_.empty()) {
        unlink(temporaryPath_.c_str());
    }
}

bool PendingFile::write(const std::string &pathHint, const std::vector<uint8_t> &bytes,
                        std::string &error) {
    const std::string directory = directoryOf(pathHint);
    const std::string pattern = directory + "/." + baseNameOf(pathHint) + ".XXXXXX";
    std::string path = pattern;
    int fd = mkostemp(path.data(), O_CLOEXEC);
    std::error_code ignored;
    if (fd < 0 && errno == ENOENT && !std::filesystem::exists(directory, ignored)) {
        // The directory went away during the run (removed by hand, or by
        // another run that saved nothing): the frame still gets saved.
        std::filesystem::create_directories(directory, ignored);
        path = pattern;
        fd = mkostemp(path.data(), O_CLOEXEC);
    }
    if (fd < 0) {
        error = "cannot write " + pathHint + ": " + creationFailureReason(directory, errno);
        return false;
    }
    temporaryPath_ = path;
    // The file is readable like any other new file, not only by its owner.
    fchmod(fd, creationMode());
    const bool written = writeAll(fd, bytes) && fsync(fd) == 0;
    const int writeErrno = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        error = "cannot write " + pathHint + ": " + std::strerror(written ? errno : writeErrno);
        return false;
    }
    return true;
}

PlaceResult PendingFile::place(const std::string &path, bool replace, PlacementMethod &method,
                               std::string &error) {
    if (temporaryPath_.empty()) {
        error = "cannot write " + path + ": nothing was written";
        return PlaceResult::Failed;
    }
    const int placed = replace ? rename(temporaryPath_.c_str(), path.c_str())
                               : placeWithoutReplacing(method, temporaryPath_, path);
    if (placed != 0) {
        if (errno == EEXIST) {
            return PlaceResult::NameTaken;
        }
        error = "cannot write " + path + ": " + std::strerror(errno);
        return PlaceResult::Failed;
    }
    temporaryPath_.clear();
    if (syncDirectory(directoryOf(path)) != 0) {
        error =
            "wrote " + path + " but could not sync its directory to disk: " + std::strerror(errno);
        return PlaceResult::Failed;
    }
    return PlaceResult::Placed;
}

bool prepareOutputDirectory(const std::string &filePath, OutputDirectory &directory,
                            std::string &error) {
    OutputDirectory result;
    result.path = directoryOf(filePath);
    // Made one level at a time, so that only the levels made here are recorded.
    std::filesystem::path partial;
    for (const auto &level : std::filesystem::path(result.path)) {
        partial /= level;
        std::error_code failure;
        if (std::filesystem::is_directory(partial, failure)) {
            continue;
        }
        // Another run may make the same directory at the same moment: then it
        // is there, though not made here.
        std::error_code statFailure;
        const bool made = std::filesystem::create_directory(partial, failure);
        if (!made && std::filesystem::is_directory(partial, statFailure)) {
            continue;
        }
        if (!made) {
            const int code = failure ? failure.value() : EEXIST;
            error = "cannot create output directory " + result.path + ": " +
                    (code == EEXIST
                         ? partial.string() + " is not a directory"
                         : creationFailureReason(
                               partial.parent_path().empty() ? "." : partial.parent_path().string(),
                               code));
            removeMadeDirectories(result);
            return false;
        }
        result.madeDirectories.push_back(partial.string());
    }
    // A scratch file saved the way frames are proves the directory takes them.
    std::string probeError;
    if (!saveProbe(result.path, result.method, probeError)) {
        error = "cannot write to output directory " + result.path + ": " + probeError;
        removeMadeDirectories(result);
        return false;
    }
    directory = result;
    return true;
}

void removeMadeDirectories(const OutputDirectory &directory) {
    for (auto it = directory.madeDirectories.rbegin(); it != directory.madeDirectories.rend();
         ++it) {
        if (rmdir(it->c_str()) != 0) {
            return;
        }
    }
}

bool writeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, bool overwrite,
                         std::string &error, PlacementMethod method) {
    PendingFile file;
    if (!file.write(path, bytes, error)) {
        return false;
    }
    PlacementMethod used = method;
    switch (file.place(path, overwrite, used, error)) {
        case PlaceResult::Placed:
            return true;
        case PlaceResult::NameTaken:
            error = path + " already exists (use --overwrite to replace it)";
            return false;
        case PlaceResult::Failed:
            return false;
    }
    return false;
}

uint64_t freeBytes(const std::string &directory) {
    struct statvfs fileSystem {};
    if (statvfs(directory.c_str(), &fileSystem) != 0 || fileSystem.f_frsize == 0) {
        return std::numeric_limits<uint64_t>::max();
    }
    return static_cast<uint64_t>(fileSystem.f_bavail) * fileSystem.f_frsize;
}
