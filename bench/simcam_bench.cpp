// Speed of the simulated camera: building a star field, rendering one sensor
// frame, and a whole request through the SDK exports at time scale 0 (render and
// delivery on the camera's thread, as the driver sees it).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "camera/ccd_video_api.h"
#include "readout/frame_geometry.h"
#include "simcam/sensor_frame.h"
#include "simcam/star_field.h"

namespace {

void BM_BuildStarField(benchmark::State &state) {
    uint32_t seed = 1;
    for (auto _ : state) {
        simcam::StarField field(seed++);
        benchmark::DoNotOptimize(field.lightRates().data());
    }
}
BENCHMARK(BM_BuildStarField)->Unit(benchmark::kMillisecond);

void BM_RenderSensor(benchmark::State &state) {
    const simcam::StarField field(simcam::kDefaultSeed);
    const simcam::Exposure exposure{.seconds = state.range(0) / 1000.0};
    std::vector<uint16_t> samples;
    for (auto _ : state) {
        simcam::renderSensor(field, exposure, samples);
        benchmark::DoNotOptimize(samples.data());
    }
    // A frame that rendered nothing would be all zeros.
    if (samples[kSensorWidth * 100 + 100] == 0) {
        state.SkipWithError("empty frame");
    }
    state.SetItemsProcessed(state.iterations() * simcam::kSensorSamples);
}
// Argument: exposure, milliseconds. 10 ms is a live-video frame.
BENCHMARK(BM_RenderSensor)->Arg(10)->Arg(100)->Arg(1000)->Arg(60000)->Unit(benchmark::kMillisecond);

// The row-pair readout of preview mode 2, rendered directly at half the rows.
void BM_RenderRowPairs(benchmark::State &state) {
    const simcam::StarField field(simcam::kDefaultSeed);
    simcam::Exposure exposure{.seconds = state.range(0) / 1000.0};
    std::vector<uint16_t> samples;
    for (auto _ : state) {
        // A new draw each time, as in a live stream.
        ++exposure.noiseDraw;
        simcam::renderRowPairs(field, exposure, samples);
        benchmark::DoNotOptimize(samples.data());
    }
    if (samples[kSensorWidth * 100 + 100] == 0) {
        state.SkipWithError("empty frame");
    }
    state.SetItemsProcessed(state.iterations() * simcam::kRowPairSamples);
}
BENCHMARK(BM_RenderRowPairs)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_RequestToDelivery(benchmark::State &state) {
    ::setenv("QM_SIM_TIME_SCALE", "0", 1);
    ::unsetenv("QM_SIM_FAULT");
    const auto previewMode = static_cast<int32_t>(state.range(0));
    std::vector<uint8_t> frame(kRawFrameBytes);
    if (YCCDInitialVideo(0) == 0 || YCCDStartView() == 0) {
        state.SkipWithError("camera did not open");
        return;
    }
    YCCDSetExposure(static_cast<int32_t>(state.range(1)));
    for (auto _ : state) {
        YCCDGetImageData(previewMode, frame.data());
        while (YCCDGetImageDataState() == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    YCCDReleaseVideo();
}
// Arguments: preview mode, exposure value. Values 5 (mode 0) and 20 (mode 2) are
// 10 ms exposures, the live-video case; 500 is 1 s and 0.25 s.
BENCHMARK(BM_RequestToDelivery)
    ->Args({0, 5})
    ->Args({2, 20})
    ->Args({0, 500})
    ->Args({2, 500})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// YCCDGetImageData replacing a request that is still rendering or waiting: the
// call cancels and joins the camera's thread, then starts the next one.
void BM_ReplacePendingRequest(benchmark::State &state) {
    ::setenv("QM_SIM_TIME_SCALE", "1", 1);
    ::unsetenv("QM_SIM_FAULT");
    std::vector<uint8_t> frame(kRawFrameBytes);
    if (YCCDInitialVideo(0) == 0 || YCCDStartView() == 0) {
        state.SkipWithError("camera did not open");
        return;
    }
    YCCDSetExposure(1000000);
    for (auto _ : state) {
        YCCDGetImageData(0, frame.data());
    }
    YCCDReleaseVideo();
}
BENCHMARK(BM_ReplacePendingRequest)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
