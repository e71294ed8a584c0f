// Clients that misbehave: a huge body, one byte a second, a download dropped
// half way, requests for paths that do not exist. Each gets an error or a
// closed connection, and the server goes on serving everyone else.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "tests/alpaca/alpaca_harness.h"

using namespace alpacatest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

class AlpacaRobustness : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()) << server.error(); }

    // Another client is answered promptly meanwhile.
    void othersAreServed() {
        AlpacaClient other(server.endpoint(), 4242);
        const auto before = Clock::now();
        EXPECT_EQ(other.value("name")["ErrorNumber"], 0);
        EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
    }

    ServerUnderTest server;
    AlpacaClient client{server.endpoint(), 3001};
};

TEST_F(AlpacaRobustness, AHundredMegabyteBodyIsRefused) {
    ASSERT_TRUE(client.connect());
    // Bin 1 whatever an earlier test left on a shared server (QM_ALPACA_URL).
    ASSERT_TRUE(client.setFrame(1, 0, 0, 0, 2048, 1536));
    const int s = connectTo(server.endpoint());
    ASSERT_GE(s, 0);
    const size_t size = 100u << 20;
    const auto start = Clock::now();
    ASSERT_TRUE(sendAll(s,
                        "PUT /api/v1/camera/0/binx HTTP/1.1\r\nHost: x\r\nContent-Type: "
                        "application/x-www-form-urlencoded\r\nContent-Length: " +
                            std::to_string(size) + "\r\n\r\nBinX=2&ClientID=3001&"));
    // The server answers 413 or closes the connection: either way sending
    // stops, the body is never applied, and it takes seconds at most.
    const std::string chunk(1 << 20, 'a');
    for (size_t sent = 0; sent < size && Clock::now() - start < std::chrono::seconds(10);
         sent += chunk.size()) {
        if (!sendAll(s, chunk)) break;
    }
    const HttpReply reply = readReply(s, std::chrono::seconds(5));
    closeSocket(s);
    if (reply.received) {
        EXPECT_EQ(reply.status, 413);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(client.value("binx")["Value"], 1);
    othersAreServed();
}

TEST_F(AlpacaRobustness, AClientSendingOneByteASecondIsCutOff) {
    const int s = connectTo(server.endpoint());
    ASSERT_GE(s, 0);
    const std::string request = "GET /api/v1/camera/0/name HTTP/1.1\r\nHost: x\r\n\r\n";
    const auto start = Clock::now();
    bool closed = false;
    auto slow = std::async(std::launch::async, [&] {
        for (char c : request) {
            if (!sendAll(s, std::string(1, c))) {
                closed = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            if (Clock::now() - start > std::chrono::seconds(8)) return;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    othersAreServed();
    const HttpReply reply = readReply(s, std::chrono::seconds(8));
    slow.wait();
    closeSocket(s);
    // The server's 1 s request timeout (--timeout 1) ends the connection long
    // before the request could be complete.
    EXPECT_FALSE(reply.received && reply.status == 200) << reply.body;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    othersAreServed();
}

TEST_F(AlpacaRobustness, ADownloadDroppedHalfWayHarmsNoOne) {
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.setFrame(1, 0, 0, 0, 2048, 1536));
    ASSERT_TRUE(client.expose(0.01));
    for (int i = 0; i < 3; ++i) {
        const int s = connectTo(server.endpoint());
        ASSERT_GE(s, 0);
        ASSERT_TRUE(sendAll(
            s, "GET /api/v1/camera/0/imagearray?ClientID=3001 HTTP/1.1\r\nHost: x\r\n\r\n"));
        char buffer[4096];
        ASSERT_GT(recv(s, buffer, sizeof buffer, 0), 0);
        closeSocket(s);
    }
    othersAreServed();
    RowImage image;
    std::string error;
    ASSERT_TRUE(imageFromImageBytes(
        client.get("imagearray", "", {"Accept: application/imagebytes"}), image, error))
        << error;
    EXPECT_EQ(image.width, 2048);
}

TEST_F(AlpacaRobustness, GarbageAndUnknownPathsGetErrors) {
    const struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"not HTTP", "HELLO\r\n\r\n"},
        {"unknown path", "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"POST to the API",
         "POST /api/v1/camera/0/connected HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"},
        {"DELETE to the API", "DELETE /api/v1/camera/0/connected HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"path escaping the root", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"huge header",
         "GET /api/v1/camera/0/name HTTP/1.1\r\nX: " + std::string(200000, 'x') + "\r\n\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const int s = connectTo(server.endpoint());
        ASSERT_GE(s, 0);
        sendAll(s, c.bytes);
        const HttpReply reply = readReply(s, std::chrono::seconds(5));
        closeSocket(s);
        if (reply.received) {
            EXPECT_GE(reply.status, 400) << reply.body;
            EXPECT_EQ(reply.body.find("root:"), std::string::npos);
        }
    }
    othersAreServed();
}

TEST_F(AlpacaRobustness, StopsCleanlyWhateverTheCameraIsDoing) {
    if (server.external()) GTEST_SKIP() << "needs servers of its own";
    // SIGTERM while frames arrive: the worker may report while it is being
    // shut down, and the camera is closed before the program ends.
    for (int delayMs : {0, 1, 2, 3, 5, 8, 12, 20}) {
        SCOPED_TRACE("stopped " + std::to_string(delayMs) + " ms after StartExposure");
        ServerUnderTest busy;
        ASSERT_TRUE(busy.started()) << busy.error();
        AlpacaClient c(busy.endpoint(), 12);
        ASSERT_TRUE(c.connect());
        ASSERT_TRUE(c.setFrame(1, 0, 0, 0, 2048, 1536));
        ASSERT_EQ(c.call("startexposure", "Duration=0.001&Light=true")["ErrorNumber"], 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        EXPECT_EQ(busy.stop(), 0) << busy.log();
    }
}

TEST_F(AlpacaRobustness, ManyClientsAtOnceAreAllAnswered) {
    std::vector<std::future<int>> answers;
    for (int i = 0; i < 16; ++i) {
        answers.push_back(std::async(std::launch::async, [this, i] {
            AlpacaClient c(server.endpoint(), 5000 + i);
            return c.value("interfaceversion")["Value"].get<int>();
        }));
    }
    for (auto &answer : answers) {
        EXPECT_EQ(answer.get(), 4);
    }
}

}  // namespace
