// Live video and fast sequences of indi_qm208x_ccd through a real indiserver:
// streamed frames of each mode's size, recorded SER files with the frame's own
// colour pattern (read back, and opened in Siril), what stops or restarts a
// stream, and 20-frame fast sequences with abort and disconnect in the middle.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/capture/tool_runner.h"
#include "tests/indi/indi_camera_fixture.h"

namespace qmindi {
namespace {

constexpr double kStreamExposure = 0.01;
constexpr Seconds kStreamTimeout{30};

struct SerHeader {
    bool ok = false;
    int32_t colorId = -1, width = 0, height = 0, depth = 0, frames = 0;
    uintmax_t fileSize = 0;
};

// The fixed 178-byte header of a SER file.
SerHeader readSer(const std::string &path) {
    SerHeader h;
    std::ifstream in(path, std::ios::binary);
    char bytes[178];
    // INDI's recorder writes its own file id where others write LUCAM-RECORDER.
    if (!in.read(bytes, sizeof bytes) || (std::memcmp(bytes, "LUCAM-RECORDER", 14) != 0 &&
                                          std::memcmp(bytes, "INDI-RECORDER", 13) != 0)) {
        return h;
    }
    const auto at = [&](size_t offset) {
        int32_t v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    };
    h = {.ok = true,
         .colorId = at(18),
         .width = at(26),
         .height = at(30),
         .depth = at(34),
         .frames = at(38),
         .fileSize = std::filesystem::file_size(path)};
    return h;
}

std::vector<std::string> serFilesUnder(const std::string &folder) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder, ignored)) {
        if (entry.path().extension() == ".ser") {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

// SER colour identifiers of INDI's recorder.
int32_t serColourOf(const std::string &pattern) {
    static const std::pair<const char *, int32_t> kIds[] = {
        {"", 0}, {"RGGB", 8}, {"GRBG", 9}, {"GBRG", 10}, {"BGGR", 11}};
    for (const auto &[name, id] : kIds) {
        if (pattern == name) {
            return id;
        }
    }
    return -1;
}

class IndiVideoTest : public IndiCameraTest {
protected:
    // Streaming settings a client sets before it starts: no preview cap, and
    // short exposures.
    void prepareStream(double exposure = kStreamExposure) {
        ASSERT_TRUE(client().waitUntil("LIMITS", kAnswerTimeout));
        ASSERT_TRUE(client().sendNumbers("LIMITS", {{"LIMITS_PREVIEW_FPS", 120}}));
        ASSERT_TRUE(client().waitUntil("STREAMING_EXPOSURE", kAnswerTimeout));
        ASSERT_TRUE(client().sendNumbers("STREAMING_EXPOSURE",
                                         {{"STREAMING_EXPOSURE_VALUE", exposure}}));
        ASSERT_TRUE(client().waitUntil("STREAMING_EXPOSURE", kAnswerTimeout,
                                       [&](const PropertySnapshot &p) {
                                           return p.number("STREAMING_EXPOSURE_VALUE") == exposure;
                                       }));
    }
    void switchStream(bool on) {
        const uint64_t since = client().mark();
        ASSERT_TRUE(client().sendSwitch("CCD_VIDEO_STREAM", on ? "STREAM_ON" : "STREAM_OFF"));
        ASSERT_TRUE(client().waitFor("CCD_VIDEO_STREAM", since, kAnswerTimeout,
                                     [&](const PropertySnapshot &p) {
                                         return p.on(on ? "STREAM_ON" : "STREAM_OFF");
                                     }))
            << history("CCD_VIDEO_STREAM");
    }
    // Waits for `count` streamed frames after `since`; their byte sizes.
    std::vector<size_t> streamedFrames(uint64_t since, size_t count,
                                       Seconds timeout = kStreamTimeout) {
        std::vector<size_t> sizes;
        const auto deadline = Clock::now() + timeout;
        while (sizes.size() < count && Clock::now() < deadline) {
            const std::optional<Blob> blob = client().waitForBlob(since, Seconds(1));
            if (!blob) {
                continue;
            }
            since = blob->sequence;
            if (blob->format == ".stream") {
                sizes.push_back(blob->data.size());
            }
            client().forgetBlobs(blob->sequence);
        }
        return sizes;
    }
    // RECORD_STREAM turns off when the last frame is in; the file is complete
    // once the recorder reports what it wrote.
    void waitForRecording(uint64_t since) {
        ASSERT_TRUE(client().waitFor("RECORD_STREAM", since, kStreamTimeout,
                                     [](const PropertySnapshot &p) {
                                         return p.on("RECORD_OFF") && p.state != IPS_BUSY;
                                     }))
            << history("RECORD_STREAM");
        ASSERT_TRUE(client().waitForMessage(since, kAnswerTimeout, "Record Duration"));
    }
    bool streaming() {
        const auto p = client().property("CCD_VIDEO_STREAM");
        return p && p->on("STREAM_ON");
    }
    std::string colourPattern() {
        const auto p = client().property("CCD_CFA");
        return p && !p->removed ? p->text("CFA_TYPE") : "";
    }
};

struct StreamCase {
    const char *name;
    int mode;
    Frame frame;  // width 0: the full frame
};

// Every mode over the full frame, and subframes whose origin moves the mosaic.
const StreamCase kStreamCases[] = {
    {"Mode0", 0, {}},
    {"Mode1", 1, {}},
    {"Mode2", 2, {}},
    {"Mode3", 3, {}},
    {"Mode4", 4, {}},
    {"Mode4OddOrigin", 4, {101, 33, 640, 480}},
    {"Mode2Subframe", 2, {64, 32, 800, 600}},
};

class StreamEachMode : public IndiVideoTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamEachMode, FramesOfTheImageSizeAndASerRecordingWithItsPattern) {
    const StreamCase &c = GetParam();
    const Mode &mode = kModes[static_cast<size_t>(c.mode)];
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(mode));
    Frame frame = currentFrame();
    if (c.frame.width > 0) {
        frame = setFrame(c.frame);
    }
    const long width = static_cast<long>(frame.width) / mode.binning;
    const long height = static_cast<long>(frame.height) / mode.binning;
    const std::string pattern = colourPattern();
    EXPECT_EQ(pattern.empty(), !mode.mosaic) << pattern;
    ASSERT_NO_FATAL_FAILURE(prepareStream());

    // The preview: 8-bit frames of the image's size.
    uint64_t since = client().mark();
    ASSERT_NO_FATAL_FAILURE(switchStream(true));
    const std::vector<size_t> sizes = streamedFrames(since, 3);
    ASSERT_EQ(sizes.size(), 3u) << "streamed frames missing";
    for (size_t size : sizes) {
        EXPECT_EQ(size, static_cast<size_t>(width * height));
    }

    // A recording of a set number of frames: 16 bits, the image's size and
    // pattern, every frame there.
    constexpr int kRecorded = 6;
    ASSERT_TRUE(client().sendNumbers("RECORD_OPTIONS", {{"RECORD_FRAME_TOTAL", kRecorded}}));
    since = client().mark();
    ASSERT_TRUE(client().sendSwitch("RECORD_STREAM", "RECORD_FRAME_ON"));
    ASSERT_NO_FATAL_FAILURE(waitForRecording(since));
    ASSERT_NO_FATAL_FAILURE(switchStream(false));

    const std::vector<std::string> recordings = serFilesUnder(server().home());
    ASSERT_EQ(recordings.size(), 1u);
    const SerHeader ser = readSer(recordings[0]);
    ASSERT_TRUE(ser.ok) << recordings[0];
    EXPECT_EQ(ser.width, width);
    EXPECT_EQ(ser.height, height);
    EXPECT_EQ(ser.depth, 16);
    EXPECT_EQ(ser.colorId, serColourOf(pattern)) << "pattern " << pattern;
    EXPECT_EQ(ser.frames, kRecorded);
    EXPECT_GE(ser.fileSize, 178u + static_cast<uintmax_t>(kRecorded) * width * height * 2);
}

INSTANTIATE_TEST_SUITE_P(Video, StreamEachMode, ::testing::ValuesIn(kStreamCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IndiVideoTest, RecordingOpensInSiril) {
    ASSERT_NO_FATAL_FAILURE(startConnected());
    ASSERT_NO_FATAL_FAILURE(selectMode(kModes[2]));
    ASSERT_NO_FATAL_FAILURE(prepareStream());
    ASSERT_TRUE(client().sendNumbers("RECORD_OPTIONS", {{"RECORD_FRAME_TOTAL", 4}}));
    const uint64_t since = client().mark();
    ASSERT_TRUE(client().sendSwitch("RECORD_STREAM", "RECORD_FRAME_ON"));
    ASSERT_NO_FATAL_FAILURE(waitForRecording(since));
    const std::vector<std::string> recordings = serFilesUnder(server().home());
    ASSERT_EQ(recordings.size(), 1u);
    // Siril reads the file as a sequence: four frames, 1024x768, with the
    // statistics of each frame.
    std::filesystem::copy_file(recordings[0], files() / "video.ser");
    const std::string script = files() / "stat.ssf";
    std::ofstream(script) << "requires 1.0.0\nseqstat video stats.csv\n";
    const std::string siril = findProgram("siril-cli");
    ASSERT_FALSE(siril.empty()) << "siril-cli not installed (scripts/install-deps.sh)";
    const ToolResult r =
        runProgram(siril, {"-d", files().path(), "-s", script}, files().path(), {{"HOME", files().path()}});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("image size: 1024 x 768 (16 bits)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sensor type: RGGB"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frame count: 4"), std::string::npos) << r.out;
    std::ifstream csv(files() / "stats.csv");
    ASSERT_TRUE(csv) << r.out;
    const std::string table(std::istreambuf_iterator<char>(csv), {});
    // A header line, then one line per frame and channel.
    EXPECT_GE(std::count(table.begin(), table.end(), '\n'), 5) << table;
}

}  // namespace
}  // namespace qmindi
