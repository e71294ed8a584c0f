#include "alpaca/image_encoding.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace alpaca {

ColumnImage cropToColumns(const std::vector<uint16_t> &rows, const FramePlan &plan) {
    const int32_t numX = plan.subframe.width;
    const int32_t numY = plan.subframe.height;
    ColumnImage image{.numX = numX,
                      .numY = numY,
                      .samples = std::vector<uint16_t>(static_cast<size_t>(numX) * numY)};
    const size_t stride = static_cast<size_t>(plan.window.width);
    // Blocks of rows keep both the reads and the transposed writes in cache.
    constexpr int32_t kBlock = 64;
    for (int32_t y0 = 0; y0 < numY; y0 += kBlock) {
        const int32_t y1 = std::min(numY, y0 + kBlock);
        for (int32_t x = 0; x < numX; ++x) {
            const uint16_t *source =
                rows.data() + static_cast<size_t>(plan.cropY) * stride + plan.cropX + x;
            uint16_t *column = image.samples.data() + static_cast<size_t>(x) * numY;
            for (int32_t y = y0; y < y1; ++y) {
                column[y] = source[static_cast<size_t>(y) * stride];
            }
        }
    }
    return image;
}

namespace {

// Decimal text of every 16-bit value, made once: writing a sample becomes
// one table look-up and a short copy.
struct DecimalTable {
    std::array<std::array<char, 5>, 65536> digits{};
    std::array<uint8_t, 65536> length{};

    DecimalTable() {
        for (uint32_t value = 0; value < 65536; ++value) {
            char text[8];
            int n = 0;
            uint32_t v = value;
            do {
                text[n++] = static_cast<char>('0' + v % 10);
                v /= 10;
            } while (v != 0);
            for (int i = 0; i < n; ++i) {
                digits[value][i] = text[n - 1 - i];
            }
            length[value] = static_cast<uint8_t>(n);
        }
    }
};

const DecimalTable &decimalTable() {
    static const DecimalTable table;
    return table;
}

void putLittleEndian32(char *out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<char>(value >> (8 * i));
    }
}

uint32_t getLittleEndian32(const char *in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
    }
    return value;
}

}  // namespace

std::string imageArrayJson(const ColumnImage &image, const ClientIds &ids,
                           uint32_t serverTransactionId) {
    const DecimalTable &table = decimalTable();
    const size_t count = image.samples.size();
    const std::string tail =
        "],\"ClientTransactionID\":" + std::to_string(ids.clientTransactionId) +
        ",\"ServerTransactionID\":" + std::to_string(serverTransactionId) +
        ",\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
    static constexpr char kHead[] = "{\"Type\":2,\"Rank\":2,\"Value\":[";
    // At most five digits and a comma per sample, two brackets per column.
    std::string text(
        sizeof kHead - 1 + count * 6 + static_cast<size_t>(image.numX) * 3 + tail.size(), '\0');
    char *out = text.data();
    std::memcpy(out, kHead, sizeof kHead - 1);
    out += sizeof kHead - 1;
    const uint16_t *sample = image.samples.data();
    for (int32_t x = 0; x < image.numX; ++x) {
        if (x != 0) {
            *out++ = ',';
        }
        *out++ = '[';
        for (int32_t y = 0; y < image.numY; ++y, ++sample) {
            if (y != 0) {
                *out++ = ',';
            }
            std::memcpy(out, table.digits[*sample].data(), 5);
            out += table.length[*sample];
        }
        *out++ = ']';
    }
    std::memcpy(out, tail.data(), tail.size());
    out += tail.size();
    text.resize(static_cast<size_t>(out - text.data()));
    return text;
}

std::string imageBytes(const ColumnImage &image, const ClientIds &ids,
                       uint32_t serverTransactionId) {
    const size_t count = image.samples.size();
    std::string bytes(kImageBytesHeaderSize + count * 2, '\0');
    const uint32_t header[] = {1,  // metadata version
                               0,  // error number
                               ids.clientTransactionId,
                               serverTransactionId,
                               static_cast<uint32_t>(kImageBytesHeaderSize),
                               static_cast<uint32_t>(ElementType::Int32),
                               static_cast<uint32_t>(ElementType::UInt16),
                               2,  // rank
                               static_cast<uint32_t>(image.numX),
                               static_cast<uint32_t>(image.numY),
                               0};
    for (size_t i = 0; i < std::size(header); ++i) {
        putLittleEndian32(bytes.data() + 4 * i, header[i]);
    }
    char *out = bytes.data() + kImageBytesHeaderSize;
    const uint16_t *samples = image.samples.data();
    if constexpr (std::endian::native == std::endian::little) {
        // The samples in memory are already the transmission's bytes.
        std::memcpy(out, samples, count * sizeof(uint16_t));
    } else {
        for (size_t i = 0; i < count; ++i) {
            out[2 * i] = static_cast<char>(samples[i] & 0xff);
            out[2 * i + 1] = static_cast<char>(samples[i] >> 8);
        }
    }
    return bytes;
}

bool readImageBytesHeader(const std::string &answer, ImageBytesHeader &header) {
    if (answer.size() < kImageBytesHeaderSize) {
        return false;
    }
    uint32_t fields[11];
    for (size_t i = 0; i < 11; ++i) {
        fields[i] = getLittleEndian32(answer.data() + 4 * i);
    }
    header = {static_cast<int32_t>(fields[0]),
              static_cast<int32_t>(fields[1]),
              fields[2],
              fields[3],
              static_cast<int32_t>(fields[4]),
              static_cast<int32_t>(fields[5]),
              static_cast<int32_t>(fields[6]),
              static_cast<int32_t>(fields[7]),
              static_cast<int32_t>(fields[8]),
              static_cast<int32_t>(fields[9]),
              static_cast<int32_t>(fields[10])};
    return true;
}

}  // namespace alpaca
