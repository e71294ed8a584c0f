// The Alpaca API of qm-alpaca as a client sees it: management, the common
// members, every camera member and its errors, transaction ids, the protocol's
// rules on parameter names and values.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/alpaca/alpaca_harness.h"

using namespace alpacatest;
using nlohmann::json;

namespace {

constexpr int kNotImplemented = 0x400;
constexpr int kInvalidValue = 0x401;
constexpr int kValueNotSet = 0x402;
constexpr int kNotConnected = 0x407;
constexpr int kInvalidOperation = 0x40B;
constexpr int kActionNotImplemented = 0x40C;

class AlpacaApi : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error(); }

    ServerUnderTest server;
    AlpacaClient client{server.endpoint(), 1001};
};

TEST_F(AlpacaApi, ManagementApiNamesOneCameraWithAUniqueId) {
    const struct {
        const char *path;
        std::function<void(const json &)> check;
    } cases[] = {
        {"/management/apiversions", [](const json &v) { EXPECT_EQ(v, json::array({1})); }},
        {"/management/v1/description",
         [](const json &v) {
             for (const char *key :
                  {"ServerName", "Manufacturer", "ManufacturerVersion", "Location"}) {
                 EXPECT_TRUE(v[key].is_string()) << key;
             }
         }},
        {"/management/v1/configureddevices",
         [](const json &v) {
             ASSERT_EQ(v.size(), 1u);
             EXPECT_EQ(v[0]["DeviceType"], "Camera");
             EXPECT_EQ(v[0]["DeviceNumber"], 0);
             EXPECT_TRUE(v[0]["DeviceName"].is_string());
             EXPECT_TRUE(std::regex_match(
                 v[0]["UniqueID"].get<std::string>(),
                 std::regex(
                     "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const HttpReply reply =
            httpRequest(server.endpoint(), "GET", std::string(c.path) + "?ClientTransactionID=77");
        ASSERT_EQ(reply.status, 200) << reply.error << reply.body;
        const json answer = AlpacaClient::json(reply);
        EXPECT_EQ(answer["ClientTransactionID"], 77);
        EXPECT_EQ(answer["ErrorNumber"], 0);
        c.check(answer["Value"]);
    }
}

TEST_F(AlpacaApi, UniqueIdIsMadeOnceAndKept) {
    if (server.external()) GTEST_SKIP() << "needs a server of its own";
    auto uniqueId = [](const Endpoint &endpoint) {
        const HttpReply reply = httpRequest(endpoint, "GET", "/management/v1/configureddevices");
        return AlpacaClient::json(reply)["Value"][0]["UniqueID"].get<std::string>();
    };
    const std::string first = uniqueId(server.endpoint());
    const std::string config = server.configPath();
    // Another server with the same configuration file names the same id; one
    // with a new file, another.
    ServerUnderTest same({"--config", config});
    ASSERT_TRUE(same.started()) << same.error();
    EXPECT_EQ(uniqueId(same.endpoint()), first);
    ServerUnderTest other;
    ASSERT_TRUE(other.started()) << other.error();
    EXPECT_NE(uniqueId(other.endpoint()), first);
}

TEST_F(AlpacaApi, CommonMembersAnswerWithoutAConnection) {
    const struct {
        const char *member;
        json value;
    } cases[] = {
        {"connected", false},     {"connecting", false},    {"interfaceversion", 4},
        {"driverversion", "1.0"}, {"name", "QM-208X VESK"}, {"supportedactions", json::array()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.member);
        const json answer = client.value(c.member);
        EXPECT_EQ(answer["ErrorNumber"], 0) << answer;
        EXPECT_EQ(answer["ErrorMessage"], "");
        EXPECT_EQ(answer["Value"], c.value);
    }
    const std::string description = client.value("description")["Value"];
    EXPECT_FALSE(description.empty());
    EXPECT_LE(description.size(), 68u);
    EXPECT_FALSE(client.value("driverinfo")["Value"].get<std::string>().empty());
}

TEST_F(AlpacaApi, CameraMembersNeedAConnection) {
    const char *getters[] = {"binx",       "camerastate", "cameraxsize", "imageready",
                             "sensortype", "devicestate", "imagearray",  "pixelsizex",
                             "numx",       "readoutmodes"};
    for (const char *member : getters) {
        SCOPED_TRACE(member);
        EXPECT_EQ(client.value(member)["ErrorNumber"], kNotConnected);
    }
    EXPECT_EQ(client.call("startexposure", "Duration=0.01&Light=true")["ErrorNumber"],
              kNotConnected);
    EXPECT_EQ(client.call("binx", "BinX=2")["ErrorNumber"], kNotConnected);
}

TEST_F(AlpacaApi, ConnectedCameraDescribesItself) {
    ASSERT_TRUE(client.connect());
    const struct {
        const char *member;
        json value;
    } cases[] = {
        {"connected", true},
        {"cameraxsize", 2048},
        {"cameraysize", 1536},
        {"maxadu", 65535},
        {"maxbinx", 4},
        {"maxbiny", 4},
        {"binx", 1},
        {"biny", 1},
        {"startx", 0},
        {"starty", 0},
        {"numx", 2048},
        {"numy", 1536},
        {"sensortype", 2},
        {"bayeroffsetx", 0},
        {"bayeroffsety", 0},
        {"sensorname", ""},
        {"canabortexposure", true},
        {"canasymmetricbin", false},
        {"canfastreadout", false},
        {"cangetcoolerpower", false},
        {"canpulseguide", false},
        {"cansetccdtemperature", false},
        {"canstopexposure", false},
        {"hasshutter", false},
        {"exposuremin", 0.0},
        {"exposuremax", 536870.911},
        {"exposureresolution", 0.001},
        {"camerastate", 0},
        {"imageready", false},
        {"readoutmode", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.member);
        const json answer = client.value(c.member);
        EXPECT_EQ(answer["ErrorNumber"], 0) << answer;
        EXPECT_EQ(answer["Value"], c.value);
    }
    const json modes = client.value("readoutmodes")["Value"];
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_TRUE(modes[0].is_string() && modes[1].is_string());
}

TEST_F(AlpacaApi, MembersTheCameraLacksAreNotImplemented) {
    ASSERT_TRUE(client.connect());
    const char *getters[] = {"ccdtemperature",
                             "cooleron",
                             "coolerpower",
                             "electronsperadu",
                             "fastreadout",
                             "fullwellcapacity",
                             "gain",
                             "gainmax",
                             "gainmin",
                             "gains",
                             "heatsinktemperature",
                             "ispulseguiding",
                             "offset",
                             "offsetmax",
                             "offsetmin",
                             "offsets",
                             "setccdtemperature",
                             "subexposureduration"};
    for (const char *member : getters) {
        SCOPED_TRACE(member);
        const json answer = client.value(member);
        EXPECT_EQ(answer["ErrorNumber"], kNotImplemented) << answer;
        EXPECT_FALSE(answer.contains("Value"));
        EXPECT_FALSE(answer["ErrorMessage"].get<std::string>().empty());
    }
    const struct {
        const char *member;
        const char *form;
        int error;
    } setters[] = {
        {"cooleron", "CoolerOn=true", kNotImplemented},
        {"fastreadout", "FastReadout=false", kNotImplemented},
        {"gain", "Gain=1", kNotImplemented},
        {"offset", "Offset=1", kNotImplemented},
        {"setccdtemperature", "SetCCDTemperature=-10", kNotImplemented},
        {"subexposureduration", "SubExposureDuration=1", kNotImplemented},
        {"pulseguide", "Direction=0&Duration=100", kNotImplemented},
        {"stopexposure", "", kNotImplemented},
        {"action", "Action=x&Parameters=", kActionNotImplemented},
        {"commandblind", "Command=x&Raw=false", kNotImplemented},
        {"commandbool", "Command=x&Raw=false", kNotImplemented},
        {"commandstring", "Command=x&Raw=false", kNotImplemented},
    };
    for (const auto &c : setters) {
        SCOPED_TRACE(c.member);
        EXPECT_EQ(client.call(c.member, c.form)["ErrorNumber"], c.error);
    }
}

TEST_F(AlpacaApi, PixelSizeIsNotSetUntilTheUserGivesIt) {
    ASSERT_TRUE(client.connect());
    for (const char *member : {"pixelsizex", "pixelsizey"}) {
        const json answer = client.value(member);
        EXPECT_EQ(answer["ErrorNumber"], kValueNotSet) << answer;
        EXPECT_FALSE(answer.contains("Value"));
    }
    if (server.external()) return;
    ServerUnderTest sized({"--pixel-size", "5.2"});
    ASSERT_TRUE(sized.started()) << sized.error();
    AlpacaClient sizedClient(sized.endpoint(), 5);
    ASSERT_TRUE(sizedClient.connect());
    EXPECT_EQ(sizedClient.value("pixelsizex")["Value"], 5.2);
    EXPECT_EQ(sizedClient.value("pixelsizey")["Value"], 5.2);
}

TEST_F(AlpacaApi, TransactionIdsAreEchoedAndCounted) {
    uint32_t lastServerId = 0;
    for (int i = 0; i < 5; ++i) {
        const json answer = client.value("name");
        EXPECT_EQ(answer["ClientTransactionID"], client.lastTransactionId());
        const uint32_t serverId = answer["ServerTransactionID"];
        if (i == 0 && !server.external()) {
            EXPECT_EQ(serverId, 1u) << "a new server counts from 1";
        }
        EXPECT_GT(serverId, lastServerId);
        lastServerId = serverId;
    }
    // Without a ClientTransactionID, 0 is echoed.
    const HttpReply bare = httpRequest(server.endpoint(), "GET", "/api/v1/camera/0/name");
    EXPECT_EQ(AlpacaClient::json(bare)["ClientTransactionID"], 0);
}

TEST_F(AlpacaApi, MalformedRequestsGetHttp400WithAReason) {
    const std::string put = "PUT";
    const std::string get = "GET";
    const struct {
        const char *what;
        std::string method;
        std::string target;
        std::string body;
    } cases[] = {
        {"GET ClientID empty", get, "/api/v1/camera/0/name?ClientID=&ClientTransactionID=1", ""},
        {"GET ClientID white space", get,
         "/api/v1/camera/0/name?ClientID=%20%20&ClientTransactionID=1", ""},
        {"GET ClientID negative", get, "/api/v1/camera/0/name?ClientID=-12345", ""},
        {"GET ClientID text", get, "/api/v1/camera/0/name?ClientID=asdasd", ""},
        {"GET ClientTransactionID empty", get, "/api/v1/camera/0/name?ClientTransactionID=", ""},
        {"GET ClientTransactionID negative", get,
         "/api/v1/camera/0/name?ClientTransactionID=-67890", ""},
        {"GET ClientTransactionID text", get, "/api/v1/camera/0/name?clienttransactionid=qweqwe",
         ""},
        {"GET ClientTransactionID too large", get,
         "/api/v1/camera/0/name?ClientTransactionID=4294967296", ""},
        {"PUT ClientID negative", put, "/api/v1/camera/0/connected", "Connected=true&ClientID=-1"},
        {"PUT ClientTransactionID text", put, "/api/v1/camera/0/connected",
         "Connected=true&ClientTransactionID=x"},
        {"PUT value missing", put, "/api/v1/camera/0/connected", "ClientID=1"},
        {"PUT value empty", put, "/api/v1/camera/0/connected", "Connected=&ClientID=1"},
        {"PUT value a number", put, "/api/v1/camera/0/connected", "Connected=123456&ClientID=1"},
        {"PUT value meaningless", put, "/api/v1/camera/0/connected", "Connected=asdqwe&ClientID=1"},
        {"PUT name cased wrongly", put, "/api/v1/camera/0/connected", "connected=true&ClientID=1"},
        {"PUT name inverted", put, "/api/v1/camera/0/binx", "bINx=2&ClientID=1"},
        {"PUT BinX not a number", put, "/api/v1/camera/0/binx", "BinX=asduio6fghZZ&ClientID=1"},
        {"PUT BinX fraction", put, "/api/v1/camera/0/binx", "BinX=1.5&ClientID=1"},
        {"PUT NumX absurd", put, "/api/v1/camera/0/numx", "NumX=99999999999999&ClientID=1"},
        {"PUT Duration text", put, "/api/v1/camera/0/startexposure",
         "Duration=abc&Light=true&ClientID=1"},
        {"PUT Duration infinite", put, "/api/v1/camera/0/startexposure",
         "Duration=inf&Light=true&ClientID=1"},
        {"PUT Duration not a number", put, "/api/v1/camera/0/startexposure",
         "Duration=nan&Light=true&ClientID=1"},
        {"PUT Light missing", put, "/api/v1/camera/0/startexposure", "Duration=1&ClientID=1"},
        {"PUT Light a number", put, "/api/v1/camera/0/startexposure",
         "Duration=1&Light=1&ClientID=1"},
        {"PUT broken escape", put, "/api/v1/camera/0/binx", "BinX=%G2&ClientID=1"},
        {"PUT on a GET-only member", put, "/api/v1/camera/0/name", "ClientID=1"},
        {"GET on a method", get, "/api/v1/camera/0/startexposure?ClientID=1", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const HttpReply reply = httpRequest(server.endpoint(), c.method, c.target, c.body);
        EXPECT_EQ(reply.status, 400) << reply.body;
        EXPECT_NE(reply.headers.at("content-type").find("text/plain"), std::string::npos);
        EXPECT_GT(reply.body.size(), 5u) << "the reason is given";
    }
    // The server still answers.
    EXPECT_EQ(client.value("name")["ErrorNumber"], 0);
}

TEST_F(AlpacaApi, BadlyCasedIdsInAPutAreIgnoredAndGetNamesMatchInAnyCase) {
    // PUT names must match exactly: a wrongly cased ClientTransactionID is
    // not one, so 0 is echoed; GET names match in any case.
    const HttpReply put = httpRequest(server.endpoint(), "PUT", "/api/v1/camera/0/connected",
                                      "Connected=false&clienttransactionid=5");
    ASSERT_EQ(put.status, 200) << put.body;
    EXPECT_EQ(AlpacaClient::json(put)["ClientTransactionID"], 0);
    const HttpReply get = httpRequest(server.endpoint(), "GET",
                                      "/api/v1/camera/0/name?CLIENTTRANSACTIONID=6&clientid=3");
    ASSERT_EQ(get.status, 200) << get.body;
    EXPECT_EQ(AlpacaClient::json(get)["ClientTransactionID"], 6);
    // Extra fields are ignored.
    const HttpReply extra = httpRequest(server.endpoint(), "PUT", "/api/v1/camera/0/connected",
                                        "Connected=false&ClientID=1&ExtraParameter=ExtraValue");
    EXPECT_EQ(extra.status, 200) << extra.body;
}

TEST_F(AlpacaApi, UnknownDevicesAndMembersAre404) {
    const char *targets[] = {
        "/api/v1/CAMERA/0/description",  "/api/v1/baddevicetype/0/description",
        "/api/v1/camera/-1/description", "/api/v1/camera/99999/description",
        "/api/v1/camera/A/description",  "/api/v1/camera/0/descrip",
        "/api/v1/camera/0/Description",  "/api/v1/telescope/0/description",
    };
    for (const char *target : targets) {
        SCOPED_TRACE(target);
        const HttpReply reply = httpRequest(server.endpoint(), "GET", target);
        EXPECT_EQ(reply.status, 404) << reply.body;
    }
}

TEST_F(AlpacaApi, BinningIsOneTwoOrFourOnBothAxes) {
    ASSERT_TRUE(client.connect());
    const struct {
        const char *member;
        const char *form;
        int error;
        int binAfter;
    } cases[] = {
        {"binx", "BinX=2", 0, 2},
        {"binx", "BinX=3", kInvalidValue, 2},
        {"biny", "BinY=4", 0, 4},
        {"binx", "BinX=0", kInvalidValue, 4},
        {"binx", "BinX=-1", kInvalidValue, 4},
        {"biny", "BinY=5", kInvalidValue, 4},
        {"binx", "BinX=1", 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.form);
        EXPECT_EQ(client.call(c.member, c.form)["ErrorNumber"], c.error);
        EXPECT_EQ(client.value("binx")["Value"], c.binAfter);
        EXPECT_EQ(client.value("biny")["Value"], c.binAfter);
    }
    EXPECT_EQ(client.call("readoutmode", "ReadoutMode=1")["ErrorNumber"], 0);
    EXPECT_EQ(client.value("readoutmode")["Value"], 1);
    EXPECT_EQ(client.call("readoutmode", "ReadoutMode=2")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(client.call("readoutmode", "ReadoutMode=-1")["ErrorNumber"], kInvalidValue);
    EXPECT_EQ(client.value("readoutmode")["Value"], 1);
}

TEST_F(AlpacaApi, SubframeAndDurationAreJudgedAtStartExposure) {
    ASSERT_TRUE(client.connect());
    const struct {
        const char *what;
        int bin, startX, startY, numX, numY;
        const char *duration;
        int error;
    } cases[] = {
        {"NumX past the binned frame", 2, 0, 0, 1025, 768, "0.01", kInvalidValue},
        {"NumY past the frame", 1, 0, 1, 2048, 1536, "0.01", kInvalidValue},
        {"negative StartX", 1, -1, 0, 10, 10, "0.01", kInvalidValue},
        {"empty", 4, 0, 0, 0, 10, "0.01", kInvalidValue},
        {"negative duration", 1, 0, 0, 10, 10, "-1", kInvalidValue},
        {"duration past the limit", 1, 0, 0, 10, 10, "536870.912", kInvalidValue},
        {"whole binned frame", 4, 0, 0, 512, 384, "0.001", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // The setters take any whole number: the check comes with the exposure.
        ASSERT_TRUE(client.setFrame(c.bin, 0, c.startX, c.startY, c.numX, c.numY));
        const json answer =
            client.call("startexposure", std::string("Duration=") + c.duration + "&Light=true");
        EXPECT_EQ(answer["ErrorNumber"], c.error) << answer;
        if (c.error != 0) {
            EXPECT_FALSE(answer["ErrorMessage"].get<std::string>().empty());
            EXPECT_EQ(client.value("camerastate")["Value"], 0) << "idle after a refusal";
            EXPECT_EQ(client.value("imageready")["Value"], false);
        }
    }
}

TEST_F(AlpacaApi, AnExposureRunsToAnImageAndIsDescribed) {
    ASSERT_TRUE(client.connect());
    // Only a fresh server has had no exposure; one already running
    // (QM_ALPACA_URL) has served the tests before this one.
    if (!externalServer()) {
        EXPECT_EQ(client.value("lastexposureduration")["ErrorNumber"], kValueNotSet);
        EXPECT_EQ(client.value("lastexposurestarttime")["ErrorNumber"], kValueNotSet);
    }
    EXPECT_EQ(client.value("imagearray")["ErrorNumber"], kInvalidOperation) << "no image yet";
    ASSERT_TRUE(client.setFrame(2, 0, 0, 0, 1024, 768));
    ASSERT_TRUE(client.expose(0.25));
    EXPECT_EQ(client.value("camerastate")["Value"], 0);
    EXPECT_EQ(client.value("percentcompleted")["Value"], 100);
    EXPECT_EQ(client.value("lastexposureduration")["Value"], 0.25);
    const std::string start = client.value("lastexposurestarttime")["Value"];
    EXPECT_TRUE(
        std::regex_match(start, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,3})?)")))
        << start;
    const json state = client.value("devicestate");
    ASSERT_EQ(state["ErrorNumber"], 0);
    std::map<std::string, json> named;
    for (const json &item : state["Value"]) named[item["Name"]] = item["Value"];
    EXPECT_EQ(named["CameraState"], 0);
    EXPECT_EQ(named["ImageReady"], true);
    EXPECT_EQ(named["PercentCompleted"], 100);
    EXPECT_TRUE(named.count("TimeStamp"));
    for (const auto &[name, value] : named) {
        EXPECT_TRUE(name == "CameraState" || name == "ImageReady" || name == "PercentCompleted" ||
                    name == "TimeStamp")
            << name << " is not an operational member";
    }
    // A second exposure is accepted at once.
    ASSERT_TRUE(client.expose(0.001));
}

TEST_F(AlpacaApi, SetupPageShowsTheCameraAndThePreview) {
    const HttpReply before = httpRequest(server.endpoint(), "GET", "/setup");
    ASSERT_EQ(before.status, 200);
    EXPECT_NE(before.headers.at("content-type").find("text/html"), std::string::npos);
    EXPECT_NE(before.body.find("not connected"), std::string::npos);
    EXPECT_NE(before.body.find("id=\"pixelsize\""), std::string::npos);
    // Nothing from elsewhere: no scripts, no links to other hosts.
    EXPECT_EQ(before.body.find("<script"), std::string::npos);
    EXPECT_EQ(before.body.find("http://"), std::string::npos);
    EXPECT_EQ(before.body.find("https://"), std::string::npos);
    EXPECT_EQ(httpRequest(server.endpoint(), "GET", "/setup/v1/camera/0/preview.png").status, 404);

    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.setFrame(1, 0, 0, 0, 2048, 1536));
    ASSERT_TRUE(client.expose(0.5));
    const HttpReply page = httpRequest(server.endpoint(), "GET", "/setup/v1/camera/0/setup");
    ASSERT_EQ(page.status, 200);
    for (const char *text :
         {"connected, 1 client", "QM-208X VESK driver", "Vantrel CCD", "2048 x 1536"}) {
        EXPECT_NE(page.body.find(text), std::string::npos) << text;
    }
    if (page.body.find("id=\"preview\"") == std::string::npos) {
        GTEST_SKIP() << "this build shows no preview";
    }
    const HttpReply png = httpRequest(server.endpoint(), "GET", "/setup/v1/camera/0/preview.png");
    ASSERT_EQ(png.status, 200);
    EXPECT_EQ(png.headers.at("content-type"), "image/png");
    ASSERT_GT(png.body.size(), 24u);
    EXPECT_EQ(png.body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // Width and height from the IHDR chunk: shrunk to at most 640 across.
    auto big = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(png.body[at]) << 24 |
                                     static_cast<uint8_t>(png.body[at + 1]) << 16 |
                                     static_cast<uint8_t>(png.body[at + 2]) << 8 |
                                     static_cast<uint8_t>(png.body[at + 3]));
    };
    EXPECT_EQ(big(16), 512u);
    EXPECT_EQ(big(20), 384u);
}

TEST_F(AlpacaApi, AsynchronousConnectAndDisconnect) {
    ASSERT_EQ(client.call("connect")["ErrorNumber"], 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (client.value("connecting")["Value"] == true &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(client.value("connected")["Value"], true);
    ASSERT_EQ(client.call("disconnect")["ErrorNumber"], 0);
    EXPECT_EQ(client.value("connecting")["Value"], false);
    EXPECT_EQ(client.value("connected")["Value"], false);
}

TEST_F(AlpacaApi, AFailedConnectionIsReported) {
    if (server.external()) GTEST_SKIP() << "needs a server of its own";
    ServerUnderTest missing({"--driver", "/nonexistent/D_QM208X.so"});
    ASSERT_TRUE(missing.started()) << missing.error();
    AlpacaClient lost(missing.endpoint(), 9);
    const json answer = lost.call("connected", "Connected=true");
    EXPECT_GE(answer["ErrorNumber"].get<int>(), 0x500) << answer;
    EXPECT_NE(answer["ErrorMessage"].get<std::string>().find("driver module"), std::string::npos)
        << answer;
    EXPECT_EQ(lost.value("connected")["Value"], false);
    ServerUnderTest noCamera({}, {{"QM_SIM_FAULT", "no-camera"}});
    ASSERT_TRUE(noCamera.started()) << noCamera.error();
    AlpacaClient without(noCamera.endpoint(), 9);
    EXPECT_GE(without.call("connected", "Connected=true")["ErrorNumber"].get<int>(), 0x500);
    EXPECT_EQ(without.value("connected")["Value"], false);
}

}  // namespace
