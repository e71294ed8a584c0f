// Images through qm-alpaca: JSON and ImageBytes agree, subframes are crops of
// the full frame in every binning and readout mode, and exposures can be
// aborted or abandoned by a disconnect.
#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>

#include "tests/alpaca/alpaca_harness.h"

using namespace alpacatest;
using nlohmann::json;

namespace {

constexpr char kImageBytes[] = "Accept: application/imagebytes";

// The body of a chunked transfer; false when the framing is broken.
bool dechunk(const std::string &body, std::string &data) {
    size_t at = 0;
    for (;;) {
        const size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string::npos) return false;
        const size_t size = std::stoul(body.substr(at, lineEnd - at), nullptr, 16);
        at = lineEnd + 2;
        if (size == 0) return body.compare(at, std::string::npos, "\r\n") == 0;
        if (at + size + 2 > body.size() || body.compare(at + size, 2, "\r\n") != 0) return false;
        data.append(body, at, size);
        at += size + 2;
    }
}

bool gunzip(const std::string &compressed, std::string &text) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    int status = Z_OK;
    char buffer[1 << 16];
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        text.append(buffer, sizeof buffer - stream.avail_out);
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END && stream.avail_in == 0;
}

class AlpacaImages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.started()) << server.error();
        ASSERT_TRUE(client.connect());
    }

    // The image of one exposure with the current settings, both ways.
    void exposeBothWays(double seconds, RowImage &image) {
        ASSERT_TRUE(client.expose(seconds));
        RowImage fromJson;
        RowImage fromBytes;
        std::string error;
        ASSERT_TRUE(imageFromJson(client.get("imagearray"), fromJson, error)) << error;
        ASSERT_TRUE(
            imageFromImageBytes(client.get("imagearray", "", {kImageBytes}), fromBytes, error))
            << error;
        ASSERT_EQ(fromJson, fromBytes) << "JSON and ImageBytes differ";
        image = std::move(fromBytes);
    }

    ServerUnderTest server;
    AlpacaClient client{server.endpoint(), 2001};
};

TEST_F(AlpacaImages, SubframesAreCropsOfTheFullFrameInEveryMode) {
    const struct {
        int bin;
        int readoutMode;
        int startX, startY, numX, numY;
    } cases[] = {
        // Odd starts and sizes, off every window multiple (4 for bin 4, 2 for bin 2).
        {1, 0, 1, 1, 7, 5},     {1, 0, 2047, 1535, 1, 1}, {1, 0, 333, 701, 129, 67},
        {1, 1, 3, 5, 17, 9},    {2, 0, 1, 1, 9, 7},       {2, 0, 1021, 765, 3, 3},
        {2, 1, 5, 3, 31, 11},   {2, 1, 0, 767, 1024, 1},  {4, 0, 1, 3, 5, 7},
        {4, 0, 509, 381, 3, 3}, {4, 1, 3, 1, 9, 13},      {4, 1, 2, 2, 510, 382},
    };
    std::map<std::pair<int, int>, RowImage> fullFrames;
    for (const auto &c : cases) {
        SCOPED_TRACE("bin " + std::to_string(c.bin) + " readout mode " +
                     std::to_string(c.readoutMode) + ", " + std::to_string(c.numX) + "x" +
                     std::to_string(c.numY) + " at " + std::to_string(c.startX) + "," +
                     std::to_string(c.startY));
        RowImage &full = fullFrames[{c.bin, c.readoutMode}];
        if (full.pixels.empty()) {
            ASSERT_TRUE(client.setFrame(c.bin, c.readoutMode, 0, 0, 2048 / c.bin, 1536 / c.bin));
            ASSERT_NO_FATAL_FAILURE(exposeBothWays(0.02, full));
            ASSERT_EQ(full.width, 2048 / c.bin);
            ASSERT_EQ(full.height, 1536 / c.bin);
        }
        ASSERT_TRUE(client.setFrame(c.bin, c.readoutMode, c.startX, c.startY, c.numX, c.numY));
        RowImage part;
        ASSERT_NO_FATAL_FAILURE(exposeBothWays(0.02, part));
        ASSERT_EQ(part.width, c.numX);
        ASSERT_EQ(part.height, c.numY);
        EXPECT_TRUE(part == crop(full, c.startX, c.startY, c.numX, c.numY));
    }
    // The modes differ: the readout mode is not ignored.
    EXPECT_FALSE(fullFrames[std::pair(2, 0)] == fullFrames[std::pair(2, 1)]);
    EXPECT_FALSE(fullFrames[std::pair(4, 0)] == fullFrames[std::pair(4, 1)]);
}

TEST_F(AlpacaImages, AbortAnswersAtOnceAndTheNextExposureIsAccepted) {
    // A long exposure at real speed.
    if (!server.external()) {
        ServerUnderTest slow({}, {{"QM_SIM_TIME_SCALE", "1"}});
        ASSERT_TRUE(slow.started()) << slow.error();
        AlpacaClient c(slow.endpoint(), 3);
        ASSERT_TRUE(c.connect());
        ASSERT_TRUE(c.setFrame(4, 0, 0, 0, 64, 64));
        ASSERT_EQ(c.call("startexposure", "Duration=30&Light=true")["ErrorNumber"], 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int state = c.value("camerastate")["Value"];
        EXPECT_TRUE(state == 1 || state == 2) << state;
        EXPECT_EQ(c.value("imageready")["Value"], false);
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(c.call("abortexposure")["ErrorNumber"], 0);
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
        EXPECT_EQ(c.value("camerastate")["Value"], 0);
        EXPECT_EQ(c.value("imageready")["Value"], false);
        // Aborting when idle is harmless; StopExposure is not offered.
        EXPECT_EQ(c.call("abortexposure")["ErrorNumber"], 0);
        EXPECT_EQ(c.call("stopexposure")["ErrorNumber"], 0x400);
        return;
    }
    GTEST_SKIP() << "needs a server of its own";
}

TEST_F(AlpacaImages, AbortedExposureLeavesNoImageAndTheNextOneArrives) {
    ASSERT_TRUE(client.setFrame(4, 0, 0, 0, 512, 384));
    ASSERT_EQ(client.call("startexposure", "Duration=0.5&Light=true")["ErrorNumber"], 0);
    ASSERT_EQ(client.call("abortexposure")["ErrorNumber"], 0);
    EXPECT_EQ(client.value("camerastate")["Value"], 0);
    RowImage image;
    ASSERT_NO_FATAL_FAILURE(exposeBothWays(0.01, image));
    EXPECT_EQ(image.width, 512);
    // The aborted frame, delivered meanwhile, never turns into the image.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(client.value("lastexposureduration")["Value"], 0.01);
}

TEST_F(AlpacaImages, DisconnectingMidExposureAndReconnectingWorks) {
    ASSERT_TRUE(client.setFrame(1, 0, 0, 0, 2048, 1536));
    ASSERT_EQ(client.call("startexposure", "Duration=1&Light=true")["ErrorNumber"], 0);
    ASSERT_TRUE(client.disconnect());
    EXPECT_EQ(client.value("imagearray")["ErrorNumber"], 0x407);
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.value("camerastate")["Value"], 0);
    EXPECT_EQ(client.value("imageready")["Value"], false);
    ASSERT_TRUE(client.setFrame(2, 0, 0, 0, 16, 16));
    ASSERT_TRUE(client.expose(0.01));
}

TEST_F(AlpacaImages, TwoClientsShareTheCameraUntilTheLastLeaves) {
    AlpacaClient other(server.endpoint(), 2002);
    ASSERT_TRUE(other.connect());
    EXPECT_EQ(other.value("connected")["Value"], true);
    ASSERT_TRUE(client.setFrame(2, 0, 10, 10, 20, 20));
    ASSERT_TRUE(client.expose(0.01));
    // Either client sees the image; one leaving does not close it for the other.
    EXPECT_EQ(other.value("imageready")["Value"], true);
    ASSERT_TRUE(client.disconnect());
    EXPECT_EQ(client.value("connected")["Value"], false);
    EXPECT_EQ(client.value("camerastate")["ErrorNumber"], 0x407);
    EXPECT_EQ(other.value("connected")["Value"], true);
    ASSERT_TRUE(other.expose(0.01));
    RowImage image;
    std::string error;
    ASSERT_TRUE(imageFromImageBytes(other.get("imagearray", "", {kImageBytes}), image, error))
        << error;
    EXPECT_EQ(image.width, 20);
    ASSERT_TRUE(other.disconnect());
    if (!server.external()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_NE(server.log().find("camera closed"), std::string::npos) << server.log();
    }
}

TEST_F(AlpacaImages, ImageAnswersInGzipAndByteRanges) {
    ASSERT_TRUE(client.setFrame(1, 0, 100, 60, 64, 48));
    RowImage image;
    ASSERT_NO_FATAL_FAILURE(exposeBothWays(0.02, image));
    // The samples' bytes are the same in every ImageBytes answer; the header
    // carries each answer's transaction ids.
    const std::string whole = client.get("imagearray", "", {kImageBytes}).body;
    ASSERT_EQ(whole.size(), 44u + 2 * 64 * 48);
    // A server of another build (the Windows one has no zlib) may answer
    // gzip plainly.
#ifdef CPPHTTPLIB_ZLIB_SUPPORT
    const bool gzipKnown = !externalServer();
#else
    const bool gzipKnown = false;
#endif
    const struct {
        std::vector<std::string> headers;
        int status;
        std::string body;  // for ImageBytes ranges
        bool gzip;         // for JSON: in gzip where the server can
    } cases[] = {
        {{kImageBytes, "Range: bytes=100-199"}, 206, whole.substr(100, 100), false},
        {{kImageBytes, "Range: bytes=-10"}, 206, whole.substr(whole.size() - 10), false},
        {{kImageBytes, "Range: bytes=0-1,5-6"}, 416, "", false},
        {{kImageBytes, "Range: bytes=6200-"}, 416, "", false},
        {{"Accept-Encoding: gzip"}, 200, "", true},
        // Brotli takes most of a minute for a full frame: the image goes plain.
        {{"Accept-Encoding: gzip, deflate, br"}, 200, "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.headers.back());
        HttpReply reply = client.get("imagearray", "", c.headers);
        ASSERT_EQ(reply.status, c.status) << reply.body.substr(0, 200);
        if (c.headers.front() == kImageBytes) {
            EXPECT_EQ(reply.body, c.body);
            continue;
        }
        const bool gzip = reply.headers.count("content-encoding") != 0;
        if (gzipKnown || !c.gzip) {
            EXPECT_EQ(gzip, c.gzip);
        }
        if (gzip) {
            std::string compressed;
            std::string text;
            ASSERT_EQ(reply.headers.at("content-encoding"), "gzip");
            ASSERT_EQ(reply.headers.count("transfer-encoding"), 1u);
            ASSERT_TRUE(dechunk(reply.body, compressed));
            ASSERT_TRUE(gunzip(compressed, text));
            reply.body = std::move(text);
        }
        RowImage decoded;
        std::string error;
        ASSERT_TRUE(imageFromJson(reply, decoded, error)) << error;
        EXPECT_TRUE(decoded == image);
    }
}

TEST_F(AlpacaImages, ImageBytesErrorsAreAnsweredAsJson) {
    const HttpReply reply = client.get("imagearray", "", {kImageBytes});
    ASSERT_EQ(reply.status, 200);
    EXPECT_NE(reply.headers.at("content-type").find("application/json"), std::string::npos);
    EXPECT_EQ(AlpacaClient::json(reply)["ErrorNumber"], 0x40B);
}

}  // namespace
