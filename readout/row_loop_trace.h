// Every address the row loops read or prefetch passes through traceRead first.
// In builds with QM_TRACE_ROW_LOOP_ADDRESSES (a test library of its own) it is
// reported to traceRowLoopRead, which the test linking that library defines and
// checks against the bytes the window reads: prefetches and masked loads, which
// neither fault nor show to a sanitizer, included. Elsewhere it compiles away.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(QM_TRACE_ROW_LOOP_ADDRESSES)
// `bytes` bytes from `address`: 1 for a prefetch, the span of the lanes read
// for a masked load.
void traceRowLoopRead(const uint8_t *address, std::size_t bytes);
#endif

namespace {

inline void traceRead([[maybe_unused]] const uint8_t *address, [[maybe_unused]] std::size_t bytes) {
#if defined(QM_TRACE_ROW_LOOP_ADDRESSES)
    traceRowLoopRead(address, bytes);
#endif
}

}  // namespace
