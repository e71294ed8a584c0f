// ImageArray in its two transmissions: JSON (Type, Rank, Value[NumX][NumY])
// and ImageBytes (a 44-byte little-endian header, then the elements). Both
// write the samples column by column, the order of ASCOM's ImageArray[x][y];
// cropToColumns puts a frame in that order as it cuts it.
#pragma once

#include <cstdint>
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

// The JSON answer with the image as Value. Written straight into one string
// sized up front: a full frame is 3 million numbers, too many for a JSON tree.
std::string imageArrayJson(const ColumnImage &image, const ClientIds &ids,
                           uint32_t serverTransactionId);

// The ImageBytes answer: the image's elements are Int32 (as ASCOM defines a
// camera image) but travel as UInt16, which holds every sample.
std::string imageBytes(const ColumnImage &image, const ClientIds &ids,
                       uint32_t serverTransactionId);

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
