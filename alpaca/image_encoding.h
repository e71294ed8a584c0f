// ImageArray in its two transmissions: JSON (Type, Rank, Value[NumX][NumY])
// and ImageBytes (a 44-byte little-endian header, then the elements). Both
// write the samples column by column, the order of ASCOM's ImageArray[x][y];
// cropToColumns puts a frame in that order as it cuts it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alpaca/alpaca_protocol.h"
#include "host/frame_plan.h"

namespace alpaca {

// An image in ASCOM's element order: column x holds numY samples, top first.
struct ColumnImage {
    int32_t numX = 0;
    int32_t numY = 0;
    std::vector<uint16_t> samples;  // samples[x * numY + y]

    uint16_t at(int32_t x, int32_t y) const { return samples[static_cast<size_t>(x) * numY + y]; }
};

// The plan's subframe out of the delivered image (rows of plan.window.width
// samples, top row first, as the driver delivers them), column by column.
// `rows` must hold the window.
ColumnImage cropToColumns(const std::vector<uint16_t> &rows, const FramePlan &plan);

// ImageArrayElementTypes of the ImageBytes header.
enum class ElementType : int32_t { Int32 = 2, UInt16 = 8 };

inline constexpr size_t kImageBytesHeaderSize = 44;
inline constexpr char kImageBytesMimeType[] = "application/imagebytes";

// An ImageArray answer is written piece by piece from the image it shares,
// never whole: the server streams it, so a request thread holds one piece of
// a 6 MB (ImageBytes) or 14 MB (JSON) answer at a time, and the image stays
// alive until its last piece is sent, whatever exposure comes next.
class ImageAnswer {
public:
    virtual ~ImageAnswer() = default;
    // The whole answer's length in bytes, known before any is written.
    virtual size_t size() const = 0;
    // Copies bytes of the answer from `offset` on into `out`, at most
    // `capacity`: the count copied, 0 only at or past the end (or for a
    // capacity of 0). It may copy fewer than fit, to end on a column.
    virtual size_t read(size_t offset, char *out, size_t capacity) const = 0;
};

// The JSON answer with the image as Value: {"Type":2,"Rank":2,"Value":[[..],..],
// then the envelope. Numbers without spaces, as the decimal table writes them.
class ImageArrayJsonAnswer final : public ImageAnswer {
public:
    ImageArrayJsonAnswer(std::shared_ptr<const ColumnImage> image, const ClientIds &ids,
                         uint32_t serverTransactionId);
    size_t size() const override { return size_; }
    size_t read(size_t offset, char *out, size_t capacity) const override;

private:
    // Column x's text ("[..]", with a comma before it after the first) into
    // `out`, which holds columnLength(x) bytes.
    void writeColumn(int32_t x, char *out) const;
    size_t columnStart(int32_t x) const { return x == 0 ? head_.size() : columnEnds_[x - 1]; }

    std::shared_ptr<const ColumnImage> image_;
    std::string head_;
    std::string tail_;
    std::vector<size_t> columnEnds_;  // where each column's text ends in the answer
    size_t size_ = 0;
};

// The ImageBytes answer: the 44-byte header, then the image's elements, which
// are Int32 (as ASCOM defines a camera image) but travel as UInt16, which holds
// every sample.
class ImageBytesAnswer final : public ImageAnswer {
public:
    ImageBytesAnswer(std::shared_ptr<const ColumnImage> image, const ClientIds &ids,
                     uint32_t serverTransactionId);
    size_t size() const override {
        return kImageBytesHeaderSize + image_->samples.size() * sizeof(uint16_t);
    }
    size_t read(size_t offset, char *out, size_t capacity) const override;

private:
    std::shared_ptr<const ColumnImage> image_;
    std::array<char, kImageBytesHeaderSize> header_{};
};

// The header fields in order, as a client reads them.
struct ImageBytesHeader {
    int32_t metadataVersion;
    int32_t errorNumber;
    uint32_t clientTransactionId;
    uint32_t serverTransactionId;
    int32_t dataStart;
    int32_t imageElementType;
    int32_t transmissionElementType;
    int32_t rank;
    int32_t dimension1;
    int32_t dimension2;
    int32_t dimension3;
};
static_assert(sizeof(ImageBytesHeader) == kImageBytesHeaderSize);

// Reads the header of an ImageBytes answer; false when it is too short.
bool readImageBytesHeader(const std::string &answer, ImageBytesHeader &header);

}  // namespace alpaca
