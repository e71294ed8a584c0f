// What qm-alpaca holds over many frames: its resident memory, open files and
// threads (from /proc, Linux), sampled while a client loop exposes full frames
// and reads them as ImageBytes, as JSON or both. The memory benchmark prints
// the samples; the bounded-resources test holds them to the bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/alpaca/alpaca_harness.h"

namespace alpacatest {

struct ProcessResources {
    bool read = false;             // false: /proc had no such process
    size_t residentBytes = 0;      // VmRSS
    size_t peakResidentBytes = 0;  // VmHWM
    int openFiles = 0;             // entries of /proc/PID/fd
    int threads = 0;               // entries of /proc/PID/task
};

ProcessResources processResources(int pid);

// The process once the connections a client closed are gone on its side too:
// sampled until its open files and threads match `reference` (or stop
// changing, without one), for at most `patience`.
ProcessResources settledResources(int pid, const ProcessResources *reference,
                                  std::chrono::milliseconds patience = std::chrono::seconds(2));

// One full frame is 2048 x 1536 16-bit samples.
inline constexpr size_t kFullFrameBytes = size_t{2048} * 1536 * 2;

enum class Transmission { ImageBytes, Json, Alternating };

struct FrameLoop {
    Transmission transmission = Transmission::Alternating;
    // Clients take turns to expose; every client reads every frame, all at
    // once. With Alternating, the frame's number and the client's choose the
    // format, so two clients read the two formats side by side.
    int clients = 1;
    int frames = 60;
    std::vector<int> sampleAfter;  // frame numbers, 1 for the first
};

struct FrameSample {
    int frame = 0;  // 0: before the first exposure
    ProcessResources resources;
};

// Connects the clients, selects the full frame and runs the loop, checking the
// size and framing of every image. The samples in order (the first before any
// exposure), or false with `error`. Every sample after the first frame's waits
// for its open files and threads to match that one's (connections closing).
bool runFrameLoop(const ServerUnderTest &server, const FrameLoop &loop,
                  std::vector<FrameSample> &samples, std::string &error);

}  // namespace alpacatest
