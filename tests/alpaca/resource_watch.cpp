#include "tests/alpaca/resource_watch.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "alpaca/image_encoding.h"

namespace alpacatest {

namespace {

int entriesOf(const std::string &folder) {
    std::error_code ec;
    int count = 0;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        ++count;
    }
    return ec ? -1 : count;
}

// "VmRSS:     1234 kB" in /proc/PID/status.
size_t statusKilobytes(const std::string &status, const std::string &name) {
    const size_t at = status.find("\n" + name + ":");
    return at == std::string::npos ? 0 : std::stoull(status.substr(at + name.size() + 2)) * 1024;
}

bool sameHandles(const ProcessResources &a, const ProcessResources &b) {
    return a.openFiles == b.openFiles && a.threads == b.threads;
}

bool isImageBytes(const FrameLoop &loop, int frame, int client) {
    switch (loop.transmission) {
        case Transmission::ImageBytes:
            return true;
        case Transmission::Json:
            return false;
        case Transmission::Alternating:
            break;
    }
    return (frame + client) % 2 == 1;
}

// The whole full frame in the chosen format; the numbers themselves are the
// image tests' business, here the size and framing show nothing was cut short.
std::string checkImage(const HttpReply &reply, bool imageBytes) {
    if (!reply.received || reply.status != 200) {
        return "no image: " +
               (reply.error.empty() ? "HTTP " + std::to_string(reply.status) : reply.error);
    }
    if (imageBytes) {
        alpaca::ImageBytesHeader header{};
        if (!alpaca::readImageBytesHeader(reply.body, header) || header.dimension1 != 2048 ||
            header.dimension2 != 1536 ||
            reply.body.size() != alpaca::kImageBytesHeaderSize + kFullFrameBytes) {
            return "not a full frame as ImageBytes: " + std::to_string(reply.body.size()) +
                   " bytes";
        }
        return "";
    }
    static constexpr char kHead[] = "{\"Type\":2,\"Rank\":2,\"Value\":[[";
    static constexpr char kTail[] = "\"ErrorNumber\":0,\"ErrorMessage\":\"\"}";
    const std::string &body = reply.body;
    const size_t commas = static_cast<size_t>(std::count(body.begin(), body.end(), ','));
    // Between the samples of a column and between columns, and six around the
    // image (after Type, Rank, Value, ClientTransactionID, ServerTransactionID
    // and ErrorNumber).
    const size_t expectedCommas = size_t{2048} * 1535 + 2047 + 6;
    if (body.rfind(kHead, 0) != 0 || body.size() < sizeof kTail ||
        body.compare(body.size() - (sizeof kTail - 1), sizeof kTail - 1, kTail) != 0 ||
        commas != expectedCommas) {
        return "not a full frame as JSON: " + std::to_string(body.size()) + " bytes, " +
               std::to_string(commas) + " commas";
    }
    return "";
}

}  // namespace

ProcessResources processResources(int pid) {
    const std::string folder = "/proc/" + std::to_string(pid);
    std::ifstream file(folder + "/status");
    const std::string status((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    ProcessResources resources;
    if (status.empty()) return resources;
    resources.residentBytes = statusKilobytes(status, "VmRSS");
    resources.peakResidentBytes = statusKilobytes(status, "VmHWM");
    resources.openFiles = entriesOf(folder + "/fd");
    resources.threads = entriesOf(folder + "/task");
    resources.read = resources.openFiles >= 0 && resources.threads >= 0;
    return resources;
}

ProcessResources settledResources(int pid, const ProcessResources *reference,
                                  std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    ProcessResources last = processResources(pid);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const ProcessResources now = processResources(pid);
        if (reference != nullptr ? sameHandles(now, *reference) : sameHandles(now, last)) {
            return now;
        }
        last = now;
    }
    return last;
}

bool runFrameLoop(const ServerUnderTest &server, const FrameLoop &loop,
                  std::vector<FrameSample> &samples, std::string &error) {
    std::vector<AlpacaClient> clients;
    for (int c = 0; c < loop.clients; ++c) {
        clients.emplace_back(server.endpoint(), static_cast<uint32_t>(101 + c));
        if (!clients.back().connect() || !clients.back().setFrame(1, 0, 0, 0, 2048, 1536)) {
            error = "client " + std::to_string(c) + " cannot connect and select the full frame";
            return false;
        }
    }
    samples.push_back({0, settledResources(server.pid(), nullptr)});
    for (int frame = 1; frame <= loop.frames; ++frame) {
        if (!clients[static_cast<size_t>(frame % loop.clients)].expose(0.01)) {
            error = "frame " + std::to_string(frame) + ": the exposure failed";
            return false;
        }
        std::vector<std::future<std::string>> reads;
        for (int c = 0; c < loop.clients; ++c) {
            const bool imageBytes = isImageBytes(loop, frame, c);
            reads.push_back(std::async(std::launch::async, [&client = clients[c], imageBytes] {
                return checkImage(
                    client.get("imagearray", "",
                               imageBytes
                                   ? std::vector<std::string>{"Accept: application/imagebytes"}
                                   : std::vector<std::string>{}),
                    imageBytes);
            }));
        }
        for (auto &read : reads) {
            if (std::string why = read.get(); !why.empty()) {
                error = "frame " + std::to_string(frame) + ": " + why;
            }
        }
        if (!error.empty()) return false;
        if (std::find(loop.sampleAfter.begin(), loop.sampleAfter.end(), frame) !=
            loop.sampleAfter.end()) {
            // Compared with the first frame's: the camera's connection may
            // leave a thread of its own behind until then.
            const ProcessResources *reference =
                samples.size() > 1 ? &samples[1].resources : nullptr;
            samples.push_back({frame, settledResources(server.pid(), reference)});
        }
    }
    return true;
}

}  // namespace alpacatest
