// Reading a saved FITS file back with cfitsio, for checks.
#pragma once

#include <fitsio.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct FitsContents {
    bool ok = false;
    std::string error;
    int bitpix = 0;
    long width = 0;
    long height = 0;
    std::map<std::string, std::string> keys;  // value text as stored, strings unquoted
    std::vector<uint16_t> pixels;             // stored order, first stored row first
    int dataChecksum = 0;                     // fits_verify_chksum: 1 correct
    int headerChecksum = 0;

    bool has(const std::string &key) const { return keys.count(key) != 0; }
    std::string text(const std::string &key) const {
        const auto it = keys.find(key);
        return it == keys.end() ? std::string() : it->second;
    }
    long integer(const std::string &key) const { return std::stol(text(key)); }
    double real(const std::string &key) const { return std::stod(text(key)); }
};

inline FitsContents readFits(const std::string &path) {
    FitsContents c;
    int status = 0;
    fitsfile *f = nullptr;
    // The disk-file call reads no part of the name as a filter or extension.
    fits_open_diskfile(&f, path.c_str(), READONLY, &status);
    int axesCount = 0;
    long axes[2] = {0, 0};
    fits_get_img_param(f, 2, &c.bitpix, &axesCount, axes, &status);
    c.width = axes[0];
    c.height = axes[1];
    int keyCount = 0;
    fits_get_hdrspace(f, &keyCount, nullptr, &status);
    for (int i = 1; i <= keyCount && status == 0; ++i) {
        char name[FLEN_KEYWORD] = {}, value[FLEN_VALUE] = {}, comment[FLEN_COMMENT] = {};
        fits_read_keyn(f, i, name, value, comment, &status);
        std::string v = value;
        if (v.size() >= 2 && v.front() == '\'') {
            char unquoted[FLEN_VALUE] = {};
            int s = 0;
            fits_read_string_key(f, name, 1, sizeof unquoted, unquoted, nullptr, nullptr, &s);
            if (s == 0) {
                v = unquoted;
            } else {
                char plain[FLEN_VALUE] = {};
                fits_read_key(f, TSTRING, name, plain, nullptr, &s);
                v = plain;
            }
        }
        c.keys[name] = v;
    }
    fits_verify_chksum(f, &c.dataChecksum, &c.headerChecksum, &status);
    if (status == 0 && axesCount == 2) {
        c.pixels.resize(static_cast<size_t>(c.width * c.height));
        int anyNull = 0;
        fits_read_img(f, TUSHORT, 1, static_cast<LONGLONG>(c.pixels.size()), nullptr,
                      c.pixels.data(), &anyNull, &status);
    }
    if (f != nullptr) {
        int closeStatus = 0;
        fits_close_file(f, &closeStatus);
    }
    c.ok = status == 0;
    if (!c.ok) {
        char text[FLEN_STATUS] = {};
        fits_get_errstatus(status, text);
        c.error = path + ": " + text;
    }
    return c;
}
