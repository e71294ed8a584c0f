// qm-alpaca's memory over a night of full frames: its resident memory, open
// files and threads after the first frame and later, with the simulated camera
// delivering at once (0.01 s exposures, 2048 x 1536). Cases: one client reading
// every frame as ImageBytes; one reading JSON; two clients taking turns to
// expose and both reading each frame at once, one as ImageBytes and one as
// JSON. Bound: the resident memory after the last frame within three full
// frames (3 x 6.3 MB) of that after the first, open files and threads as
// after the first.
//
//   alpaca_memory_bench [--frames N] [--case imagebytes|json|two-clients]
//
// Exit status 0 when every case keeps the bound, 3 when one misses it, 1 on a
// failure.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/alpaca/resource_watch.h"

namespace {

using namespace alpacatest;

struct Case {
    const char *name;
    Transmission transmission;
    int clients;
};
constexpr Case kCases[] = {
    {.name = "imagebytes", .transmission = Transmission::ImageBytes, .clients = 1},
    {.name = "json", .transmission = Transmission::Json, .clients = 1},
    {.name = "two-clients", .transmission = Transmission::Alternating, .clients = 2},
};

double megabytes(size_t bytes) { return static_cast<double>(bytes) / 1e6; }

// 1 (not ok), 0 (bound kept) or 3 (bound missed).
int runCase(const Case &which, int frames) {
    FrameLoop loop{.transmission = which.transmission,
                   .clients = which.clients,
                   .frames = frames,
                   .sampleAfter = {}};
    for (int frame : {1, 20, 60, frames / 2, frames}) {
        if (frame >= 1 && frame <= frames &&
            std::find(loop.sampleAfter.begin(), loop.sampleAfter.end(), frame) ==
                loop.sampleAfter.end()) {
            loop.sampleAfter.push_back(frame);
        }
    }
    std::sort(loop.sampleAfter.begin(), loop.sampleAfter.end());
    ServerUnderTest server;
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    if (server.external()) {
        std::fprintf(stderr, "the memory benchmark starts its own server: unset QM_ALPACA_URL\n");
        return 1;
    }
    std::vector<FrameSample> samples;
    std::string error;
    if (!runFrameLoop(server, loop, samples, error)) {
        std::fprintf(stderr, "%s: %s\n", which.name, error.c_str());
        return 1;
    }
    std::printf("\n%s, %d client%s, %d frames\n\n", which.name, which.clients,
                which.clients == 1 ? "" : "s", frames);
    std::printf("| after frame | RSS MB | peak RSS MB | open files | threads |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const FrameSample &sample : samples) {
        std::printf("| %d | %.1f | %.1f | %d | %d |\n", sample.frame,
                    megabytes(sample.resources.residentBytes),
                    megabytes(sample.resources.peakResidentBytes), sample.resources.openFiles,
                    sample.resources.threads);
    }
    const ProcessResources &first = samples[1].resources;
    const ProcessResources &last = samples.back().resources;
    const double growth = megabytes(last.residentBytes) - megabytes(first.residentBytes);
    const bool kept = last.residentBytes <= first.residentBytes + 3 * kFullFrameBytes &&
                      last.openFiles == first.openFiles && last.threads == first.threads;
    std::printf(
        "\ngrowth after frame 1: %.1f MB (bound %.1f MB), open files %+d, threads %+d: %s\n",
        growth, megabytes(3 * kFullFrameBytes), last.openFiles - first.openFiles,
        last.threads - first.threads, kept ? "kept" : "MISSED");
    return kept ? 0 : 3;
}

}  // namespace

int main(int argc, char **argv) {
    int frames = 300;
    const char *only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--case") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--frames N] [--case imagebytes|json|two-clients]\n",
                         argv[0]);
            return 2;
        }
    }
    if (frames < 2) {
        std::fprintf(stderr, "at least 2 frames\n");
        return 2;
    }
    int status = 0;
    bool ran = false;
    for (const Case &which : kCases) {
        if (only != nullptr && std::strcmp(only, which.name) != 0) continue;
        ran = true;
        const int result = runCase(which, frames);
        if (result == 1) return 1;
        status = std::max(status, result);
    }
    if (!ran) {
        std::fprintf(stderr, "no case '%s'\n", only);
        return 2;
    }
    return status;
}
