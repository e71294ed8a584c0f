#include "tools/capture/fits_writer.h"

#include <fitsio.h>

#include <cstdlib>

namespace {

// cfitsio keeps a memory file in a buffer it grows with realloc; this owns it.
struct MemoryFile {
    void *buffer = nullptr;
    size_t size = 0;
    ~MemoryFile() { std::free(buffer); }
};

std::string fitsError(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return text;
}

void putText(fitsfile *f, const char *key, const std::string &value, const char *comment,
             int &status) {
    fits_update_key_str(f, key, value.c_str(), comment, &status);
}

void putInteger(fitsfile *f, const char *key, long long value, const char *comment, int &status) {
    fits_update_key_lng(f, key, value, comment, &status);
}

// Significant digits of a micrometre value, written without trailing zeros.
constexpr int kMicronDigits = -7;

void putMicrons(fitsfile *f, const char *key, double value, const char *comment, int &status) {
    fits_update_key_dbl(f, key, value, kMicronDigits, comment, &status);
}

void writeKeywords(fitsfile *f, const FrameDescription &frame, int &status) {
    putText(f, "IMAGETYP", frame.imageType, "frame type", status);
    fits_update_key_fixdbl(f, "EXPTIME", frame.exposureSeconds, 3, "[s] exposure length", &status);
    putText(f, "DATE-OBS", frame.dateObs, "exposure start (UTC)", status);
    putText(f, "TIMESYS", "UTC", "time scale of DATE-OBS and DATE", status);
    putText(f, "DATE", frame.date, "file written (UTC)", status);
    putText(f, "INSTRUME", frame.instrument, "camera, as the driver names it", status);
    putText(f, "DRIVER", frame.driverName, "camera driver", status);
    putText(f, "SWCREATE", "qm-capture", "program that wrote this file", status);
    putText(f, "READOUTM", frame.modeName, "binning mode", status);
    putInteger(f, "BINMODE", frame.mode, "binning mode number", status);
    putInteger(f, "XBINNING", frame.binning, "binning factor, columns", status);
    putInteger(f, "YBINNING", frame.binning, "binning factor, rows", status);
    putInteger(f, "XORGSUBF", frame.originX, "window origin, binned columns", status);
    putInteger(f, "YORGSUBF", frame.originY, "window origin, binned rows", status);
    if (frame.pixelSizeMicrons > 0) {
        const double binned = frame.pixelSizeMicrons * frame.binning;
        putMicrons(f, "PIXSIZE1", frame.pixelSizeMicrons, "[um] sensor pixel size, columns",
                   status);
        putMicrons(f, "PIXSIZE2", frame.pixelSizeMicrons, "[um] sensor pixel size, rows", status);
        putMicrons(f, "XPIXSZ", binned, "[um] binned pixel size, columns", status);
        putMicrons(f, "YPIXSZ", binned, "[um] binned pixel size, rows", status);
    }
    putText(f, "ROWORDER", "TOP-DOWN", "first stored row is the driver's row 0", status);
    if (!frame.bayerPattern.empty()) {
        putText(f, "BAYERPAT", frame.bayerPattern, "colours of the first two stored rows", status);
        putInteger(f, "XBAYROFF", 0, "BAYERPAT starts at the first column", status);
        putInteger(f, "YBAYROFF", 0, "BAYERPAT starts at the first stored row", status);
    }
    if (!frame.object.empty()) {
        putText(f, "OBJECT", frame.object, "target", status);
    }
}

}  // namespace

bool encodeFits(const FrameDescription &frame, const std::vector<uint16_t> &pixels,
                std::vector<uint8_t> &file, std::string &error) {
    if (frame.width <= 0 || frame.height <= 0 ||
        pixels.size() != static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height)) {
        error = "frame size does not match its pixels";
        return false;
    }
    MemoryFile memory;
    memory.size = 2880;
    // Zero-filled: cfitsio reads the header record it is about to complete
    // (looking for blank fill after END) before it has written all of it.
    memory.buffer = std::calloc(1, memory.size);
    if (memory.buffer == nullptr) {
        error = "out of memory for the FITS file";
        return false;
    }
    int status = 0;
    fitsfile *f = nullptr;
    fits_create_memfile(&f, &memory.buffer, &memory.size, 2880 * 64, std::realloc, &status);
    long axes[2] = {frame.width, frame.height};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    writeKeywords(f, frame, status);
    // cfitsio subtracts BZERO while writing unsigned values; it does not change them.
    fits_write_img(f, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()),
                   const_cast<uint16_t *>(pixels.data()), &status);
    fits_write_chksum(f, &status);
    LONGLONG headerStart = 0, dataStart = 0, dataEnd = 0;
    fits_flush_file(f, &status);
    fits_get_hduaddrll(f, &headerStart, &dataStart, &dataEnd, &status);
    const int writeStatus = status;
    if (f != nullptr) {
        int closeStatus = 0;
        fits_close_file(f, &closeStatus);
        if (status == 0) {
            status = closeStatus;
        }
    }
    if (writeStatus != 0 || status != 0) {
        error = "cannot make the FITS file: " + fitsError(writeStatus != 0 ? writeStatus : status);
        return false;
    }
    // The data unit ends padded to a whole 2880-byte record: that is the file.
    const auto *bytes = static_cast<const uint8_t *>(memory.buffer);
    const auto length = static_cast<size_t>((dataEnd + 2879) / 2880 * 2880);
    if (length > memory.size) {
        error = "cannot make the FITS file: unexpected size";
        return false;
    }
    file.assign(bytes, bytes + length);
    return true;
}
