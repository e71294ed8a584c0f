// The units below qm-alpaca's HTTP layer: request fields and numbers, the
// readout plans for subframes, the two image encodings, ClientID counting, the
// command line and the configuration file.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "alpaca/alpaca_protocol.h"
#include "alpaca/arguments.h"
#include "alpaca/camera_device.h"
#include "alpaca/client_connections.h"
#include "alpaca/image_encoding.h"
#include "alpaca/server_config.h"
#include "host/bayer_pattern.h"

using namespace alpaca;

namespace {

TEST(AlpacaFields, NamesMatchExactlyForPutAndInAnyCaseForGet) {
    const struct {
        const char *encoded;
        bool exactCase;
        const char *name;
        const char *expected;  // nullptr: not found
    } cases[] = {
        {"BinX=2&ClientID=1", true, "BinX", "2"},
        {"binx=2", true, "BinX", nullptr},
        {"binx=2", false, "BinX", "2"},
        {"BINX=3&BinX=2", false, "BinX", "3"},
        {"A=1&&B=2", true, "B", "2"},
        {"Name=a%20b+c", true, "Name", "a b c"},
        {"Name%41=x", true, "NameA", "x"},
        {"Name=%4", true, "Name", nullptr},
        {"Name=%zz", true, "Name", nullptr},
        {"Flag", true, "Flag", ""},
        {"", false, "X", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.encoded);
        const Fields fields(c.encoded, c.exactCase);
        const std::string *value = fields.find(c.name);
        if (c.expected == nullptr) {
            EXPECT_EQ(value, nullptr);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(*value, c.expected);
        }
    }
}

TEST(AlpacaFields, NumbersAreWholeAndStrict) {
    const struct {
        const char *text;
        bool uint32Ok;
        bool int32Ok;
        bool doubleOk;
    } cases[] = {
        {"0", true, true, true},
        {"4294967295", true, false, true},
        {"4294967296", false, false, true},
        {"-1", false, true, true},
        {"+1", false, false, false},
        {" 1", false, false, false},
        {"1 ", false, false, false},
        {"", false, false, false},
        {"1.5", false, false, true},
        {"1e3", false, false, true},
        {"abc", false, false, false},
        {"inf", false, false, false},
        {"nan", false, false, false},
        {"2147483648", true, false, true},
        {"-2147483648", false, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t u = 0;
        int32_t i = 0;
        double d = 0;
        EXPECT_EQ(parseUint32(c.text, u), c.uint32Ok);
        EXPECT_EQ(parseInt32(c.text, i), c.int32Ok);
        EXPECT_EQ(parseFiniteDouble(c.text, d), c.doubleOk);
    }
    bool b = false;
    EXPECT_TRUE(parseBool("True", b) && b);
    EXPECT_TRUE(parseBool("FALSE", b) && !b);
    EXPECT_FALSE(parseBool("1", b));
    EXPECT_FALSE(parseBool("", b));
}

TEST(AlpacaAnswers, EnvelopeCarriesValueOnlyWithoutAnError) {
    const ClientIds ids{.clientId = 1, .clientTransactionId = 42};
    const auto ok = nlohmann::json::parse(answerBody(MemberResult::value("3"), ids, 7));
    EXPECT_EQ(ok["Value"], 3);
    EXPECT_EQ(ok["ClientTransactionID"], 42);
    EXPECT_EQ(ok["ServerTransactionID"], 7);
    EXPECT_EQ(ok["ErrorNumber"], 0);
    EXPECT_EQ(ok["ErrorMessage"], "");
    const auto failed = nlohmann::json::parse(
        answerBody(MemberResult::fail(ErrorCode::InvalidValue, "bad \"quote\"\n"), ids, 8));
    EXPECT_FALSE(failed.contains("Value"));
    EXPECT_EQ(failed["ErrorNumber"], 0x401);
    EXPECT_EQ(failed["ErrorMessage"], "bad \"quote\"\n");
    EXPECT_FALSE(nlohmann::json::parse(answerBody(MemberResult::done(), ids, 9)).contains("Value"));
}

// The frame plan itself is tested in host/; here only what qm-alpaca maps
// onto it: BinX and ReadoutMode to a mode, the cut into ASCOM's column order,
// BayerOffsetX/Y.
TEST(AlpacaGeometry, ModesFollowBinningAndReadoutMode) {
    const struct {
        int bin;
        int readoutMode;
        std::optional<uint32_t> mode;
    } cases[] = {
        {1, 0, 4}, {2, 0, 2}, {4, 0, 1}, {1, 1, 4}, {2, 1, 3}, {4, 1, 0}, {3, 0, std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(modeForBinning(c.bin, kReadoutModes[c.readoutMode].kind), c.mode)
            << c.bin << " " << c.readoutMode;
    }
}

TEST(AlpacaGeometry, CropTakesTheSubframeColumnByColumn) {
    FramePlan plan;
    plan.window = {.x = 0, .y = 0, .width = 4, .height = 3};
    plan.cropX = 1;
    plan.cropY = 1;
    plan.subframe = {.x = 1, .y = 1, .width = 2, .height = 2};
    const std::vector<uint16_t> rows = {0, 1, 2, 3, 10, 11, 12, 13, 20, 21, 22, 23};
    const ColumnImage image = cropToColumns(rows, plan);
    EXPECT_EQ(image.samples, (std::vector<uint16_t>{11, 21, 12, 22}));
}

TEST(AlpacaGeometry, BayerOffsetNamesTheRedSampleOfTheFullFrame) {
    const BayerOffset offset = sensorBayerOffset();
    const std::string pattern = bayerPatternFor(kCameraModes[4], {0, 0, 2048, 1536});
    EXPECT_EQ(colourAt(pattern, offset.y, offset.x), 'R');
}

std::shared_ptr<const ColumnImage> sampleImage(int numX, int numY) {
    auto image =
        std::make_shared<ColumnImage>(ColumnImage{.numX = numX, .numY = numY, .samples = {}});
    // Numbers of every length from one digit to five.
    for (int i = 0; i < numX * numY; ++i) {
        image->samples.push_back(static_cast<uint16_t>(i * 7919 % 65536));
    }
    image->samples.back() = 65535;
    image->samples.front() = 0;
    return image;
}

// The answer as a client receives it, written independently of the encoder.
std::string expectedJson(const ColumnImage &image, uint32_t clientTransactionId,
                         uint32_t serverTransactionId) {
    std::string text = "{\"Type\":2,\"Rank\":2,\"Value\":[";
    for (int x = 0; x < image.numX; ++x) {
        text += x == 0 ? "[" : ",[";
        for (int y = 0; y < image.numY; ++y) {
            text += (y == 0 ? "" : ",") + std::to_string(image.at(x, y));
        }
        text += "]";
    }
    return text + "],\"ClientTransactionID\":" + std::to_string(clientTransactionId) +
           ",\"ServerTransactionID\":" + std::to_string(serverTransactionId) +
           ",\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
}

std::string expectedImageBytes(const ColumnImage &image, uint32_t clientTransactionId,
                               uint32_t serverTransactionId) {
    std::string bytes;
    const auto put32 = [&bytes](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(v >> (8 * i) & 0xff);
    };
    for (uint32_t field :
         {1u, 0u, clientTransactionId, serverTransactionId, 44u, 2u, 8u, 2u,
          static_cast<uint32_t>(image.numX), static_cast<uint32_t>(image.numY), 0u}) {
        put32(field);
    }
    for (uint16_t sample : image.samples) {
        bytes += static_cast<char>(sample & 0xff);
        bytes += static_cast<char>(sample >> 8);
    }
    return bytes;
}

// Read from `offset` to the end in pieces of at most `capacity`.
std::string readRest(const ImageAnswer &answer, size_t offset, size_t capacity) {
    std::string text;
    std::string piece(capacity, '\0');
    while (const size_t n = answer.read(offset, piece.data(), capacity)) {
        EXPECT_LE(n, capacity);
        text.append(piece, 0, n);
        offset += n;
    }
    return text;
}

TEST(AlpacaImageEncoding, AnswersReadInAnyPiecesMakeTheWholeAnswer) {
    const ClientIds ids{.clientId = 1, .clientTransactionId = 12};
    for (auto [numX, numY] : {std::pair{1, 1}, {3, 2}, {17, 5}, {2, 300}}) {
        const auto image = sampleImage(numX, numY);
        const ImageArrayJsonAnswer json(image, ids, 99);
        const ImageBytesAnswer bytes(image, ids, 99);
        const struct {
            const ImageAnswer &answer;
            std::string expected;
        } answers[] = {{json, expectedJson(*image, 12, 99)},
                       {bytes, expectedImageBytes(*image, 12, 99)}};
        for (const auto &[answer, expected] : answers) {
            const std::string where = std::to_string(numX) + "x" + std::to_string(numY) + ", " +
                                      (&answer == &json ? "JSON" : "ImageBytes");
            ASSERT_EQ(answer.size(), expected.size()) << where;
            // Pieces smaller than a number, than a column, than the header,
            // and larger than the whole.
            for (size_t capacity : {1, 2, 5, 13, 50, 1 << 16}) {
                EXPECT_EQ(readRest(answer, 0, capacity), expected)
                    << where << ", pieces of " << capacity;
            }
            // From every offset (ranges and resumed reads start anywhere).
            for (size_t offset = 0; offset <= expected.size(); offset += 1 + offset / 64) {
                ASSERT_EQ(readRest(answer, offset, 7), expected.substr(offset))
                    << where << ", from " << offset;
            }
            char none[1];
            EXPECT_EQ(answer.read(expected.size() + 5, none, 1), 0u) << where;
        }
        EXPECT_TRUE(nlohmann::json::accept(expectedJson(*image, 12, 99)));
    }
}

TEST(AlpacaImageEncoding, ImageBytesHeaderReadsBack) {
    const ImageBytesAnswer answer(sampleImage(3, 2), {.clientId = 1, .clientTransactionId = 5}, 6);
    const std::string bytes = readRest(answer, 0, 1 << 16);
    ImageBytesHeader header{};
    ASSERT_TRUE(readImageBytesHeader(bytes, header));
    const int32_t expected[] = {1, 0, 5, 6, 44, 2, 8, 2, 3, 2, 0};
    const int32_t got[] = {header.metadataVersion,
                           header.errorNumber,
                           static_cast<int32_t>(header.clientTransactionId),
                           static_cast<int32_t>(header.serverTransactionId),
                           header.dataStart,
                           header.imageElementType,
                           header.transmissionElementType,
                           header.rank,
                           header.dimension1,
                           header.dimension2,
                           header.dimension3};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(got[i], expected[i]) << "header field " << i;
    }
    EXPECT_FALSE(readImageBytesHeader(bytes.substr(0, 43), header));
}

TEST(AlpacaArguments, CommandLine) {
    const struct {
        std::vector<std::string> words;
        bool ok;
        std::function<void(const Arguments &)> check;
        const char *error = "";  // the reason given, when one is expected
    } cases[] = {
        {{},
         true,
         [](const Arguments &a) {
             EXPECT_EQ(a.port, 11111);
             EXPECT_EQ(a.bindAddress, "0.0.0.0");
             EXPECT_TRUE(a.discovery);
         }},
        {{"--port", "0", "--bind", "127.0.0.1", "--no-discovery"},
         true,
         [](const Arguments &a) {
             EXPECT_EQ(a.port, 0);
             EXPECT_EQ(a.bindAddress, "127.0.0.1");
             EXPECT_FALSE(a.discovery);
         }},
        {{"--pixel-size", "4.65"},
         true,
         [](const Arguments &a) { EXPECT_EQ(a.pixelSizeMicrons, 4.65); }},
        {{"--driver", "/x/D_QM208X.so", "--config", "c.json"},
         true,
         [](const Arguments &a) {
             EXPECT_EQ(a.driverPath, "/x/D_QM208X.so");
             EXPECT_EQ(a.configPath, "c.json");
         }},
        {{"--port=5", "--port", "6"}, true, [](const Arguments &a) { EXPECT_EQ(a.port, 6); }},
        {{"-h", "--version"},
         true,
         [](const Arguments &a) {
             EXPECT_TRUE(a.help);
             EXPECT_TRUE(a.version);
         }},
        {{"--port", "65536"},
         false,
         nullptr,
         "--port '65536' is not a port number from 0 to 65535"},
        {{"--port", "-1"}, false, nullptr, "--port '-1' is not a port number from 0 to 65535"},
        {{"--port"}, false, nullptr, "--port needs a value"},
        {{"--no-discovery", "--bind"}, false, nullptr, "--bind needs a value"},
        {{"--pixel-size", "0"}, false, nullptr},
        {{"--pixel-size", "nan"}, false, nullptr},
        {{"--timeout", "0"},
         false,
         nullptr,
         "--timeout '0' is not a number of seconds from 0.05 to 600"},
        {{"--readout-margin", "0.5"},
         true,
         [](const Arguments &a) { EXPECT_EQ(a.readoutMarginSeconds, 0.5); }},
        {{"--readout-margin", "0"}, false, nullptr},
        {{"--reconnect-wait", "0"},
         true,
         [](const Arguments &a) { EXPECT_EQ(a.reconnectWaitSeconds, 0); }},
        {{"--reconnect-wait", "3601"},
         false,
         nullptr,
         "--reconnect-wait '3601' is not a number of seconds from 0 to 3600"},
        {{"--bogus"}, false, nullptr, "unknown argument '--bogus' (see --help)"},
        {{"--port", "1", "stray"}, false, nullptr, "unknown argument 'stray' (see --help)"},
        {{"--driver", ""}, false, nullptr, "--driver needs the path of D_QM208X"},
    };
    for (const auto &c : cases) {
        std::string joined;
        for (const auto &w : c.words) joined += w + " ";
        SCOPED_TRACE(joined);
        Arguments arguments;
        std::string error;
        EXPECT_EQ(parseArguments(c.words, arguments, error), c.ok) << error;
        EXPECT_EQ(error.empty(), c.ok);
        if (*c.error != '\0') {
            EXPECT_EQ(error, c.error);
        }
        if (c.ok && c.check) c.check(arguments);
    }
}

// ClientID counting: the camera opens once for the first client, closes with
// the last, and a failed opening is told once to each client that waited.
TEST(AlpacaClients, CameraOpensWithTheFirstClientAndClosesWithTheLast) {
    enum Op { Join, Leave, Opened, OpenFailed };
    struct Step {
        Op op;
        uint32_t client = 0;
        bool closedByLeave = false;  // what leave() returns
    };
    const struct {
        const char *name;
        std::vector<Step> steps;
        std::set<uint32_t> connected;  // at the end
        int opens;
        int closes;
        std::map<uint32_t, std::string> failures;  // told through takeFailure
    } cases[] = {
        {"two clients, then both leave",
         {{Join, 1}, {Opened}, {Join, 2}, {Leave, 1}, {Leave, 2, true}},
         {},
         1,
         1,
         {}},
        {"second client joins while the camera opens",
         {{Join, 1}, {Join, 2}, {Opened}},
         {1, 2},
         1,
         0,
         {}},
        {"the one client leaves while the camera opens",
         {{Join, 1}, {Leave, 1}, {Opened}},
         {},
         1,
         1,
         {}},
        {"opening fails for every client that waited",
         {{Join, 1}, {Join, 2}, {OpenFailed}},
         {},
         1,
         0,
         {{1, "no module"}, {2, "no module"}}},
        {"a client that retries after a failure is not told it again",
         {{Join, 1}, {OpenFailed}, {Join, 1}, {Opened}},
         {1},
         2,
         0,
         {}},
        {"a client that never joined leaves", {{Join, 1}, {Opened}, {Leave, 7}}, {1}, 1, 0, {}},
        {"the same client joins twice and leaves once",
         {{Join, 1}, {Opened}, {Join, 1}, {Leave, 1, true}},
         {},
         1,
         1,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int opens = 0;
        int closes = 0;
        ConnectOutcome opened;
        opened.connected = true;
        ConnectOutcome failed;
        failed.error = "no module";
        std::promise<ConnectOutcome> opening;
        ClientConnections clients(
            [&](uint32_t) {
                ++opens;
                opening = {};
                return opening.get_future().share();
            },
            [&] { ++closes; }, [](const std::string &) {});
        for (const Step &step : c.steps) {
            switch (step.op) {
                case Join:
                    clients.join(step.client);
                    break;
                case Leave:
                    EXPECT_EQ(clients.leave(step.client), step.closedByLeave) << step.client;
                    break;
                case Opened:
                    opening.set_value(opened);
                    clients.settle();
                    break;
                case OpenFailed:
                    opening.set_value(failed);
                    clients.settle();
                    break;
            }
        }
        EXPECT_EQ(opens, c.opens);
        EXPECT_EQ(closes, c.closes);
        EXPECT_EQ(clients.count(), c.connected.size());
        EXPECT_EQ(clients.open(), !c.connected.empty());
        EXPECT_FALSE(clients.opening());
        for (uint32_t client : {1u, 2u, 7u}) {
            EXPECT_EQ(clients.connected(client), c.connected.count(client) != 0) << client;
            const auto failure = c.failures.find(client);
            EXPECT_EQ(clients.takeFailure(client),
                      failure == c.failures.end() ? std::nullopt
                                                  : std::optional<std::string>(failure->second))
                << client;
            EXPECT_EQ(clients.takeFailure(client), std::nullopt) << "told once: " << client;
        }
    }
}

TEST(AlpacaConfig, SavedAndReadBack) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("qm-alpaca-config-" + makeUniqueId());
    const std::string path = (folder / "sub" / "qm-alpaca.json").string();
    ServerConfig config;
    std::string error;
    ASSERT_TRUE(loadConfig(path, config, error)) << "a missing file is an empty configuration";
    EXPECT_TRUE(config.uniqueId.empty());
    config.uniqueId = makeUniqueId();
    config.pixelSizeMicrons = 6.45;
    ASSERT_TRUE(saveConfig(path, config, error)) << error;
    ServerConfig read;
    ASSERT_TRUE(loadConfig(path, read, error)) << error;
    EXPECT_EQ(read.uniqueId, config.uniqueId);
    EXPECT_EQ(read.pixelSizeMicrons, 6.45);
    // A broken file is an error, never silently replaced.
    std::ofstream(path) << "{ not json";
    EXPECT_FALSE(loadConfig(path, read, error));
    std::ofstream(path) << R"({"UniqueID":"x","PixelSizeMicrons":-3})";
    EXPECT_FALSE(loadConfig(path, read, error));
    std::filesystem::remove_all(folder);
    EXPECT_NE(makeUniqueId(), makeUniqueId());
}

}  // namespace
