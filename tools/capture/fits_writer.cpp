#include "tools/capture/fits_writer.h"

#include <fitsio.h>

#include <cstdlib>

#include "host/utc_time.h"
#include "imaging/fits_keyword_writer.h"

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

}  // namespace

bool encodeFits(const FrameDescription &frame, std::chrono::system_clock::time_point written,
                const std::vector<uint16_t> &pixels, std::vector<uint8_t> &file,
                std::string &error) {
    const Subframe &size = frame.plan.subframe;
    if (size.width <= 0 || size.height <= 0 ||
        pixels.size() != static_cast<size_t>(size.width) * static_cast<size_t>(size.height)) {
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
    long axes[2] = {size.width, size.height};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    writeFitsKeywords(f, frameKeywords(frame), status);
    fits_update_key_str(f, "DATE", utcTimeText(written).c_str(), "file written (UTC)", &status);
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
