// The HTTP side of qm-alpaca: the Alpaca Device API v1 for camera 0, the
// Management API v1 and the setup pages, on cpp-httplib's threaded server.
// Requests are answered from CameraDevice's state; none waits on the camera.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "alpaca/camera_device.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace alpaca {

struct ServerOptions {
    std::string bindAddress = "0.0.0.0";
    int port = 11111;  // 0: any free port
    std::string uniqueId;
    // Bounds that keep one slow or greedy client from holding the server.
    std::chrono::milliseconds readTimeout{5000};
    std::chrono::milliseconds writeTimeout{10000};
    std::chrono::seconds keepAliveTimeout{5};
    size_t maxBodyBytes = 64 * 1024;
    size_t threads = 32;
    // Saves a pixel size entered on the setup page; false with a reason.
    std::function<bool(double microns, std::string &error)> savePixelSize;
    // A PNG preview of the last image; empty where the build has no PNG encoder.
    std::function<bool(const DeviceStatus &status, std::string &png)> previewPng;
};

class AlpacaServer {
public:
    AlpacaServer(CameraDevice &device, ServerOptions options);
    ~AlpacaServer();
    AlpacaServer(const AlpacaServer &) = delete;
    AlpacaServer &operator=(const AlpacaServer &) = delete;

    // Binds the listening socket; the port bound, or -1 (then error() says why).
    int bind();
    const std::string &error() const { return error_; }
    // Serves until stop(); false if the server could not listen.
    bool run();
    void stop();

private:
    void addRoutes();
    void addManagementRoutes();
    void addSetupRoutes();
    void answerDevice(const httplib::Request &request, httplib::Response &response, bool put);
    void answerImage(const httplib::Request &request, httplib::Response &response,
                     const ClientIds &ids, uint32_t serverId);
    void savePixelSize(const httplib::Request &request, httplib::Response &response);
    uint32_t nextServerTransactionId() { return ++serverTransactionId_; }

    CameraDevice &device_;
    ServerOptions options_;
    std::unique_ptr<httplib::Server> http_;
    std::atomic<uint32_t> serverTransactionId_{0};
    std::string error_;
};

}  // namespace alpaca
