#include "tests/alpaca/alpaca_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "alpaca/image_encoding.h"

namespace alpacatest {

namespace {

using Clock = std::chrono::steady_clock;

std::string lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool isLoopback(const std::string &host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost" ||
           host.rfind("127.", 0) == 0;
}

// QM_ALPACA_URL as host and port; port 0 when unset or not usable.
Endpoint externalEndpoint() {
    const char *url = std::getenv("QM_ALPACA_URL");
    if (url == nullptr || *url == '\0') {
        return {.host = "", .port = 0};
    }
    std::string rest = url;
    if (rest.rfind("http://", 0) == 0) rest = rest.substr(7);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
        return {.host = "", .port = 0};
    }
    std::string host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    const int port = std::atoi(rest.c_str() + colon + 1);
    if (!isLoopback(host)) {
        std::fprintf(stderr, "QM_ALPACA_URL must name a loopback address, not %s\n", host.c_str());
        return {.host = "", .port = 0};
    }
    return {.host = host, .port = port};
}

}  // namespace

bool externalServer() { return externalEndpoint().port != 0; }

int connectTo(const Endpoint &endpoint, std::chrono::milliseconds timeout) {
    if (!isLoopback(endpoint.host)) {
        return -1;  // the tests talk to this computer only
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found) !=
        0) {
        return -1;
    }
    int result = -1;
    for (addrinfo *a = found; a != nullptr && result < 0; a = a->ai_next) {
        const int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) continue;
        const int flags = fcntl(s, F_GETFL);
        fcntl(s, F_SETFL, flags | O_NONBLOCK);
        int ok = connect(s, a->ai_addr, a->ai_addrlen);
        if (ok != 0 && errno == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
                getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                ok = 0;
            }
        }
        if (ok == 0) {
            fcntl(s, F_SETFL, flags);
            const int one = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            result = s;
        } else {
            close(s);
        }
    }
    freeaddrinfo(found);
    return result;
}

void closeSocket(int socket) {
    if (socket >= 0) close(socket);
}

bool sendAll(int socket, const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

HttpReply readReply(int socket, std::chrono::milliseconds timeout) {
    HttpReply reply;
    const auto deadline = Clock::now() + timeout;
    std::string data;
    size_t headerEnd = std::string::npos;
    size_t expected = std::string::npos;
    char buffer[1 << 16];
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = data.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                std::istringstream lines(data.substr(0, headerEnd));
                std::string line;
                std::getline(lines, line);
                if (line.rfind("HTTP/1.", 0) != 0 || line.size() < 12) {
                    reply.error = "not an HTTP answer: " + line;
                    return reply;
                }
                reply.status = std::atoi(line.c_str() + 9);
                while (std::getline(lines, line)) {
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    const size_t colon = line.find(':');
                    if (colon == std::string::npos) continue;
                    std::string value = line.substr(colon + 1);
                    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
                    reply.headers[lower(line.substr(0, colon))] = value;
                }
                if (reply.headers.count("content-length") != 0) {
                    expected = std::stoull(reply.headers["content-length"]);
                }
                data.erase(0, headerEnd + 4);
                // Room for the whole body, as a client that read the length
                // makes (reserved after the move, which would drop it).
                reply.body = std::move(data);
                reply.body.reserve(expected == std::string::npos ? 0 : expected);
                data.clear();
            }
        }
        if (headerEnd != std::string::npos && expected != std::string::npos &&
            reply.body.size() >= expected) {
            reply.body.resize(expected);
            reply.received = true;
            reply.finished = Clock::now();
            return reply;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{socket, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
            reply.error = "no complete answer within " + std::to_string(timeout.count()) + " ms";
            return reply;
        }
        const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (headerEnd != std::string::npos && expected == std::string::npos) {
                reply.received = true;  // the body ran to the end of the connection
                reply.finished = Clock::now();
            } else {
                reply.error = "connection closed before a complete answer";
            }
            return reply;
        }
        (headerEnd == std::string::npos ? data : reply.body).append(buffer, static_cast<size_t>(n));
    }
}

HttpReply httpRequest(const Endpoint &endpoint, const std::string &method,
                      const std::string &target, const std::string &body,
                      const std::vector<std::string> &headers, std::chrono::milliseconds timeout) {
    const int s = connectTo(endpoint);
    if (s < 0) {
        HttpReply reply;
        reply.error = "cannot connect to " + endpoint.host + ":" + std::to_string(endpoint.port);
        return reply;
    }
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + endpoint.host + ":" +
                          std::to_string(endpoint.port) + "\r\nConnection: close\r\n";
    for (const std::string &header : headers) {
        request += header + "\r\n";
    }
    if (method == "PUT" || method == "POST") {
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    HttpReply reply;
    if (!sendAll(s, request)) {
        reply.error = "cannot send the request";
    } else {
        reply = readReply(s, timeout);
    }
    closeSocket(s);
    return reply;
}

std::string field(const std::string &name, const std::string &value) {
    std::string encoded = name + "=";
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    return encoded;
}

ServerUnderTest::ServerUnderTest(std::vector<std::string> arguments,
                                 std::map<std::string, std::string> environment) {
    if (const Endpoint external = externalEndpoint(); external.port != 0) {
        endpoint_ = external;
        return;
    }
    char pattern[] = "/tmp/qm-alpaca-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "cannot make a temporary folder";
        return;
    }
    folder_ = pattern;
    configPath_ = folder_ + "/qm-alpaca.json";
    logPath_ = folder_ + "/server.log";
    std::vector<std::string> words = {
        QM_ALPACA_PROGRAM, "--port",   "0",         "--bind",    "127.0.0.1",
        "--no-discovery",  "--config", configPath_, "--timeout", "1"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    environment.emplace("QM_SIM_TIME_SCALE", "0");
    environment.emplace("QM_SIM_NOISE", "fixed");

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = "cannot make a pipe";
        return;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The server ends with the test, however the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        for (const auto &[name, value] : environment) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        dup2(out[1], STDOUT_FILENO);
        const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, STDERR_FILENO);
        std::vector<char *> argv;
        for (std::string &word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        error_ = "cannot start qm-alpaca";
        return;
    }
    pid_ = pid;
    // The first line names the port.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    char c = 0;
    while (Clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) != 1) continue;
        if (read(out[0], &c, 1) != 1) break;
        if (c == '\n') break;
        line += c;
    }
    close(out[0]);
    const std::string prefix = "qm-alpaca: listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        error_ = "qm-alpaca did not start: '" + line + "'; its log: " + log();
        stop();
        return;
    }
    endpoint_ = {.host = "127.0.0.1", .port = std::atoi(line.c_str() + prefix.size())};
}

ServerUnderTest::~ServerUnderTest() {
    stop();
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

bool ServerUnderTest::alive() {
    if (pid_ < 0) return external();
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -2;
        return false;
    }
    return true;
}

std::string ServerUnderTest::log() const {
    std::ifstream file(logPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int ServerUnderTest::stop() {
    if (pid_ < 0) return exitStatus_;
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -2;
    return exitStatus_;
}

std::string AlpacaClient::ids() {
    return "ClientID=" + std::to_string(clientId_) +
           "&ClientTransactionID=" + std::to_string(++transaction_);
}

HttpReply AlpacaClient::get(const std::string &member, const std::string &query,
                            const std::vector<std::string> &headers) {
    const std::string target =
        "/api/v1/camera/0/" + member + "?" + (query.empty() ? "" : query + "&") + ids();
    return httpRequest(endpoint_, "GET", target, "", headers);
}

HttpReply AlpacaClient::put(const std::string &member, const std::string &form) {
    return httpRequest(endpoint_, "PUT", "/api/v1/camera/0/" + member,
                       (form.empty() ? "" : form + "&") + ids());
}

nlohmann::json AlpacaClient::json(const HttpReply &reply) {
    return nlohmann::json::parse(reply.body, nullptr, false);
}

nlohmann::json AlpacaClient::value(const std::string &member) {
    const HttpReply reply = get(member);
    return reply.status == 200 ? json(reply) : nlohmann::json();
}

nlohmann::json AlpacaClient::call(const std::string &member, const std::string &form) {
    const HttpReply reply = put(member, form);
    return reply.status == 200 ? json(reply) : nlohmann::json();
}

bool AlpacaClient::connect() {
    return call("connected", "Connected=True").value("ErrorNumber", -1) == 0;
}
bool AlpacaClient::disconnect() {
    return call("connected", "Connected=False").value("ErrorNumber", -1) == 0;
}

bool AlpacaClient::expose(double seconds, std::chrono::milliseconds timeout) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", seconds);
    if (call("startexposure", "Duration=" + std::string(duration) + "&Light=true")
            .value("ErrorNumber", -1) != 0) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const nlohmann::json ready = value("imageready");
        if (ready.value("ErrorNumber", -1) != 0) return false;
        if (ready.value("Value", false)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool AlpacaClient::setFrame(int bin, int readoutMode, int startX, int startY, int numX, int numY) {
    const std::pair<const char *, int> settings[] = {
        {"BinX", bin},      {"BinY", bin},      {"ReadoutMode", readoutMode},
        {"StartX", startX}, {"StartY", startY}, {"NumX", numX},
        {"NumY", numY}};
    for (const auto &[name, value] : settings) {
        std::string member = name;
        for (char &c : member) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (call(member, std::string(name) + "=" + std::to_string(value))
                .value("ErrorNumber", -1) != 0) {
            return false;
        }
    }
    return true;
}

bool imageFromJson(const HttpReply &reply, RowImage &image, std::string &error) {
    const nlohmann::json answer = AlpacaClient::json(reply);
    if (!answer.is_object() || answer.value("ErrorNumber", -1) != 0) {
        error = "not an image answer: " + reply.body.substr(0, 300);
        return false;
    }
    if (answer.value("Type", 0) != 2 || answer.value("Rank", 0) != 2 ||
        !answer["Value"].is_array()) {
        error = "Type must be 2 (Int32) and Rank 2";
        return false;
    }
    const nlohmann::json &columns = answer["Value"];
    image.width = static_cast<int>(columns.size());
    image.height = image.width > 0 ? static_cast<int>(columns[0].size()) : 0;
    image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
    for (int x = 0; x < image.width; ++x) {
        if (!columns[x].is_array() || static_cast<int>(columns[x].size()) != image.height) {
            error =
                "column " + std::to_string(x) + " is not " + std::to_string(image.height) + " long";
            return false;
        }
        for (int y = 0; y < image.height; ++y) {
            const nlohmann::json &v = columns[x][y];
            if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > 65535) {
                error = "element [" + std::to_string(x) + "][" + std::to_string(y) +
                        "] is not a 16-bit count";
                return false;
            }
            image.pixels[static_cast<size_t>(y) * image.width + x] =
                static_cast<uint16_t>(v.get<int64_t>());
        }
    }
    return true;
}

bool imageFromImageBytes(const HttpReply &reply, RowImage &image, std::string &error) {
    alpaca::ImageBytesHeader header{};
    if (reply.headers.count("content-type") == 0 ||
        reply.headers.at("content-type").find(alpaca::kImageBytesMimeType) == std::string::npos) {
        error = "Content-Type is not application/imagebytes: " + reply.body.substr(0, 300);
        return false;
    }
    if (!alpaca::readImageBytesHeader(reply.body, header)) {
        error = "shorter than the header";
        return false;
    }
    if (header.metadataVersion != 1 || header.errorNumber != 0 || header.dataStart != 44 ||
        header.imageElementType != 2 || header.transmissionElementType != 8 || header.rank != 2 ||
        header.dimension3 != 0) {
        error = "unexpected header fields";
        return false;
    }
    image.width = header.dimension1;
    image.height = header.dimension2;
    const size_t count = static_cast<size_t>(image.width) * image.height;
    if (reply.body.size() != 44 + 2 * count) {
        error = "the body holds " + std::to_string(reply.body.size() - 44) + " data bytes, not " +
                std::to_string(2 * count);
        return false;
    }
    image.pixels.assign(count, 0);
    const auto *data = reinterpret_cast<const uint8_t *>(reply.body.data() + 44);
    size_t i = 0;
    for (int x = 0; x < image.width; ++x) {
        for (int y = 0; y < image.height; ++y, ++i) {
            image.pixels[static_cast<size_t>(y) * image.width + x] =
                static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
        }
    }
    return true;
}

RowImage crop(const RowImage &image, int x, int y, int width, int height) {
    RowImage part{.width = width, .height = height, .pixels = {}};
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            part.pixels.push_back(image.at(x + column, y + row));
        }
    }
    return part;
}

}  // namespace alpacatest
