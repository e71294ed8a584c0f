// Cost of qm-capture's PNG preview of a full mode-4 frame (2048 x 1536 mosaic)
// of the simulated sky, in its steps: debayer, stretch, PNG encoding, and the
// FITS encoding every frame gets anyway, for scale.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"
#include "tools/capture/fits_writer.h"
#include "imaging/png_preview.h"

namespace {

constexpr int32_t kWidth = 2048;
constexpr int32_t kHeight = 1536;

// A rendered sensor frame of `seconds` (the sensor's RGGB, as mode 4 stores it
// for a window at an even row and column).
const std::vector<uint16_t> &skyFrame(int seconds) {
    static std::vector<uint16_t> frames[2];
    std::vector<uint16_t> &frame = frames[seconds > 1 ? 1 : 0];
    if (frame.empty()) {
        const simcam::StarField field(simcam::kDefaultSeed);
        simcam::renderSensor(field, simcam::Exposure{.seconds = double(seconds)}, frame);
    }
    return frame;
}

void BM_Debayer(benchmark::State &state) {
    const auto &frame = skyFrame(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(debayerBilinear(frame, kWidth, kHeight, "RGGB").data());
    }
}

void BM_MakePreview(benchmark::State &state) {
    const auto &frame = skyFrame(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(makePreview(frame, kWidth, kHeight, "RGGB").pixels.data());
    }
}

void BM_EncodePng(benchmark::State &state) {
    const PreviewImage preview =
        makePreview(skyFrame(static_cast<int>(state.range(0))), kWidth, kHeight, "RGGB");
    std::vector<uint8_t> file;
    std::string error;
    for (auto _ : state) {
        if (!encodePng(preview, file, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
}

void BM_EncodeFits(benchmark::State &state) {
    FrameDescription frame;
    frame.plan = planFrame({0, 0, kWidth, kHeight}, 4);
    std::vector<uint8_t> file;
    std::string error;
    for (auto _ : state) {
        if (!encodeFits(frame, std::chrono::system_clock::now(),
                        skyFrame(static_cast<int>(state.range(0))), file, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}

}  // namespace

// Argument: exposure in seconds (a short frame and a deep one, whose stretched
// sky compresses differently).
BENCHMARK(BM_Debayer)->Arg(1)->Arg(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakePreview)->Arg(1)->Arg(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePng)->Arg(1)->Arg(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFits)->Arg(1)->Unit(benchmark::kMillisecond);
