#include "alpaca/alpaca_server.h"

#include <httplib.h>

#include <cstdio>
#include <string_view>
#include <type_traits>

#include "alpaca/image_encoding.h"
#include "alpaca/server_config.h"
#include "alpaca/setup_page.h"
#include "host/camera_identity.h"

namespace alpaca {

namespace {

constexpr char kJson[] = "application/json";
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kHtml[] = "text/html; charset=utf-8";

std::string queryOf(const httplib::Request &request) {
    const size_t question = request.target.find('?');
    return question == std::string::npos ? "" : request.target.substr(question + 1);
}

void plainError(httplib::Response &response, int status, const std::string &reason) {
    response.status = status;
    response.set_content(reason + "\n", kText);
}

bool acceptsImageBytes(const httplib::Request &request) {
    return request.get_header_value("Accept").find(kImageBytesMimeType) != std::string::npos;
}

// cpp-httplib compresses a JSON answer of unknown length as the request's
// Accept-Encoding allows, brotli first where it is built with brotli, then
// gzip (the same tests as its own). Brotli at its default quality takes most
// of a minute for a full frame's 14 MB, so only gzip is taken.
bool streamsGzip(const httplib::Request &request) {
    [[maybe_unused]] const std::string accepted = request.get_header_value("Accept-Encoding");
#ifdef CPPHTTPLIB_BROTLI_SUPPORT
    if (accepted.find("br") != std::string::npos) {
        return false;
    }
#endif
#ifdef CPPHTTPLIB_ZLIB_SUPPORT
    return accepted.find("gzip") != std::string::npos;
#else
    return false;
#endif
}

// One range that lies in the answer, as cpp-httplib serves it from a stream;
// several ranges (which it cannot stream) or one past the end are refused.
bool rangeServable(const httplib::Request &request, size_t size) {
    if (request.ranges.size() != 1) {
        return request.ranges.empty();
    }
    const auto [first, last] = request.ranges.front();  // -1: not given
    const auto end = static_cast<std::remove_const_t<decltype(first)>>(size);
    if (first == -1) {
        return last > 0;  // the last `last` bytes
    }
    return first < end && (last == -1 || last < end);
}

// An ImageArray answer, streamed from the image in pieces of one buffer on
// the request thread's stack: the answer as a whole is never held, so no
// request thread keeps megabytes of it in its allocator afterwards. Sent with
// its length, as any answer; in gzip (with chunked transfer instead) to a
// client that asks for it.
void streamImage(const httplib::Request &request, httplib::Response &response,
                 std::shared_ptr<const ImageAnswer> answer, const char *type) {
    static constexpr size_t kPieceBytes = 64 * 1024;
    const auto send = [answer](size_t offset, httplib::DataSink &sink) {
        char piece[kPieceBytes];
        const size_t n = answer->read(offset, piece, sizeof piece);
        return n != 0 && sink.write(piece, n);
    };
    // cpp-httplib compresses JSON, never ImageBytes.
    if (type == std::string_view(kJson) && streamsGzip(request)) {
        response.set_chunked_content_provider(
            type, [answer, send](size_t offset, httplib::DataSink &sink) {
                if (offset >= answer->size()) {
                    sink.done();
                    return true;
                }
                return send(offset, sink);
            });
        return;
    }
    if (!rangeServable(request, answer->size())) {
        response.status = 416;
        return;
    }
    response.set_content_provider(
        answer->size(), type,
        [send](size_t offset, size_t, httplib::DataSink &sink) { return send(offset, sink); });
}

}  // namespace

AlpacaServer::AlpacaServer(CameraDevice &device, ServerOptions options)
    : device_(device), options_(std::move(options)), http_(std::make_unique<httplib::Server>()) {
    const auto seconds = [](std::chrono::milliseconds t) {
        return static_cast<time_t>(t.count() / 1000);
    };
    const auto micros = [](std::chrono::milliseconds t) {
        return static_cast<time_t>(t.count() % 1000 * 1000);
    };
    http_->set_read_timeout(seconds(options_.readTimeout), micros(options_.readTimeout));
    http_->set_write_timeout(seconds(options_.writeTimeout), micros(options_.writeTimeout));
    http_->set_keep_alive_timeout(static_cast<time_t>(options_.keepAliveTimeout.count()));
    http_->set_payload_max_length(options_.maxBodyBytes);
    const size_t threads = options_.threads;
    http_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    addRoutes();
}

AlpacaServer::~AlpacaServer() { stop(); }

int AlpacaServer::bind() {
    const int port =
        options_.port == 0
            ? http_->bind_to_any_port(options_.bindAddress)
            : (http_->bind_to_port(options_.bindAddress, options_.port) ? options_.port : -1);
    if (port < 0) {
        error_ = "cannot listen on " + options_.bindAddress + " port " +
                 std::to_string(options_.port) + " (in use, or not an address of this computer)";
    }
    return port;
}

bool AlpacaServer::run() { return http_->listen_after_bind(); }

void AlpacaServer::stop() {
    if (http_) {
        http_->stop();
    }
}

void AlpacaServer::addRoutes() {
    addManagementRoutes();
    static const char kDevicePattern[] = R"(/api/v1/([^/]+)/([^/]+)/([^/]+))";
    http_->Get(kDevicePattern, [this](const httplib::Request &request, httplib::Response &response) {
        answerDevice(request, response, false);
    });
    http_->Put(kDevicePattern, [this](const httplib::Request &request, httplib::Response &response) {
        answerDevice(request, response, true);
    });
    addSetupRoutes();
}

// Management API: what a client asks after discovery.
void AlpacaServer::addManagementRoutes() {
    auto management = [this](std::function<std::string()> value) {
        return [this, value](const httplib::Request &request, httplib::Response &response) {
            const Fields fields(queryOf(request), false);
            ClientIds ids;
            std::string error;
            if (!readClientIds(fields, ids, error)) {
                plainError(response, 400, error);
                return;
            }
            response.set_content(
                answerBody(MemberResult::value(value()), ids, nextServerTransactionId()), kJson);
        };
    };
    http_->Get("/management/apiversions", management([] { return std::string("[1]"); }));
    http_->Get(
        "/management/v1/description", management([] {
            return std::string(
                       "{\"ServerName\":\"qm-alpaca\",\"Manufacturer\":\"QM208X driver project\","
                       "\"ManufacturerVersion\":\"") +
                   QM_ALPACA_VERSION + "\",\"Location\":\"\"}";
        }));
    const std::string uniqueId = options_.uniqueId;
    http_->Get(
        "/management/v1/configureddevices", management([uniqueId] {
            return "[{\"DeviceName\":" + jsonString(kCameraName) +
                   ",\"DeviceType\":\"Camera\",\"DeviceNumber\":0,\"UniqueID\":" +
                   jsonString(uniqueId) + "}]";
        }));
}

// Device API: /api/v1/{type}/{number}/{member}, camera 0 only.
void AlpacaServer::answerDevice(const httplib::Request &request, httplib::Response &response,
                                bool put) {
    const std::string &type = request.matches[1];
    const std::string &number = request.matches[2];
    const std::string &member = request.matches[3];
    if (type != "camera") {
        plainError(response, 404, "no device type '" + type + "' here: this server has camera 0");
        return;
    }
    if (number != "0") {
        plainError(response, 404, "no camera '" + number + "' here: this server has camera 0");
        return;
    }
    if (!CameraDevice::hasMember(member)) {
        plainError(response, 404, "the camera has no member '" + member + "'");
        return;
    }
    // GET fields come in the query, names in any case; PUT fields in the form
    // body, names exactly as the API spells them.
    const Fields fields(put ? std::string_view(request.body) : std::string_view(queryOf(request)),
                        put);
    ClientIds ids;
    std::string error;
    if (!readClientIds(fields, ids, error)) {
        plainError(response, 400, error);
        return;
    }
    const uint32_t serverId = nextServerTransactionId();
    if (member == "imagearray" || member == "imagearrayvariant") {
        if (put) {
            plainError(response, 400, member + " cannot be set (GET only)");
            return;
        }
        answerImage(request, response, ids, serverId);
        return;
    }
    const MemberResult result = device_.call(member, put, fields, ids.clientId);
    if (result.badRequest) {
        plainError(response, 400, result.message);
        return;
    }
    response.set_content(answerBody(result, ids, serverId), kJson);
}

void AlpacaServer::answerImage(const httplib::Request &request, httplib::Response &response,
                               const ClientIds &ids, uint32_t serverId) {
    MemberResult refusal;
    const auto image = device_.image(ids.clientId, refusal);
    if (!image) {
        // Refusals travel as JSON even to a client that asked for ImageBytes,
        // as the protocol has it.
        response.set_content(answerBody(refusal, ids, serverId), kJson);
    } else if (acceptsImageBytes(request)) {
        streamImage(request, response, std::make_shared<ImageBytesAnswer>(image, ids, serverId),
                    kImageBytesMimeType);
    } else {
        streamImage(request, response, std::make_shared<ImageArrayJsonAnswer>(image, ids, serverId),
                    kJson);
    }
}

// Setup pages, for a person with a browser.
void AlpacaServer::addSetupRoutes() {
    auto page = [this](const httplib::Request &request, httplib::Response &response) {
        const std::string notice = request.has_param("saved") ? "Pixel size saved." : "";
        response.set_content(
            setupPageHtml(device_.status(), notice, static_cast<bool>(options_.previewPng)), kHtml);
    };
    http_->Get("/setup", page);
    http_->Get(kSetupPath, page);
    http_->Post(kSetupPath, [this](const httplib::Request &request, httplib::Response &response) {
        savePixelSize(request, response);
    });
    http_->Get(kPreviewPath, [this](const httplib::Request &, httplib::Response &response) {
        const DeviceStatus status = device_.status();
        std::string png;
        if (!options_.previewPng || !status.image) {
            plainError(response, 404, "no preview: no image yet");
            return;
        }
        if (!options_.previewPng(status, png)) {
            plainError(response, 500, "the preview could not be made");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(std::move(png), "image/png");
    });
}

void AlpacaServer::savePixelSize(const httplib::Request &request, httplib::Response &response) {
    const Fields fields(request.body, false);
    const std::string *text = fields.find("PixelSize");
    const bool withPreview = static_cast<bool>(options_.previewPng);
    double microns = 0;
    std::string error;
    if (text == nullptr || !parseFiniteDouble(*text, microns) || !pixelSizeAcceptable(microns)) {
        response.status = 400;
        response.set_content(setupPageHtml(device_.status(),
                                           "Not saved: the pixel size must be a number above 0 "
                                           "and at most 100 microns.",
                                           withPreview),
                             kHtml);
        return;
    }
    if (options_.savePixelSize && !options_.savePixelSize(microns, error)) {
        response.status = 500;
        response.set_content(setupPageHtml(device_.status(), "Not saved: " + error, withPreview),
                             kHtml);
        return;
    }
    device_.setPixelSize(microns);
    // After a POST the browser is sent back to the page (a reload then does
    // not post again).
    response.set_redirect(std::string(kSetupPath) + "?saved=1", 303);
}

}  // namespace alpaca
