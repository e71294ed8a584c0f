#include "imaging/png_encoder.h"

#include "imaging/literal_deflater.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <new>

namespace {

constexpr std::array<uint8_t, 8> kSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr uint8_t kFilterSub = 1;
constexpr uint8_t kColourGrey = 0;
constexpr uint8_t kColourRgb = 2;

void putBigEndian(std::vector<uint8_t> &out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// Length, type, data and the CRC of type and data.
void putChunk(std::vector<uint8_t> &file, const char (&type)[5], const uint8_t *data,
              size_t length) {
    putBigEndian(file, static_cast<uint32_t>(length));
    const size_t typeAt = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data, data + length);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32_z(crc, file.data() + typeAt, 4 + length);
    putBigEndian(file, static_cast<uint32_t>(crc));
}

// Every row with the SUB filter (each byte less the same channel of the pixel
// to its left), in blocks of Huffman-coded literals: on a noisy sky string
// matching and a choice of filter per row find little and cost time. A zlib
// stream around them, as PNG wants.
void deflateRows(const PreviewImage &image, std::vector<uint8_t> &compressed) {
    const size_t rowBytes = static_cast<size_t>(image.width) * static_cast<size_t>(image.channels);
    const size_t step = static_cast<size_t>(image.channels);
    // Blocks of about 256 KiB: each gets a code of its own, and stays in cache
    // between filtering and coding.
    const size_t rowsPerBlock = std::max<size_t>(1, (size_t{256} << 10) / (rowBytes + 1));
    std::vector<uint8_t> filtered(std::min(rowsPerBlock, static_cast<size_t>(image.height)) *
                                  (rowBytes + 1));
    compressed = {0x78, 0x01};  // deflate, 32 KiB window, fastest coding
    LiteralDeflater deflater(compressed);
    uLong checksum = adler32(0L, Z_NULL, 0);
    for (size_t first = 0; first < static_cast<size_t>(image.height); first += rowsPerBlock) {
        const size_t rows = std::min(rowsPerBlock, static_cast<size_t>(image.height) - first);
        for (size_t r = 0; r < rows; ++r) {
            const uint8_t *row = image.pixels.data() + (first + r) * rowBytes;
            uint8_t *to = filtered.data() + r * (rowBytes + 1);
            to[0] = kFilterSub;
            for (size_t i = 0; i < step && i < rowBytes; ++i) {
                to[1 + i] = row[i];
            }
            for (size_t i = step; i < rowBytes; ++i) {
                to[1 + i] = static_cast<uint8_t>(row[i] - row[i - step]);
            }
        }
        const size_t bytes = rows * (rowBytes + 1);
        checksum = adler32_z(checksum, filtered.data(), bytes);
        deflater.addBlock(filtered.data(), bytes, first + rows == static_cast<size_t>(image.height));
    }
    putBigEndian(compressed, static_cast<uint32_t>(checksum));
}

}  // namespace

bool encodePng(const PreviewImage &image, std::vector<uint8_t> &file, std::string &error) {
    const bool knownChannels = image.channels == 1 || image.channels == 3;
    const size_t rowBytes =
        static_cast<size_t>(std::max(image.width, 0)) * static_cast<size_t>(image.channels);
    // Rows and the whole data stay within what one zlib call and one chunk take.
    const bool fits = image.width > 0 && image.height > 0 && knownChannels &&
                      (rowBytes + 1) * static_cast<size_t>(image.height) <
                          static_cast<size_t>(std::numeric_limits<int32_t>::max() / 2);
    if (!fits || image.pixels.size() != rowBytes * static_cast<size_t>(image.height)) {
        error = "cannot make the PNG preview: image size does not match its pixels";
        return false;
    }
    try {
        std::vector<uint8_t> data;
        deflateRows(image, data);
        file.clear();
        file.reserve(data.size() + 64);
        file.insert(file.end(), kSignature.begin(), kSignature.end());
        std::vector<uint8_t> header;
        putBigEndian(header, static_cast<uint32_t>(image.width));
        putBigEndian(header, static_cast<uint32_t>(image.height));
        // Bit depth 8, colour type, deflate, adaptive filtering, no interlace.
        header.insert(header.end(),
                      {8, image.channels == 3 ? kColourRgb : kColourGrey, 0, 0, 0});
        putChunk(file, "IHDR", header.data(), header.size());
        putChunk(file, "IDAT", data.data(), data.size());
        putChunk(file, "IEND", nullptr, 0);
    } catch (const std::bad_alloc &) {
        file.clear();
        error = "cannot make the PNG preview: out of memory";
        return false;
    }
    return true;
}
