// What the Alpaca tests and benchmark stand on: a plain HTTP/1.1 client of our
// own over a TCP socket (so malformed and slow requests can be sent too), a
// real qm-alpaca on a free loopback port with the simulated camera, and an
// Alpaca client that counts its transaction ids.
//
// QM_ALPACA_URL=http://HOST:PORT points every test at a server already
// running instead (qm-alpaca.exe under Wine, say); HOST must be a loopback
// address.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace alpacatest {

struct Endpoint {
    std::string host = "127.0.0.1";
    int port = 0;
};

struct HttpReply {
    bool received = false;  // a whole answer arrived
    std::string error;      // why not
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    // When the last byte arrived.
    std::chrono::steady_clock::time_point finished;
};

// A socket connected to the endpoint, or -1.
int connectTo(const Endpoint &endpoint,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));
void closeSocket(int socket);
bool sendAll(int socket, const std::string &bytes);
// Reads one answer (Content-Length or until the server closes).
HttpReply readReply(int socket, std::chrono::milliseconds timeout);

// One request on a connection of its own, closed afterwards.
HttpReply httpRequest(const Endpoint &endpoint, const std::string &method,
                      const std::string &target, const std::string &body = "",
                      const std::vector<std::string> &headers = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A form or query field with its value percent-encoded.
std::string field(const std::string &name, const std::string &value);

// qm-alpaca under test.
class ServerUnderTest {
public:
    // Starts the program built here with --port 0 --bind 127.0.0.1
    // --no-discovery, a private configuration file, a 1 s request timeout and
    // the simulated camera delivering at once, plus `arguments`; `environment`
    // adds to or (empty value) removes from its environment. With
    // QM_ALPACA_URL set nothing is started.
    explicit ServerUnderTest(std::vector<std::string> arguments = {},
                             std::map<std::string, std::string> environment = {});
    ~ServerUnderTest();
    ServerUnderTest(const ServerUnderTest &) = delete;
    ServerUnderTest &operator=(const ServerUnderTest &) = delete;

    bool started() const { return endpoint_.port != 0; }
    const std::string &error() const { return error_; }
    const Endpoint &endpoint() const { return endpoint_; }
    bool external() const { return pid_ < 0; }
    // The server's process id; negative when external or ended.
    int pid() const { return pid_; }
    // Still running (always true for an external server).
    bool alive();
    const std::string &configPath() const { return configPath_; }
    std::string log() const;
    // Ends the server (SIGTERM, then SIGKILL after 5 s); its exit status, or -1.
    int stop();

private:
    Endpoint endpoint_;
    std::string error_;
    std::string folder_;
    std::string configPath_;
    std::string logPath_;
    int pid_ = -1;
    int exitStatus_ = -1;
};

// True when the tests run against a server they did not start.
bool externalServer();

// The Alpaca calls of one client (one ClientID), through httpRequest.
class AlpacaClient {
public:
    AlpacaClient(Endpoint endpoint, uint32_t clientId)
        : endpoint_(std::move(endpoint)), clientId_(clientId) {}

    // GET /api/v1/camera/0/<member>?<query>&ClientID&ClientTransactionID.
    HttpReply get(const std::string &member, const std::string &query = "",
                  const std::vector<std::string> &headers = {});
    // PUT with the form fields and the ids.
    HttpReply put(const std::string &member, const std::string &form = "");
    // The JSON of an answer (null when it is not JSON).
    static nlohmann::json json(const HttpReply &reply);

    // Shorthands that expect HTTP 200: the answer's JSON.
    nlohmann::json value(const std::string &member);
    nlohmann::json call(const std::string &member, const std::string &form = "");

    // Connected=true, then waits for nothing more; true when ErrorNumber 0.
    bool connect();
    bool disconnect();
    // StartExposure, then ImageReady polled every 5 ms until true or timeout.
    bool expose(double seconds, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sets BinX, BinY, ReadoutMode, StartX, StartY, NumX, NumY.
    bool setFrame(int bin, int readoutMode, int startX, int startY, int numX, int numY);

    uint32_t lastTransactionId() const { return transaction_; }
    uint32_t clientId() const { return clientId_; }
    const Endpoint &endpoint() const { return endpoint_; }

private:
    std::string ids();

    Endpoint endpoint_;
    uint32_t clientId_;
    uint32_t transaction_ = 0;
};

// An image as the tests compare them: width x height, row-major, top row first.
struct RowImage {
    int width = 0;
    int height = 0;
    std::vector<uint16_t> pixels;

    uint16_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    bool operator==(const RowImage &) const = default;
};

// Reads ImageArray answers; false with a reason for anything malformed.
bool imageFromJson(const HttpReply &reply, RowImage &image, std::string &error);
bool imageFromImageBytes(const HttpReply &reply, RowImage &image, std::string &error);
RowImage crop(const RowImage &image, int x, int y, int width, int height);

}  // namespace alpacatest
