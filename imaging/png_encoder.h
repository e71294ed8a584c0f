// PNG files of 8-bit images, the same bytes on Linux and Windows.
//
// Contract: encodePng writes an 8-bit grey or RGB image as a complete PNG file
// in memory (one IDAT, no ancillary chunks). The deflate coding is our own
// (literal_deflater.h); zlib gives the checksums, built the same way in both
// builds (zlib1g-dev on Linux, libz-mingw-w64-dev in the Windows build), so the
// same image gives the same file in qm-capture and in the Windows qm-alpaca.exe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PreviewImage {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 1;             // 1 grey, 3 RGB
    std::vector<uint8_t> pixels;  // row-major, channels interleaved
};

// The PNG file, its rows Huffman-coded without string matching: a preview is
// looked at once, so encoding time matters more than a smaller file. False with a
// one-line reason for an image whose size does not match its pixels, or when
// memory runs out.
bool encodePng(const PreviewImage &image, std::vector<uint8_t> &file, std::string &error);
