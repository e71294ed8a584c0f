// Writes the seed corpora of the fuzzers into <directory>/session and
// <directory>/readout: host sessions that between them call every export, in the
// host's order and out of it, with edge arguments; and windows of every mode in
// the frame, on its edges, past them and empty, over distinct frame contents.
// Usage: qm_fuzz_seeds <directory>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/session_script.h"

namespace {

using session::Writer;

constexpr uint32_t kFull = 100000;
constexpr int8_t kPending = 0;
constexpr int8_t kDelivered = 1;
constexpr int32_t kMinInt = std::numeric_limits<int32_t>::min();
constexpr int32_t kMaxInt = std::numeric_limits<int32_t>::max();

// The host's order: connect, ask, choose, expose, poll, read, disconnect; then
// the window moved to the frame's far corner, which reads the row just past the
// delivered frame. Small windows keep each run short; one seed reads the whole
// frame.
Writer capture(uint32_t mode, uint32_t frameSeed, uint32_t size = 6000) {
    Writer w;
    w.getName().getInfo().initialize().setupCCD(1).getOK().binningCount().binningName(mode);
    w.subframe(40000, 40000, size, size, mode).getWidth().getHeight().isColor();
    w.startExposure(100, 0, frameSeed).isExposing(kPending).isExposing(kPending);
    w.isExposing(kDelivered).startDownload().readImage().endDownload().getTemperature();
    w.subframe(kFull - size, kFull - size, size, size, mode).readImage();
    w.finalize();
    return w;
}

Writer connected(uint32_t mode, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
    Writer w;
    w.initialize().setupCCD(1, 1, 1, 1, 0x12345678).subframe(x, y, width, height, mode);
    return w;
}

struct Seed {
    std::string name;
    std::vector<uint8_t> bytes;
};

void putLittleEndian(std::vector<uint8_t> &bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i, value >>= 8) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
}

// Mode and window as the readout fuzzer reads them, then the frame content.
std::vector<uint8_t> readoutInput(uint32_t mode, int32_t x, int32_t y, int32_t width,
                                  int32_t height, std::vector<uint8_t> content) {
    std::vector<uint8_t> bytes;
    putLittleEndian(bytes, mode);
    for (int32_t field : {x, y, width, height}) {
        putLittleEndian(bytes, static_cast<uint32_t>(field));
    }
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

std::vector<Seed> readoutSeeds() {
    // Odd lengths shift the pattern from row to row.
    const std::vector<uint8_t> ramp = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x0F,
                                       0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78, 0x87};
    const std::vector<uint8_t> saturated = {0xFF, 0xFF};
    const std::vector<uint8_t> highBit = {0x80, 0x00, 0x7F, 0xFF, 0x80};
    const struct {
        int32_t width, height;  // full frame in binned pixels
    } full[5] = {{512, 384}, {512, 384}, {1024, 768}, {1024, 768}, {2048, 1536}};
    std::vector<Seed> seeds;
    for (uint32_t mode = 0; mode < 5; ++mode) {
        const std::string m = "mode" + std::to_string(mode);
        const int32_t w = full[mode].width;
        const int32_t h = full[mode].height;
        seeds.push_back({m + "_full", readoutInput(mode, 0, 0, w, h, ramp)});
        seeds.push_back({m + "_full_saturated", readoutInput(mode, 0, 0, w, h, saturated)});
        seeds.push_back({m + "_small_high_bit", readoutInput(mode, 10, 20, 4, 4, highBit)});
        seeds.push_back({m + "_above_row_0", readoutInput(mode, 0, -1, 8, 4, ramp)});
        seeds.push_back({m + "_left_of_column_0", readoutInput(mode, -1, 0, 8, 4, ramp)});
        seeds.push_back({m + "_past_the_buffer_end", readoutInput(mode, w - 4, h - 2, 8, 8, ramp)});
        seeds.push_back({m + "_tall_and_thin", readoutInput(mode, 3, -100, 1, 1 << 21, ramp)});
        seeds.push_back({m + "_no_buffer", readoutInput(mode, 0, 0, 16, 16, {})});
        seeds.push_back({m + "_odd_size", readoutInput(mode, 5, 7, 3, 5, highBit)});
    }
    // Windows whose first or last read is the buffer's first or last sample
    // (3,385,455 = row 1653, column 111, counted linearly; the last even one for
    // the pair sums), and windows one step further out (one sample, or one cell
    // column in modes 1 and 0), on the other side of the row loops' check.
    const struct {
        const char *name;
        uint32_t mode;
        int32_t x, y, width, height;
    } ends[] = {
        {"mode4_last_sample_of_the_buffer", 4, 100, 1649, 12, 4},
        {"mode4_just_past_the_buffer", 4, 100, 1649, 13, 4},
        {"mode3_last_sample_of_the_buffer", 3, 50, 1649, 5, 4},
        {"mode3_just_past_the_buffer", 3, 50, 1649, 6, 4},
        {"mode2_last_sample_of_the_buffer", 2, 1076, 822, 4, 4},
        {"mode2_just_past_the_buffer", 2, 1077, 822, 3, 4},
        {"mode1_last_sample_of_the_buffer", 1, 532, 405, 8, 8},
        {"mode1_just_past_the_buffer", 1, 533, 405, 8, 8},
        {"mode0_last_sample_of_the_buffer", 0, 532, 818, 8, 8},
        {"mode0_just_past_the_buffer", 0, 533, 818, 8, 8},
        {"mode4_first_sample_of_the_buffer", 4, 0, -1, 8, 4},
        {"mode4_just_before_the_buffer", 4, -1, -1, 8, 4},
        {"mode3_first_sample_of_the_buffer", 3, 0, -1, 8, 4},
        {"mode3_just_before_the_buffer", 3, -1, -1, 8, 4},
        {"mode2_first_sample_of_the_buffer", 2, 1024, -1, 4, 4},
        {"mode2_just_before_the_buffer", 2, 1023, -1, 4, 4},
        {"mode1_first_sample_of_the_buffer", 1, 1536, -1, 8, 8},
        {"mode1_just_before_the_buffer", 1, 1535, -1, 8, 8},
        {"mode0_first_sample_of_the_buffer", 0, 512, -1, 8, 8},
        {"mode0_just_before_the_buffer", 0, 511, -1, 8, 8},
    };
    for (const auto &e : ends) {
        seeds.push_back({e.name, readoutInput(e.mode, e.x, e.y, e.width, e.height, ramp)});
    }
    seeds.push_back({"empty_window", readoutInput(4, 0, 0, 0, 1536, ramp)});
    seeds.push_back({"negative_size", readoutInput(2, 0, 0, -2, -2, ramp)});
    seeds.push_back({"mode_5", readoutInput(5, 0, 0, 64, 64, ramp)});
    seeds.push_back({"mode_minus_1", readoutInput(0xFFFFFFFF, 0, 0, 64, 64, ramp)});
    seeds.push_back({"far_corner", readoutInput(4, 0x7FFFFFF0, 0x7FFFFFF0, 16, 16, ramp)});
    return seeds;
}

bool writeSeeds(const std::filesystem::path &directory, const std::vector<Seed> &seeds) {
    std::filesystem::create_directories(directory);
    for (const Seed &seed : seeds) {
        const std::filesystem::path path = directory / seed.name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(seed.bytes.data()),
                   static_cast<std::streamsize>(seed.bytes.size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return false;
        }
    }
    std::printf("%zu seeds in %s\n", seeds.size(), directory.c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    std::vector<Seed> seeds;
    const auto add = [&seeds](std::string name, const Writer &w) {
        seeds.push_back({std::move(name), w.bytes()});
    };
    for (uint32_t mode = 0; mode < 5; ++mode) {
        // Random, saturated and uniform frames (low bits of the seed).
        add("capture_mode" + std::to_string(mode), capture(mode, 0x2468ACE0 + mode));
        add("capture_saturated_mode" + std::to_string(mode), capture(mode, 1));
    }
    {
        Writer w;
        w.initialize().setupCCD(1).subframe(0, 0, kFull, kFull, 2).getWidth().getHeight();
        w.startExposure(100, 0, 0x13572468).isExposing(kPending).isExposing(kDelivered);
        w.startDownload().readImage().endDownload().finalize();
        add("capture_full_frame_mode2", w);
    }
    {
        Writer w;
        w.initialize(-1).setupCCD(0, 0, 1, 1).getOK().finalize().finalize().getOK();
        w.initialize().setupCCD(0, 1, 1, 1).getOK().setupCCD(7, 1, 0, 1).getOK();
        w.setupCCD(-1, -3, 5, 0).getOK().finalize();
        add("connection_outcomes", w);
    }
    {
        Writer w;
        w.readImage().startExposure(10).isExposing(kDelivered).getWidth(-5).getHeight(kMaxInt);
        w.isColor().finalize().setupCCD(1).readImage().initialize().initialize();
        w.subframe(0, 0, kFull, kFull, 5).isColor().startExposure(10).readImage().getWidth();
        w.subframe(0, 0, kFull, kFull, 0xFFFFFFFF).binningName(5).binningName(0xFFFFFFFF);
        w.subframe(1000, 1000, 3000, 3000, 4).startExposure(10, 0, 2 | 0x1234 << 16);
        w.readImage().isExposing(kDelivered).readImage(session::kNullImage).finalize();
        add("out_of_order", w);
    }
    {
        Writer w = connected(4, 0, 0, 300, 300);
        w.startExposure(5, 0, 3).isExposing(kDelivered);
        w.moveFrame(2, 9).readImage().moveFrame(3, 99).readImage().moveFrame(1, 2999);
        w.readImage().moveFrame(4, 4000).readImage().moveFrame(0).moveFrame(5).moveFrame(-1);
        w.subframe(0, 0, 4000, 4000, 2).moveFrame(2).readImage().moveFrame(3).readImage();
        w.subframe(96000, 96000, 4000, 4000, 1).moveFrame(1, 2).moveFrame(4, 2).readImage();
        w.subframe(96000, 96000, 4000, 4000, 0).moveFrame(1).readImage().moveFrame(4);
        w.readImage().finalize();
        add("moves_past_edges", w);
    }
    {
        // Moved until the last read is the buffer's last sample, then one further.
        Writer w = connected(4, 0, 0, 586, 261);  // 12 x 4
        w.startExposure(5, 0, 0).isExposing(kDelivered);
        w.moveFrame(1, 1648).moveFrame(4, 99).readImage().moveFrame(4).readImage();
        w.subframe(0, 0, 391, 521, 2).moveFrame(1, 821).moveFrame(4, 1075).readImage();
        w.moveFrame(4).readImage().finalize();
        add("moves_to_the_buffer_end", w);
    }
    {
        Writer w = connected(4, 0, 0, 200000, 1000);
        w.startExposure(1, 0, 0).isExposing(kDelivered).readImage();
        w.subframe(0, 0, 1000, 200000, 4).readImage();
        w.subframe(0xFFFFFFFF, 0xFFFFFFFF, 3000000, 100, 4).readImage();
        w.subframe(2 * kFull, 0, 10000, 3 * kFull, 3).readImage();
        w.subframe(0, 90000, kFull, 20000, 2).readImage().subframe(0, 0, 48, 65, 4).readImage();
        w.subframe(0, 0, 781, 1041, 0).readImage().finalize();
        add("windows_beyond_full_scale", w);
    }
    {
        Writer w = connected(3, 0, 0, kFull, kFull);
        w.startExposure(kMinInt).interruptExposure().startExposure(kMaxInt).isExposing(kPending);
        w.interruptExposure().isExposing(kDelivered).startExposure(kMaxInt, 0, 1);
        w.isExposing(-1).subframe(0, 0, kFull, kFull, 0).startExposure(-3).isExposing(kDelivered);
        w.subframe(0, 0, 5000, 5000, 4).startExposure(kMinInt).isExposing(kDelivered);
        w.readImage().finalize();
        add("exposure_lengths_and_interrupt", w);
    }
    {
        Writer w = connected(4, 10000, 10000, 20000, 20000);
        w.startExposure(100, 0, 0xFFFF0002).finalize().readImage().isExposing(kPending);
        w.startExposure(100).initialize().readImage().isExposing(kDelivered).readImage();
        w.startExposure(100, 0, 7).isExposing(kDelivered).readImage().finalize().finalize();
        add("finalize_during_exposure", w);
    }

    const std::filesystem::path directory = argv[1];
    return writeSeeds(directory / "session", seeds) &&
                   writeSeeds(directory / "readout", readoutSeeds())
               ? 0
               : 1;
}
