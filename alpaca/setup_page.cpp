#include "alpaca/setup_page.h"

#include <cstdio>

#include "alpaca/camera_device.h"

namespace alpaca {

namespace {

const char *stateName(CameraState state) {
    switch (state) {
        case CameraState::Idle:
            return "idle";
        case CameraState::Waiting:
            return "waiting";
        case CameraState::Exposing:
            return "exposing";
        case CameraState::Reading:
            return "reading out";
        case CameraState::Download:
            return "downloading";
        case CameraState::Error:
            return "error";
    }
    return "unknown";
}

std::string modeName(const DeviceStatus &status, uint32_t mode) {
    const std::string number = "mode " + std::to_string(mode);
    return mode < status.modeNames.size() ? number + " (" + status.modeNames[mode] + ")" : number;
}

}  // namespace

std::string escapeHtml(const std::string &text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string setupPageHtml(const DeviceStatus &status, const std::string &notice, bool withPreview) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>QM-208X VESK - qm-alpaca setup</title>"
        "<style>body{font-family:sans-serif;margin:2em;max-width:48em}"
        "td,th{padding:.2em .8em;text-align:left}.notice{font-weight:bold}</style></head><body>\n"
        "<h1>QM-208X VESK camera</h1>\n";
    if (!notice.empty()) {
        page += "<p class=\"notice\" id=\"notice\">" + escapeHtml(notice) + "</p>\n";
    }
    std::string connection = status.open
                                 ? "connected, " + std::to_string(status.clients) + " client(s)"
                                 : (status.connecting ? "connecting" : "not connected");
    page += "<table>\n<tr><th>Connection</th><td id=\"connection\">" + escapeHtml(connection) +
            "</td></tr>\n";
    page += "<tr><th>Driver module</th><td id=\"driver\">" +
            escapeHtml(status.open ? status.driverName : "(known once a client connects)") +
            "</td></tr>\n";
    page += "<tr><th>Camera</th><td id=\"camera\">" +
            escapeHtml(status.open ? status.driverInfo : "(known once a client connects)") +
            "</td></tr>\n";
    page += "<tr><th>State</th><td id=\"state\">" + std::string(stateName(status.state)) +
            (status.lastError.empty() ? "" : ": " + escapeHtml(status.lastError)) + "</td></tr>\n";
    page += "<tr><th>Binning</th><td id=\"binning\">" + std::to_string(status.bin) + " x " +
            std::to_string(status.bin) + ", readout mode " + std::to_string(status.readoutMode) +
            " (" + escapeHtml(kReadoutModes[status.readoutMode].name) + ")</td></tr>\n</table>\n";

    page += "<h2>Modes</h2>\n<table id=\"modes\"><tr><th>BinX = BinY</th>";
    for (int32_t r = 0; r < kReadoutModeCount; ++r) {
        page += "<th>ReadoutMode " + std::to_string(r) + ": " + escapeHtml(kReadoutModes[r].name) +
                "</th>";
    }
    page += "</tr>\n";
    for (int32_t bin : {1, 2, 4}) {
        page += "<tr><td>" + std::to_string(bin) + "</td>";
        for (int32_t r = 0; r < kReadoutModeCount; ++r) {
            const uint32_t mode = *modeForBinning(bin, kReadoutModes[r].kind);
            page += "<td>" + escapeHtml(modeName(status, mode)) + "</td>";
        }
        page += "</tr>\n";
    }
    page += "</table>\n";

    char size[32] = "";
    if (status.pixelSizeMicrons) {
        std::snprintf(size, sizeof size, "%g", *status.pixelSizeMicrons);
    }
    page +=
        "<h2>Pixel size</h2>\n<form method=\"post\" action=\"" + std::string(kSetupPath) +
        "\"><label for=\"pixelsize\">Pixel size (microns, square pixels)</label> "
        "<input id=\"pixelsize\" name=\"PixelSize\" type=\"text\" inputmode=\"decimal\" value=\"" +
        std::string(size) +
        "\" placeholder=\"not set\"> <button id=\"save\" type=\"submit\">Save</button>"
        "</form>\n<p>The driver cannot tell the pixel size: until it is set here or with "
        "<code>--pixel-size</code>, PixelSizeX and PixelSizeY answer \"value not set\".</p>\n";

    page += "<h2>Last image</h2>\n";
    if (status.image && withPreview) {
        page += "<p>" + std::to_string(status.image->numX) + " x " +
                std::to_string(status.image->numY) + " from " + std::to_string(status.imageStartX) +
                "," + std::to_string(status.imageStartY) + ", " +
                escapeHtml(modeName(status, status.imageMode)) +
                "</p>\n<img id=\"preview\" src=\"" + std::string(kPreviewPath) +
                "\" alt=\"preview of the last image\" style=\"max-width:100%\">\n";
    } else if (status.image) {
        page += "<p>" + std::to_string(status.image->numX) + " x " +
                std::to_string(status.image->numY) + " (this build shows no preview)</p>\n";
    } else {
        page += "<p id=\"noimage\">No image yet.</p>\n";
    }
    page += "</body></html>\n";
    return page;
}

}  // namespace alpaca
