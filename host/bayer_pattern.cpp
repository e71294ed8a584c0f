#include "host/bayer_pattern.h"

namespace {

int parity(int64_t value) { return static_cast<int>(((value % 2) + 2) % 2); }

char sensorColour(int64_t rawRow, int64_t rawColumn) {
    return kSensorMosaic[parity(rawRow) * 2 + parity(rawColumn)];
}

}  // namespace

std::string bayerPatternFor(const CameraMode &mode, const PixelWindow &window) {
    if (!mode.keepsMosaic) {
        return {};
    }
    const int64_t firstRow =
        static_cast<int64_t>(mode.cellRows) * (int64_t{window.y} + window.height);
    const int64_t firstColumn = static_cast<int64_t>(mode.cellColumns) * window.x;
    return {sensorColour(firstRow, firstColumn), sensorColour(firstRow, firstColumn + 1),
            sensorColour(firstRow - 1, firstColumn), sensorColour(firstRow - 1, firstColumn + 1)};
}

char colourAt(const std::string &pattern, int64_t row, int64_t column) {
    return pattern[static_cast<size_t>(parity(row) * 2 + parity(column))];
}
