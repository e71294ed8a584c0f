#include "imaging/png_encoder.h"

#include <zlib.h>

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
// to its left), deflated by Huffman coding alone: on noisy sky zlib's string
// matching and a choice of filter per row find little and cost time.
bool deflateRows(const PreviewImage &image, std::vector<uint8_t> &compressed) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15, 8, Z_HUFFMAN_ONLY) != Z_OK) {
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(image.width) * static_cast<size_t>(image.channels);
    const size_t step = static_cast<size_t>(image.channels);
    std::vector<uint8_t> filtered(rowBytes + 1);
    filtered[0] = kFilterSub;
    compressed.resize(deflateBound(&stream, static_cast<uLong>((rowBytes + 1) * image.height)));
    stream.next_out = compressed.data();
    stream.avail_out = static_cast<uInt>(compressed.size());
    bool ok = true;
    for (int32_t r = 0; r < image.height && ok; ++r) {
        const uint8_t *row = image.pixels.data() + static_cast<size_t>(r) * rowBytes;
        for (size_t i = 0; i < step && i < rowBytes; ++i) {
            filtered[1 + i] = row[i];
        }
        for (size_t i = step; i < rowBytes; ++i) {
            filtered[1 + i] = static_cast<uint8_t>(row[i] - row[i - step]);
        }
        stream.next_in = filtered.data();
        stream.avail_in = static_cast<uInt>(filtered.size());
        const int flush = r + 1 == image.height ? Z_FINISH : Z_NO_FLUSH;
        const int result = deflate(&stream, flush);
        ok = (flush == Z_FINISH ? result == Z_STREAM_END : result == Z_OK) &&
             stream.avail_in == 0;
    }
    compressed.resize(stream.total_out);
    deflateEnd(&stream);
    return ok;
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
        if (!deflateRows(image, data)) {
            error = "cannot make the PNG preview: zlib could not compress it";
            file.clear();
            return false;
        }
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
