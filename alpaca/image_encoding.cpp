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

ImageArrayJsonAnswer::ImageArrayJsonAnswer(std::shared_ptr<const ColumnImage> image,
                                           const ClientIds &ids, uint32_t serverTransactionId)
    : image_(std::move(image)),
      head_("{\"Type\":2,\"Rank\":2,\"Value\":["),
      tail_("],\"ClientTransactionID\":" + std::to_string(ids.clientTransactionId) +
            ",\"ServerTransactionID\":" + std::to_string(serverTransactionId) +
            ",\"ErrorNumber\":0,\"ErrorMessage\":\"\"}"),
      columnEnds_(static_cast<size_t>(image_->numX)) {
    // The length of every column's text, from the table: one pass over the
    // image, a few milliseconds for a full frame.
    const DecimalTable &table = decimalTable();
    const uint16_t *sample = image_->samples.data();
    size_t end = head_.size();
    for (int32_t x = 0; x < image_->numX; ++x) {
        // Brackets, a comma before every column but the first, between samples.
        size_t length = 2 + (x != 0 ? 1 : 0) + static_cast<size_t>(image_->numY - 1);
        for (int32_t y = 0; y < image_->numY; ++y, ++sample) {
            length += table.length[*sample];
        }
        end += length;
        columnEnds_[static_cast<size_t>(x)] = end;
    }
    size_ = end + tail_.size();
}

void ImageArrayJsonAnswer::writeColumn(int32_t x, char *out) const {
    const DecimalTable &table = decimalTable();
    if (x != 0) {
        *out++ = ',';
    }
    *out++ = '[';
    const uint16_t *sample = image_->samples.data() + static_cast<size_t>(x) * image_->numY;
    for (int32_t y = 0; y < image_->numY; ++y, ++sample) {
        if (y != 0) {
            *out++ = ',';
        }
        // Exactly the number's bytes: the column may end at the end of `out`.
        const uint8_t length = table.length[*sample];
        std::memcpy(out, table.digits[*sample].data(), length);
        out += length;
    }
    *out = ']';
}

size_t ImageArrayJsonAnswer::read(size_t offset, char *out, size_t capacity) const {
    size_t copied = 0;
    const auto copyFrom = [&](const std::string &text, size_t textStart) {
        const size_t n = std::min(capacity - copied, textStart + text.size() - offset);
        std::memcpy(out + copied, text.data() + (offset - textStart), n);
        copied += n;
        offset += n;
    };
    const size_t valueEnd = size_ - tail_.size();
    if (offset < head_.size() && capacity > 0) {
        copyFrom(head_, 0);
    }
    while (offset >= head_.size() && offset < valueEnd && copied < capacity) {
        const auto x = static_cast<int32_t>(
            std::upper_bound(columnEnds_.begin(), columnEnds_.end(), offset) - columnEnds_.begin());
        const size_t start = columnStart(x);
        const size_t length = columnEnds_[static_cast<size_t>(x)] - start;
        if (offset == start && length <= capacity - copied) {
            writeColumn(x, out + copied);
            copied += length;
            offset += length;
            continue;
        }
        if (copied != 0) {
            break;  // the next read starts on this column
        }
        // A piece that starts inside a column, or smaller than one: the column
        // is written aside and the part asked for copied.
        std::string column(length, '\0');
        writeColumn(x, column.data());
        copyFrom(column, start);
    }
    if (offset >= valueEnd && offset < size_ && copied < capacity) {
        copyFrom(tail_, valueEnd);
    }
    return copied;
}

ImageBytesAnswer::ImageBytesAnswer(std::shared_ptr<const ColumnImage> image, const ClientIds &ids,
                                   uint32_t serverTransactionId)
    : image_(std::move(image)) {
    const uint32_t header[] = {1,  // metadata version
                               0,  // error number
                               ids.clientTransactionId,
                               serverTransactionId,
                               static_cast<uint32_t>(kImageBytesHeaderSize),
                               static_cast<uint32_t>(ElementType::Int32),
                               static_cast<uint32_t>(ElementType::UInt16),
                               2,  // rank
                               static_cast<uint32_t>(image_->numX),
                               static_cast<uint32_t>(image_->numY),
                               0};
    static_assert(sizeof header == kImageBytesHeaderSize);
    for (size_t i = 0; i < std::size(header); ++i) {
        putLittleEndian32(header_.data() + 4 * i, header[i]);
    }
}

size_t ImageBytesAnswer::read(size_t offset, char *out, size_t capacity) const {
    size_t copied = 0;
    if (offset < kImageBytesHeaderSize) {
        copied = std::min(capacity, kImageBytesHeaderSize - offset);
        std::memcpy(out, header_.data() + offset, copied);
        offset += copied;
    }
    const size_t end = std::min(size(), offset + (capacity - copied));
    if (offset >= end) {
        return copied;
    }
    const size_t first = offset - kImageBytesHeaderSize;
    const size_t count = end - offset;
    if constexpr (std::endian::native == std::endian::little) {
        // The samples in memory are already the transmission's bytes.
        const auto *bytes = reinterpret_cast<const unsigned char *>(image_->samples.data());
        std::memcpy(out + copied, bytes + first, count);
    } else {
        for (size_t i = first; i < first + count; ++i) {
            const uint16_t value = image_->samples[i / 2];
            out[copied + i - first] = static_cast<char>(i % 2 == 0 ? value & 0xff : value >> 8);
        }
    }
    return copied + count;
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
