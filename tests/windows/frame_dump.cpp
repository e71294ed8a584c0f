// Writes one full frame of every binning mode, as a host reads it from the
// driver, to frame-N.raw in the working folder: the samples, row by row,
// 16 bits least significant byte first. Built for Linux and for Windows, so
// that tests/windows/frame_compare.sh can hold the two builds' frames side by
// side; run it with QM_SIM_NOISE=fixed and QM_SIM_TIME_SCALE=0.
//
//   frame_dump [module]   the module defaults to the one beside this program
//
// Prints one line per mode ("mode N: WxH") and exits 0, or names the step that
// failed and exits 1.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/driver_api.h"
#include "host/host_session.h"
#include "host/module_path.h"

namespace {

constexpr int32_t kExposureMs = 1000;
constexpr int32_t kFullWindow = 100000;
// d_IsExposing pauses 200 ms per pending answer: a bound of ten minutes, for
// an emulated processor.
constexpr int kMaxPolls = 3000;

bool fail(const std::string &what) {
    std::fprintf(stderr, "frame_dump: %s\n", what.c_str());
    return false;
}

bool writeSamples(const std::string &path, const std::vector<uint16_t> &samples) {
    std::vector<unsigned char> bytes;
    bytes.reserve(samples.size() * 2);
    for (const uint16_t sample : samples) {
        bytes.push_back(static_cast<unsigned char>(sample & 0xFF));
        bytes.push_back(static_cast<unsigned char>(sample >> 8));
    }
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool dumpMode(const DriverApi &api, uint32_t mode) {
    const std::string label = "mode " + std::to_string(mode);
    if (api.Subframe(0, 0, kFullWindow, kFullWindow, mode) == 0) {
        return fail(label + ": d_Subframe refused the full window");
    }
    const int32_t width = api.GetWidth(0);
    const int32_t height = api.GetHeight(0);
    if (api.StartExposure(kExposureMs, 0) == 0) {
        return fail(label + ": d_StartExposure refused");
    }
    int polls = 0;
    while (api.IsExposing() != 0) {
        if (++polls >= kMaxPolls) {
            return fail(label + ": still exposing after " + std::to_string(polls) + " polls");
        }
    }
    std::vector<uint16_t> samples(static_cast<std::size_t>(width) * height);
    if (api.StartDownload() == 0 || api.ReadImage(samples.data()) == 0 || api.EndDownload(0) == 0) {
        return fail(label + ": the download was refused");
    }
    const std::string path = "frame-" + std::to_string(mode) + ".raw";
    if (!writeSamples(path, samples)) {
        return fail(label + ": could not write " + path);
    }
    std::printf("%s: %dx%d\n", label.c_str(), width, height);
    return true;
}

bool dumpEveryMode(const std::string &modulePath) {
    DriverModule module;
    std::string error;
    if (!loadDriver(modulePath, module, error)) {
        return fail(error);
    }
    const DriverApi &api = module.api;
    bool ok = connectCamera(api, false, error) || fail(error);
    const int32_t modes = api.BinningCount();
    for (int32_t mode = 0; ok && mode < modes; ++mode) {
        ok = dumpMode(api, static_cast<uint32_t>(mode));
    }
    api.Finalize();
    unloadDriver(module);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: frame_dump [module]\n");
        return 2;
    }
    const std::string modulePath = argc == 2 ? argv[1] : findDriverModule({}).path;
    return dumpEveryMode(modulePath) ? 0 : 1;
}
