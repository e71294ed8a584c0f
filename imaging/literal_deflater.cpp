#include "imaging/literal_deflater.h"

#include <algorithm>
#include <array>
#include <functional>
#include <queue>
#include <utility>

namespace {

constexpr size_t kLiterals = 257;  // the 256 byte values and the end of the block
constexpr size_t kEndOfBlock = 256;
constexpr size_t kDistances = 2;    // the least a dynamic block may declare; never used
constexpr size_t kLengthSymbols = 19;
constexpr unsigned kLongestCode = 15;
constexpr unsigned kLongestLengthCode = 7;
// The order in which a block header gives the code lengths of its code lengths.
constexpr std::array<uint8_t, kLengthSymbols> kLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Depth of every used symbol in a Huffman tree of these weights.
std::vector<uint8_t> treeDepths(const std::vector<uint64_t> &weights) {
    using Item = std::pair<uint64_t, size_t>;  // weight, node; nodes break ties
    std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
    for (size_t s = 0; s < weights.size(); ++s) {
        if (weights[s] != 0) {
            queue.push({weights[s], s});
        }
    }
    std::vector<size_t> parent(2 * weights.size());
    size_t next = weights.size();
    while (queue.size() > 1) {
        const Item a = queue.top();
        queue.pop();
        const Item b = queue.top();
        queue.pop();
        parent[a.second] = parent[b.second] = next;
        queue.push({a.first + b.first, next++});
    }
    // Inner nodes come after their children, the root last.
    std::vector<uint8_t> depth(next, 0);
    for (size_t node = next - 1; node-- > weights.size();) {
        depth[node] = static_cast<uint8_t>(depth[parent[node]] + 1);
    }
    std::vector<uint8_t> lengths(weights.size(), 0);
    for (size_t s = 0; s < weights.size(); ++s) {
        if (weights[s] != 0) {
            lengths[s] = static_cast<uint8_t>(depth[parent[s]] + 1);
        }
    }
    return lengths;
}

// Canonical codes for these lengths, bit-reversed as deflate sends them.
std::vector<uint16_t> canonicalCodes(const std::vector<uint8_t> &lengths) {
    std::array<uint16_t, kLongestCode + 1> perLength{};
    for (const uint8_t l : lengths) {
        ++perLength[l];
    }
    perLength[0] = 0;
    std::array<uint16_t, kLongestCode + 1> nextCode{};
    uint16_t code = 0;
    for (unsigned bits = 1; bits <= kLongestCode; ++bits) {
        code = static_cast<uint16_t>((code + perLength[bits - 1]) << 1);
        nextCode[bits] = code;
    }
    std::vector<uint16_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); ++s) {
        if (const unsigned l = lengths[s]; l != 0) {
            const unsigned c = nextCode[l]++;
            unsigned reversed = 0;
            for (unsigned i = 0; i < l; ++i) {
                reversed |= ((c >> i) & 1u) << (l - 1 - i);
            }
            codes[s] = static_cast<uint16_t>(reversed);
        }
    }
    return codes;
}

}  // namespace

std::vector<uint8_t> huffmanCodeLengths(const std::vector<uint32_t> &counts, unsigned limit) {
    std::vector<uint64_t> weights(counts.begin(), counts.end());
    size_t used = static_cast<size_t>(
        std::count_if(weights.begin(), weights.end(), [](uint64_t w) { return w != 0; }));
    for (size_t s = 0; used < 2 && s < weights.size(); ++s) {
        if (weights[s] == 0) {
            weights[s] = 1;
            ++used;
        }
    }
    // Halving every weight (a used symbol keeps at least 1) flattens the tree
    // until it fits; all weights equal give the shallowest tree there is.
    for (;;) {
        std::vector<uint8_t> lengths = treeDepths(weights);
        if (*std::max_element(lengths.begin(), lengths.end()) <= limit) {
            return lengths;
        }
        for (uint64_t &w : weights) {
            w = (w + 1) / 2;
        }
    }
}

void LiteralDeflater::addBlock(const uint8_t *data, size_t size, bool last) {
    std::vector<uint32_t> counts(kLiterals, 0);
    for (size_t i = 0; i < size; ++i) {
        ++counts[data[i]];
    }
    counts[kEndOfBlock] = 1;
    const std::vector<uint8_t> lengths = huffmanCodeLengths(counts, kLongestCode);
    const std::vector<uint16_t> codes = canonicalCodes(lengths);
    uint64_t literalBits = 0;
    for (size_t s = 0; s < kLiterals; ++s) {
        literalBits += static_cast<uint64_t>(counts[s]) * lengths[s];
    }
    writeHeader(lengths, literalBits, last);
    writeLiterals(data, size, codes, lengths);
    if (last && pendingCount_ % 8 != 0) {
        put(0, 8 - pendingCount_ % 8);
    }
    out_.resize(used_);
}

void LiteralDeflater::writeHeader(const std::vector<uint8_t> &lengths, uint64_t literalBits,
                                  bool last) {
    // The header's list of lengths: the literals', then the two distances'.
    std::vector<uint8_t> allLengths(lengths);
    allLengths.insert(allLengths.end(), kDistances, 1);
    std::vector<uint32_t> lengthCounts(kLengthSymbols, 0);
    for (const uint8_t l : allLengths) {
        ++lengthCounts[l];
    }
    const std::vector<uint8_t> lengthLengths = huffmanCodeLengths(lengthCounts, kLongestLengthCode);
    const std::vector<uint16_t> lengthCodes = canonicalCodes(lengthLengths);
    size_t sentLengthLengths = kLengthSymbols;
    while (sentLengthLengths > 4 && lengthLengths[kLengthOrder[sentLengthLengths - 1]] == 0) {
        --sentLengthLengths;
    }

    // Room for exactly this block's bits: the header, then the literals and
    // the end of the block (literalBits).
    uint64_t bits = 3 + 5 + 5 + 4 + 3 * sentLengthLengths + literalBits;
    for (const uint8_t l : allLengths) {
        bits += lengthLengths[l];
    }
    out_.resize(used_ + static_cast<size_t>((pendingCount_ + bits + 7) / 8));

    put(last ? 1 : 0, 1);
    put(2, 2);  // Huffman codes of the block's own
    put(static_cast<uint32_t>(kLiterals - 257), 5);
    put(static_cast<uint32_t>(kDistances - 1), 5);
    put(static_cast<uint32_t>(sentLengthLengths - 4), 4);
    for (size_t i = 0; i < sentLengthLengths; ++i) {
        put(lengthLengths[kLengthOrder[i]], 3);
    }
    for (const uint8_t l : allLengths) {
        put(lengthCodes[l], lengthLengths[l]);
    }
}

void LiteralDeflater::writeLiterals(const uint8_t *data, size_t size,
                                    const std::vector<uint16_t> &codes,
                                    const std::vector<uint8_t> &lengths) {
    // Each byte's code and length in one word; four bytes out at a time.
    std::array<uint32_t, kLiterals> table{};
    for (size_t s = 0; s < kLiterals; ++s) {
        table[s] = codes[s] | (static_cast<uint32_t>(lengths[s]) << 16);
    }
    uint64_t pending = pending_;
    unsigned count = pendingCount_;
    uint8_t *to = out_.data() + used_;
    const auto add = [&](uint8_t byte) {
        const uint32_t entry = table[byte];
        pending |= static_cast<uint64_t>(entry & 0xffffu) << count;
        count += entry >> 16;
    };
    const auto writeWhole32 = [&] {
        if (count >= 32) {
            to[0] = static_cast<uint8_t>(pending);
            to[1] = static_cast<uint8_t>(pending >> 8);
            to[2] = static_cast<uint8_t>(pending >> 16);
            to[3] = static_cast<uint8_t>(pending >> 24);
            to += 4;
            pending >>= 32;
            count -= 32;
        }
    };
    // Two codes (30 bits at most) join fewer than 32 pending bits before
    // anything is written.
    size_t i = 0;
    for (; i + 1 < size; i += 2) {
        add(data[i]);
        add(data[i + 1]);
        writeWhole32();
    }
    if (i < size) {
        add(data[i]);
        writeWhole32();
    }
    used_ = static_cast<size_t>(to - out_.data());
    pending_ = pending;
    pendingCount_ = count;
    put(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

void LiteralDeflater::put(uint32_t bits, unsigned count) {
    pending_ |= static_cast<uint64_t>(bits) << pendingCount_;
    pendingCount_ += count;
    flushWholeBytes();
}

void LiteralDeflater::flushWholeBytes() {
    while (pendingCount_ >= 8) {
        out_[used_++] = static_cast<uint8_t>(pending_);
        pending_ >>= 8;
        pendingCount_ -= 8;
    }
}
