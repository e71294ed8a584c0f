#include "tools/capture/safe_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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

std::string systemError(int code) { return std::strerror(code); }

// A unique, hidden file beside `path`; -1 with errno set on failure.
int createTemporaryBeside(const std::string &path, std::string &temporaryPath) {
    temporaryPath = directoryOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    return mkstemp(temporaryPath.data());
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

// rename() that fails with EEXIST instead of replacing an existing file.
int renameNoReplace(const std::string &from, const std::string &to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // File systems without RENAME_NOREPLACE: a hard link refuses an existing name too.
    if (link(from.c_str(), to.c_str()) != 0) {
        return -1;
    }
    unlink(from.c_str());
    return 0;
}

}  // namespace

bool prepareOutputDirectory(const std::string &path, std::string &error) {
    const std::string directory = directoryOf(path);
    std::error_code failure;
    std::filesystem::create_directories(directory, failure);
    if (failure) {
        error = "cannot create output directory " + directory + ": " + failure.message();
        return false;
    }
    std::string probe;
    const int fd = createTemporaryBeside(path, probe);
    if (fd < 0) {
        error = "cannot write to output directory " + directory + ": " + systemError(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

bool writeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, bool overwrite,
                         std::string &error) {
    if (!overwrite && access(path.c_str(), F_OK) == 0) {
        error = path + " already exists (use --overwrite to replace it)";
        return false;
    }
    std::string temporary;
    const int fd = createTemporaryBeside(path, temporary);
    if (fd < 0) {
        error = "cannot write " + path + ": " + systemError(errno);
        return false;
    }
    // The file is readable like any other new file, not only by its owner.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    const bool written = writeAll(fd, bytes) && fsync(fd) == 0;
    const int writeErrno = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        unlink(temporary.c_str());
        error = "cannot write " + path + ": " + systemError(written ? errno : writeErrno);
        return false;
    }
    const int renamed =
        overwrite ? rename(temporary.c_str(), path.c_str()) : renameNoReplace(temporary, path);
    if (renamed != 0) {
        const int renameErrno = errno;
        unlink(temporary.c_str());
        error = renameErrno == EEXIST ? path + " already exists (use --overwrite to replace it)"
                                      : "cannot write " + path + ": " + systemError(renameErrno);
        return false;
    }
    return true;
}
