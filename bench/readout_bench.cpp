// Readout speed against memcpy of the raw bytes each mode reads, measured in the
// same run. Prints Google Benchmark's results, then a table of medians:
//   ratio = readout time / memcpy time of the mode's raw rows
// for the full window of every mode, and the cost per host sample of windows
// from 64 x 64 up to the full frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "readout/binning_mode.h"
#include "readout/frame_geometry.h"
#include "readout/readout.h"
#include "readout/window.h"

namespace {

// Goals for readout time over memcpy time, full window.
constexpr double kCopyGoal = 1.0;     // mode 4 writes as many bytes as it reads
constexpr double kBinnedGoal = 0.75;  // the others write a half or less

struct Buffers {
    std::vector<uint8_t> raw = std::vector<uint8_t>(kRawFrameBytes);
    std::vector<uint8_t> copyTarget = std::vector<uint8_t>(kRawFrameBytes);
    std::vector<uint16_t> image = std::vector<uint16_t>(kSensorWidth * kSensorHeight);
};

Buffers &buffers() {
    static Buffers b = [] {
        Buffers fresh;
        std::mt19937 random(1);
        for (uint8_t &byte : fresh.raw) {
            byte = static_cast<uint8_t>(random());
        }
        return fresh;
    }();
    return b;
}

// Raw rows the full window of a mode reads: 1536 from the full frame, 768 from
// the frame of SDK preview mode 2 (modes 3 and 0).
int32_t rawRowsRead(uint32_t mode) { return kBinningModes[mode].previewMode == 2 ? 768 : 1536; }

ReadoutWindow fullWindow(uint32_t mode) {
    const auto factor = static_cast<int32_t>(kBinningModes[mode].binFactor);
    return {0, 0, kSensorWidth / factor, kSensorHeight / factor};
}

// A centred window of at most side x side binned pixels, size kept to the mode's rounding.
ReadoutWindow centredWindow(uint32_t mode, int32_t side) {
    const ReadoutWindow full = fullWindow(mode);
    const auto mask = ~static_cast<int32_t>(kBinningModes[mode].roundMask);
    const int32_t width = std::min(side, full.width);
    const int32_t height = std::min(side, full.height);
    return {((full.width - width) / 2) & mask, ((full.height - height) / 2) & mask, width, height};
}

// Copies the mode's raw rows, starting at raw row 1 as the readout does.
void benchMemcpy(benchmark::State &state, int32_t rows) {
    Buffers &b = buffers();
    const std::size_t bytes = static_cast<std::size_t>(rows) * kRawRowBytes;
    for (auto _ : state) {
        std::memcpy(b.copyTarget.data(), b.raw.data() + kRawRowBytes, bytes);
        benchmark::DoNotOptimize(b.copyTarget.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

enum class Road { Reference, Fast };

// One road of the readout; the image is checked against the reference once the
// timing is done, so a fast result that differs cannot pass unnoticed.
void benchReadout(benchmark::State &state, uint32_t mode, ReadoutWindow window, Road road,
                  SimdLevel level) {
    Buffers &b = buffers();
    const std::size_t samples = static_cast<std::size_t>(window.width) * window.height;
    for (auto _ : state) {
        if (road == Road::Reference) {
            readFrameReference(mode, window, b.raw.data(), b.image.data());
        } else {
            readFrameWith(level, mode, window, b.raw.data(), b.image.data());
        }
        benchmark::DoNotOptimize(b.image.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
    if (road == Road::Fast) {
        std::vector<uint16_t> expected(samples);
        readFrameReference(mode, window, b.raw.data(), expected.data());
        if (!std::equal(expected.begin(), expected.end(), b.image.begin())) {
            state.SkipWithError("image differs from the reference");
        }
    }
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return -1.0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// memcpy and the fast readout of the full window in turn, so that each pair
// is timed under the same load on the machine. Each side runs once untimed
// first: the write-back of what the other side left in the caches is not
// charged to it, as in a benchmark of its own. The counters give the medians
// over the iterations.
void benchPaired(benchmark::State &state, uint32_t mode, SimdLevel level) {
    using Clock = std::chrono::steady_clock;
    using Micros = std::chrono::duration<double, std::micro>;
    constexpr int kTimedRuns = 2;
    Buffers &b = buffers();
    const ReadoutWindow window = fullWindow(mode);
    const std::size_t bytes = static_cast<std::size_t>(rawRowsRead(mode)) * kRawRowBytes;
    const auto copy = [&] {
        std::memcpy(b.copyTarget.data(), b.raw.data() + kRawRowBytes, bytes);
        benchmark::ClobberMemory();
    };
    const auto readout = [&] {
        readFrameWith(level, mode, window, b.raw.data(), b.image.data());
        benchmark::ClobberMemory();
    };
    const auto timed = [](const auto &run) {
        run();
        const auto start = Clock::now();
        for (int i = 0; i < kTimedRuns; ++i) {
            run();
        }
        return Micros(Clock::now() - start).count() / kTimedRuns;
    };
    std::vector<double> copyTimes;
    std::vector<double> readoutTimes;
    std::vector<double> ratios;
    for (auto _ : state) {
        const double copyTime = timed(copy);
        const double readoutTime = timed(readout);
        copyTimes.push_back(copyTime);
        readoutTimes.push_back(readoutTime);
        ratios.push_back(readoutTime / copyTime);
        state.SetIterationTime((copyTime + readoutTime) * kTimedRuns * 1e-6);
    }
    state.counters["memcpy_us"] = median(copyTimes);
    state.counters["readout_us"] = median(readoutTimes);
    state.counters["ratio"] = median(ratios);
}

std::string windowName(const ReadoutWindow &w) {
    return std::to_string(w.width) + "x" + std::to_string(w.height);
}

std::string memcpyName(uint32_t mode) { return "memcpy/rows:" + std::to_string(rawRowsRead(mode)); }

std::string readoutName(uint32_t mode, const std::string &road, const ReadoutWindow &w) {
    return "readout/mode:" + std::to_string(mode) + "/" + road + "/" + windowName(w);
}

std::string pairedName(uint32_t mode) {
    return "paired/mode:" + std::to_string(mode) + "/" + simdLevelName(bestSimdLevel()) +
           "/memcpy+readout";
}

void registerAll() {
    const auto add = [](const std::string &name, auto &&function) {
        benchmark::RegisterBenchmark(name.c_str(), function)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    };
    for (int32_t rows : {1536, 768}) {
        add("memcpy/rows:" + std::to_string(rows),
            [rows](benchmark::State &state) { benchMemcpy(state, rows); });
    }
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        benchmark::RegisterBenchmark(
            pairedName(mode).c_str(),
            [mode](benchmark::State &state) { benchPaired(state, mode, bestSimdLevel()); })
            ->Unit(benchmark::kMicrosecond)
            ->UseManualTime();
    }
    for (uint32_t mode = 0; mode < kBinningModes.size(); ++mode) {
        const ReadoutWindow full = fullWindow(mode);
        add(readoutName(mode, "reference", full), [mode, full](benchmark::State &state) {
            benchReadout(state, mode, full, Road::Reference, SimdLevel::Scalar);
        });
        for (SimdLevel level : kSimdLevels) {
            if (simdLevelAvailable(level)) {
                add(readoutName(mode, simdLevelName(level), full),
                    [mode, full, level](benchmark::State &state) {
                        benchReadout(state, mode, full, Road::Fast, level);
                    });
            }
        }
        for (int32_t side : {64, 128, 256, 512, 1024}) {
            const ReadoutWindow w = centredWindow(mode, side);
            if (w.width < full.width || w.height < full.height) {
                add(readoutName(mode, simdLevelName(bestSimdLevel()), w),
                    [mode, w](benchmark::State &state) {
                        benchReadout(state, mode, w, Road::Fast, bestSimdLevel());
                    });
            }
        }
    }
}

struct Timing {
    double real = -1.0;  // microseconds; negative when the benchmark did not run
    double cpu = -1.0;
    benchmark::UserCounters counters;
};

// Passes everything to the console reporter and keeps the median times of each
// benchmark (the single run's times without repetitions).
class MedianCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name;
            const Timing timing{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), run.counters};
            if (run.error_occurred) {
                failed_ = true;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians_[name] = timing;
                fromAggregate_[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !fromAggregate_[name]) {
                medians_[name] = timing;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    Timing median(const std::string &name) const {
        const auto found = medians_.find(name);
        return found == medians_.end() ? Timing{} : found->second;
    }

    bool failed() const { return failed_; }

private:
    std::map<std::string, Timing> medians_;
    std::map<std::string, bool> fromAggregate_;
    bool failed_ = false;
};

std::string ratioText(double time, double base) {
    if (time < 0 || base <= 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", time / base);
    return text;
}

std::vector<SimdLevel> otherLevels() {
    std::vector<SimdLevel> levels;
    for (SimdLevel level : kSimdLevels) {
        if (simdLevelAvailable(level) && level != bestSimdLevel()) {
            levels.push_back(level);
        }
    }
    return levels;
}

// Prints the tables; true when every mode meets its goal at the best level.
bool printTables(const MedianCollector &results) {
    const std::string best = simdLevelName(bestSimdLevel());
    std::printf(
        "\nFull windows. ratio = readout time / memcpy time of the raw bytes the mode reads.\n"
        "paired: memcpy and the %s readout timed in turn, median of the ratios of the pairs\n"
        "(the goal applies to it); separate: ratio of the medians of separate benchmarks.\n\n",
        best.c_str());
    std::printf(
        "| mode | window | memcpy bytes | memcpy us | %s us | %s ratio, paired | %s ratio, "
        "separate |",
        best.c_str(), best.c_str(), best.c_str());
    for (SimdLevel level : otherLevels()) {
        std::printf(" %s ratio |", simdLevelName(level));
    }
    std::printf(" reference ratio | goal | result |\n|---|---|---|---|---|---|---|");
    for (std::size_t i = 0; i < otherLevels().size(); ++i) {
        std::printf("---|");
    }
    std::printf("---|---|---|\n");
    bool allMet = true;
    for (uint32_t mode : {4u, 3u, 2u, 1u, 0u}) {
        const ReadoutWindow full = fullWindow(mode);
        const Timing paired = results.median(pairedName(mode));
        const auto counter = [&paired](const char *name) {
            const auto found = paired.counters.find(name);
            return found == paired.counters.end() ? -1.0 : found->second.value;
        };
        const double ratio = counter("ratio");
        const Timing base = results.median(memcpyName(mode));
        const Timing fast = results.median(readoutName(mode, best, full));
        const double goal = mode == 4 ? kCopyGoal : kBinnedGoal;
        const bool met = ratio >= 0 && ratio <= goal;
        allMet = allMet && met;
        std::printf("| %u | %s | %d x 4096 | %.0f | %.0f | %s | %s |", mode,
                    windowName(full).c_str(), rawRowsRead(mode), counter("memcpy_us"),
                    counter("readout_us"), ratioText(ratio, 1.0).c_str(),
                    ratioText(fast.real, base.real).c_str());
        for (SimdLevel level : otherLevels()) {
            const Timing other = results.median(readoutName(mode, simdLevelName(level), full));
            std::printf(" %s |", ratioText(other.real, base.real).c_str());
        }
        const Timing reference = results.median(readoutName(mode, "reference", full));
        std::printf(" %s | <= %.2f | %s |\n", ratioText(reference.real, base.real).c_str(), goal,
                    met ? "pass" : "FAIL");
    }

    std::printf("\nWindow sizes, %s: median real time per host sample\n\n", best.c_str());
    std::printf("| mode | window | host samples | us | ns per sample |\n|---|---|---|---|---|\n");
    for (uint32_t mode : {4u, 3u, 2u, 1u, 0u}) {
        const ReadoutWindow full = fullWindow(mode);
        for (int32_t side : {64, 128, 256, 512, 1024, 0}) {
            // Side 0 stands for the full window, after the smaller ones.
            const ReadoutWindow w = side == 0 ? full : centredWindow(mode, side);
            const bool isFull = w.width == full.width && w.height == full.height;
            const double time = results.median(readoutName(mode, best, w)).real;
            if (time < 0 || (side != 0 && isFull)) {
                continue;
            }
            const double samples = static_cast<double>(w.width) * w.height;
            std::printf("| %u | %s | %.0f | %.1f | %.3f |\n", mode, windowName(w).c_str(), samples,
                        time, time * 1000.0 / samples);
        }
    }
    return allMet;
}

}  // namespace

int main(int argc, char **argv) {
    // Repetitions, interleaved so that other load on the machine spreads over
    // every benchmark alike; flags given on the command line come later and win.
    std::vector<char *> args{argv[0]};
    std::string repetitions = "--benchmark_repetitions=9";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.push_back(repetitions.data());
    args.push_back(interleave.data());
    args.push_back(aggregates.data());
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    buffers();
    registerAll();
    MedianCollector results;
    benchmark::RunSpecifiedBenchmarks(&results);
    benchmark::Shutdown();
    const bool met = printTables(results);
    if (results.failed()) {
        std::fprintf(stderr, "readout_bench: a fast image differed from the reference\n");
        return 1;
    }
    return met ? 0 : 3;
}
