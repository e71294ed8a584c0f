// qm-alpaca from a client's side, with the simulated camera in real time:
// the time from StartExposure to the last byte of the full-frame image (mode 4,
// 2048 x 1536) over ImageBytes and over JSON, the transfer alone once
// ImageReady is seen, and how long any request waits while an exposure runs.
//
//   alpaca_exposure_bench [--repetitions N] [--exposure SECONDS]
//
// QM_ALPACA_URL=http://127.0.0.1:PORT times a server already running.
// Exit status 0 when every goal is met, 3 when one is missed, 1 on a failure.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/quantile.h"
#include "tests/alpaca/alpaca_harness.h"

namespace {

using namespace alpacatest;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Row {
    std::string label;
    std::vector<double> values;
    std::optional<double> goal;  // on the median, seconds
};

bool printRow(const Row &row, double unit, const char *unitName) {
    if (row.values.empty()) {
        std::printf("| %s | failed | | | | | |\n", row.label.c_str());
        return false;
    }
    const double median = quantile(row.values, 0.5);
    const bool met = !row.goal || median <= *row.goal;
    char goal[32] = "-";
    if (row.goal) std::snprintf(goal, sizeof goal, "<= %.0f %s", *row.goal * unit, unitName);
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %s | %s |\n", row.label.c_str(), median * unit,
                quantile(row.values, 0) * unit, quantile(row.values, 0.9) * unit,
                quantile(row.values, 1) * unit, goal, row.goal ? (met ? "met" : "MISSED") : "");
    return met;
}

// One exposure to the last byte of its image; false on any failure.
bool timeExposure(AlpacaClient &client, double exposure, bool imageBytes, double &endToEnd,
                  double &transfer, double &readyAfter) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", exposure);
    const auto start = Clock::now();
    if (AlpacaClient::json(
            client.put("startexposure", std::string("Duration=") + duration + "&Light=true"))
            .value("ErrorNumber", -1) != 0) {
        return false;
    }
    // Polled as a client does, every 5 ms.
    Clock::time_point ready;
    for (;;) {
        const HttpReply reply = client.get("imageready");
        if (AlpacaClient::json(reply).value("Value", false)) {
            ready = reply.finished;
            break;
        }
        if (Clock::now() - start > std::chrono::seconds(30)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto asked = Clock::now();
    const HttpReply image =
        client.get("imagearray", "",
                   imageBytes ? std::vector<std::string>{"Accept: application/imagebytes"}
                              : std::vector<std::string>{});
    RowImage decoded;
    std::string error;
    if (!(imageBytes ? imageFromImageBytes(image, decoded, error)
                     : imageFromJson(image, decoded, error)) ||
        decoded.width != 2048 || decoded.height != 1536) {
        std::fprintf(stderr, "bad image: %s\n", error.c_str());
        return false;
    }
    endToEnd = seconds(image.finished - start);
    transfer = seconds(image.finished - asked);
    readyAfter = seconds(ready - start);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int repetitions = 10;
    double exposure = 0.01;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repetitions") == 0 && i + 1 < argc) {
            repetitions = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--exposure") == 0 && i + 1 < argc) {
            exposure = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--repetitions N] [--exposure SECONDS]\n", argv[0]);
            return 2;
        }
    }
    if (repetitions < 1 || !(exposure > 0)) {
        std::fprintf(stderr, "repetitions must be at least 1 and the exposure above 0\n");
        return 2;
    }
    ServerUnderTest server({}, {{"QM_SIM_TIME_SCALE", "1"}});
    if (!server.started()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        return 1;
    }
    AlpacaClient client(server.endpoint(), 77);
    if (!client.connect() || !client.setFrame(1, 0, 0, 0, 2048, 1536)) {
        std::fprintf(stderr, "cannot connect the camera\n");
        return 1;
    }
    // One exposure first: the worker learns when frames of this size arrive.
    double unused[3];
    timeExposure(client, exposure, true, unused[0], unused[1], unused[2]);

    Row bytesEnd{"ImageBytes: StartExposure to last byte", {}, 0.35};
    Row bytesTransfer{"ImageBytes: transfer once ImageReady", {}, 0.030};
    Row jsonEnd{"JSON: StartExposure to last byte", {}, 1.0};
    Row jsonTransfer{"JSON: transfer once ImageReady", {}, std::nullopt};
    Row ready{"StartExposure to ImageReady seen", {}, std::nullopt};
    for (int i = 0; i < repetitions; ++i) {
        for (bool imageBytes : {true, false}) {
            double end = 0, transfer = 0, readyAfter = 0;
            if (!timeExposure(client, exposure, imageBytes, end, transfer, readyAfter)) {
                std::fprintf(stderr, "an exposure failed\n");
                return 1;
            }
            (imageBytes ? bytesEnd : jsonEnd).values.push_back(end);
            (imageBytes ? bytesTransfer : jsonTransfer).values.push_back(transfer);
            ready.values.push_back(readyAfter);
        }
    }

    // Requests while a 3 s exposure runs and the worker polls the module.
    Row latency{"any request during an exposure", {}, 0.050};
    if (AlpacaClient::json(client.put("startexposure", "Duration=3&Light=true"))
            .value("ErrorNumber", -1) != 0) {
        return 1;
    }
    const char *members[] = {"camerastate", "percentcompleted", "imageready", "devicestate", "binx",
                             "name"};
    const auto exposureStart = Clock::now();
    for (size_t i = 0; Clock::now() - exposureStart < std::chrono::milliseconds(2800); ++i) {
        const auto before = Clock::now();
        const HttpReply reply = client.get(members[i % std::size(members)]);
        if (reply.status != 200) return 1;
        latency.values.push_back(seconds(reply.finished - before));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.put("abortexposure");

    std::printf(
        "exposure %.3f s, full frame 2048 x 1536 (mode 4), %d repetitions per transmission; "
        "%zu requests during a 3 s exposure\n\n",
        exposure, repetitions, latency.values.size());
    std::printf("| qm-alpaca | median ms | min ms | p90 ms | max ms | goal | result |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    bool met = true;
    for (const Row *row : {&bytesEnd, &bytesTransfer, &jsonEnd, &jsonTransfer, &ready, &latency}) {
        met = printRow(*row, 1000, "ms") && met;
    }
    // The 50 ms promise holds for every request, not only the median.
    if (!latency.values.empty() && quantile(latency.values, 1) > 0.050) {
        std::printf("\nslowest request during the exposure took %.1f ms: above 50 ms\n",
                    quantile(latency.values, 1) * 1000);
        met = false;
    }
    return met ? 0 : 3;
}
