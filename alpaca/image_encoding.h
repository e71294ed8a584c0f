// ImageArray in its two transmissions: JSON (Type, Rank, Value[NumX][NumY])
// and ImageBytes (a 44-byte little-endian header, then the elements). Both
// write the samples column by column, the order of ASCOM's ImageArray[x][y].
#pragma once

#include <cstdint>
#include <string>

#include "alpaca/alpaca_protocol.h"
#include "alpaca/camera_geometry.h"

namespace alpaca {

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
