// Deflate coding of literals alone, fast.
//
// Contract: a LiteralDeflater appends to its output a deflate stream (RFC 1951)
// of the bytes given to addBlock, one block each, every block with a Huffman
// code made for its own bytes and no string matching: the same size of file as
// zlib's Huffman-only strategy gives, several times faster, which is what a
// preview of a noisy sky needs. The stream ends with the block marked last;
// the caller frames it (zlib header and checksum for a PNG). The same bytes
// give the same stream on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LiteralDeflater {
public:
    explicit LiteralDeflater(std::vector<uint8_t> &out) : out_(out), used_(out.size()) {}

    // Codes `size` bytes (at least one) as one block; `last` ends the stream
    // and pads it to a whole byte.
    void addBlock(const uint8_t *data, size_t size, bool last);

private:
    // Makes room for the whole block and writes its header: the block's code
    // lengths, themselves Huffman-coded.
    void writeHeader(const std::vector<uint8_t> &lengths, uint64_t literalBits, bool last);
    // The bytes' codes and the end of the block.
    void writeLiterals(const uint8_t *data, size_t size, const std::vector<uint16_t> &codes,
                       const std::vector<uint8_t> &lengths);
    void put(uint32_t bits, unsigned count);
    void flushWholeBytes();

    std::vector<uint8_t> &out_;
    size_t used_;           // bytes of out_ written so far
    uint64_t pending_ = 0;  // bits not yet written, the first in the lowest
    unsigned pendingCount_ = 0;
};

// Code lengths of a Huffman code for these symbol counts, none longer than
// `limit` bits; unused symbols get 0. At least two symbols get a code, so the
// code is always complete. Exposed for tests.
std::vector<uint8_t> huffmanCodeLengths(const std::vector<uint32_t> &counts, unsigned limit);
