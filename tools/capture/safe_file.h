// Writing output so that nothing is lost: a file appears complete or not at all,
// and an existing file is replaced only when asked to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Makes the directory of `path` if it is missing and proves it writable by
// creating and removing a scratch file there (permission bits alone say little,
// e.g. for root or on a read-only mount). False with a one-line reason.
bool prepareOutputDirectory(const std::string &path, std::string &error);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it to `path`. Without `overwrite` an existing `path` is left alone and
// the call fails; the temporary file never survives a failure.
bool writeFileAtomically(const std::string &path, const std::vector<uint8_t> &bytes, bool overwrite,
                         std::string &error);
