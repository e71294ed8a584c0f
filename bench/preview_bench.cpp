// Cost of qm-capture's PNG preview of a full mode-4 frame (2048 x 1536 mosaic)
// of the simulated sky, in its steps: debayer, stretch, PNG encoding, and the
// FITS encoding every frame gets anyway, for scale.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"
#include "tools/capture/fits_writer.h"
#include "imaging/png_preview.h"

namespace {

constexpr int32_t kWidth = 2048;
constexpr int32_t kHeight = 1536;

// A rendered sensor frame of `milliseconds` (the sensor's RGGB, as mode 4
// stores it for a window at an even row and column).
const std::vector<uint16_t> &skyFrame(int64_t milliseconds) {
    static std::map<int64_t, std::vector<uint16_t>> frames;
    std::vector<uint16_t> &frame = frames[milliseconds];
    if (frame.empty()) {
        const simcam::StarField field(simcam::kDefaultSeed);
        simcam::renderSensor(field, simcam::Exposure{.seconds = double(milliseconds) / 1000},
                             frame);
    }
    return frame;
}

void BM_Debayer(benchmark::State &state) {
    const auto &frame = skyFrame(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(debayerBilinear(frame, kWidth, kHeight, "RGGB").data());
    }
}

void BM_MakePreview(benchmark::State &state) {
    const auto &frame = skyFrame(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(makePreview(frame, kWidth, kHeight, "RGGB").pixels.data());
    }
}

void BM_EncodePng(benchmark::State &state) {
    const PreviewImage preview =
        makePreview(skyFrame(state.range(0)), kWidth, kHeight, "RGGB");
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
                        skyFrame(state.range(0)), file, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}

}  // namespace

// Argument: exposure in milliseconds (a frame of noise alone, a short one and
// a deep one, whose stretched skies compress differently).
BENCHMARK(BM_Debayer)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakePreview)->Arg(10)->Arg(1000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePng)->Arg(10)->Arg(1000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFits)->Arg(1000)->Unit(benchmark::kMillisecond);
