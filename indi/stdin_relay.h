// What indiserver sends the driver reaches libindi's reader of standard input
// through a relay of our own, which adds a newline between messages whenever
// the line has been quiet for a while.
//
// Why: libindi waits for indiserver's answer to each BLOB before it sends the
// next. In 1.9, a thread other than the event loop (the CCD's image upload,
// the stream manager's preview) waits for it by blocking in select() on
// standard input, while the event loop reads the same input. When the event
// loop takes the answer first, the waiting thread sleeps until something else
// arrives: an image waits, live video stops, and a recording of a set number
// of frames never ends, since the event loop then waits for the stuck preview.
// Nothing else may come for as long as the client is quiet. The newline,
// ignored between messages, wakes the waiting thread, which then finds its
// answer; the read end is non-blocking, so the thread that finds nothing to
// read goes back to waiting instead of hanging in read().
#pragma once

#include <chrono>

namespace qmindi {

// How long the line stays quiet before a newline is added.
inline constexpr std::chrono::milliseconds kQuietWake{250};

// Copies `upstream` to `downstream` until `upstream` ends or fails, then
// closes `downstream`. Bytes pass on unchanged and at once; a newline is added
// only after `quietWake` without input and only between whole XML elements,
// never inside one.
void relayMessages(int upstream, int downstream, std::chrono::milliseconds quietWake);

// Puts the relay in front of standard input: the original input is read by a
// thread of its own, and fd 0 becomes the (non-blocking) read end of a pipe it
// writes. Call before libindi's main() starts reading. False, with standard
// input left as it is, when that cannot be set up.
bool relayStandardInput();

}  // namespace qmindi
