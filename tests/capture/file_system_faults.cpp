// Preloaded into qm-capture (LD_PRELOAD) to make the file system behave as
// others do or fail as disks do. QM_TEST_FS_FAULTS lists, comma-separated:
//   no-rename-noreplace   renameat2 with RENAME_NOREPLACE fails with EINVAL
//   no-hard-links         link and linkat fail with EPERM (as on FAT)
//   enospc:TEXT           write to a file whose path contains TEXT fails with ENOSPC
//   fsync-eio:TEXT        fsync of a file or directory whose path contains TEXT fails with EIO
//   free-bytes:N          statvfs reports N bytes free to unprivileged writers
// Everything else goes to the C library.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

namespace {

bool faultListed(const char *name, std::string *argument = nullptr) {
    const char *faults = getenv("QM_TEST_FS_FAULTS");
    if (faults == nullptr) {
        return false;
    }
    const std::string list = std::string(",") + faults + ",";
    const std::string plain = std::string(",") + name + ",";
    if (argument == nullptr) {
        return list.find(plain) != std::string::npos;
    }
    const std::string prefix = std::string(",") + name + ":";
    const size_t at = list.find(prefix);
    if (at == std::string::npos) {
        return false;
    }
    const size_t start = at + prefix.size();
    *argument = list.substr(start, list.find(',', start) - start);
    return true;
}

bool descriptorPathContains(int fd, const std::string &text) {
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) {
        return false;
    }
    path[n] = '\0';
    return strstr(path, text.c_str()) != nullptr;
}

bool faultOnDescriptor(const char *name, int fd) {
    std::string text;
    return faultListed(name, &text) && descriptorPathContains(fd, text);
}

template <typename Function>
Function next(const char *symbol) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

}  // namespace

extern "C" {

int renameat2(int fromDirectory, const char *from, int toDirectory, const char *to,
              unsigned int flags) {
    if ((flags & RENAME_NOREPLACE) != 0 && faultListed("no-rename-noreplace")) {
        errno = EINVAL;
        return -1;
    }
    static const auto real =
        next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    return real(fromDirectory, from, toDirectory, to, flags);
}

int link(const char *from, const char *to) {
    if (faultListed("no-hard-links")) {
        errno = EPERM;
        return -1;
    }
    static const auto real = next<int (*)(const char *, const char *)>("link");
    return real(from, to);
}

int linkat(int fromDirectory, const char *from, int toDirectory, const char *to, int flags) {
    if (faultListed("no-hard-links")) {
        errno = EPERM;
        return -1;
    }
    static const auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    return real(fromDirectory, from, toDirectory, to, flags);
}

ssize_t write(int fd, const void *data, size_t size) {
    if (faultOnDescriptor("enospc", fd)) {
        errno = ENOSPC;
        return -1;
    }
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, data, size);
}

int statvfs(const char *path, struct statvfs *result) {
    static const auto real = next<int (*)(const char *, struct statvfs *)>("statvfs");
    const int status = real(path, result);
    std::string bytes;
    if (status == 0 && faultListed("free-bytes", &bytes) && result->f_frsize != 0) {
        result->f_bavail = std::stoull(bytes) / result->f_frsize;
    }
    return status;
}

int fsync(int fd) {
    if (faultOnDescriptor("fsync-eio", fd)) {
        errno = EIO;
        return -1;
    }
    static const auto real = next<int (*)(int)>("fsync");
    return real(fd);
}
}
