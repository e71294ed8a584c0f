// The byte encoding of a host session: export calls with their arguments, read
// front to back. Shared by the session fuzzer, which reads it, and the seed
// writer, which writes it, so the two cannot drift apart.
//
// Each call is one byte (taken modulo the number of exports) followed by its
// arguments, little-endian. Besides the export's own arguments a call carries
// what the SDK answers during it: the results of the open sequence, the frame
// state of a poll, and the seed of the frame content delivered for a request.
// An input that ends inside a call reads the missing bytes as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace session {

// In the order of the export table.
enum class Call : uint8_t {
    GetName,
    GetInfo,
    Initialize,         // int32 unused
    SetupCCD,           // int32 quiet, int8 x 3 open results, uint32 frame seed
    GetOK,
    BinningCount,
    BinningName,        // uint32 mode
    Subframe,           // uint32 x, y, width, height, mode
    GetWidth,           // int32 unused
    GetHeight,          // int32 unused
    IsColor,
    MoveFrame,          // int32 direction, uint16 repeats (the call is made repeats + 1 times)
    StartExposure,      // int32 length, int32 unused, uint32 frame seed
    IsExposing,         // int8 frame state answered by the SDK
    InterruptExposure,
    StartDownload,
    ReadImage,          // uint8 flags: kNullImage
    EndDownload,        // int32 unused
    GetTemperature,
    Finalize,
};
inline constexpr uint8_t kCallCount = static_cast<uint8_t>(Call::Finalize) + 1;

// ReadImage flag: pass a null image instead of one of the window's size.
inline constexpr uint8_t kNullImage = 1;

class Reader {
public:
    Reader(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return offset_ >= size_; }

    Call call() { return static_cast<Call>(take<uint8_t>() % kCallCount); }

    template <typename T>
    T take() {
        uint8_t bytes[sizeof(T)] = {};
        for (std::size_t i = 0; i < sizeof(T) && offset_ < size_; ++i) {
            bytes[i] = data_[offset_++];
        }
        // Little-endian whatever the processor, so a corpus file means the same
        // session everywhere.
        uint64_t value = 0;
        for (std::size_t i = sizeof(T); i-- > 0;) {
            value = value << 8 | bytes[i];
        }
        T result;
        const auto narrowed = static_cast<std::make_unsigned_t<T>>(value);
        std::memcpy(&result, &narrowed, sizeof result);
        return result;
    }

private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

class Writer {
public:
    const std::vector<uint8_t> &bytes() const { return bytes_; }

    Writer &getName() { return call(Call::GetName); }
    Writer &getInfo() { return call(Call::GetInfo); }
    Writer &initialize(int32_t unused = 0) { return call(Call::Initialize).put(unused); }
    Writer &setupCCD(int32_t quiet, int8_t initialVideo = 1, int8_t startView = 1,
                     int8_t enableAE = 1, uint32_t frameSeed = 0) {
        return call(Call::SetupCCD).put(quiet).put(initialVideo).put(startView).put(enableAE).put(
            frameSeed);
    }
    Writer &getOK() { return call(Call::GetOK); }
    Writer &binningCount() { return call(Call::BinningCount); }
    Writer &binningName(uint32_t mode) { return call(Call::BinningName).put(mode); }
    Writer &subframe(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint32_t mode) {
        return call(Call::Subframe).put(x).put(y).put(width).put(height).put(mode);
    }
    Writer &getWidth(int32_t unused = 0) { return call(Call::GetWidth).put(unused); }
    Writer &getHeight(int32_t unused = 0) { return call(Call::GetHeight).put(unused); }
    Writer &isColor() { return call(Call::IsColor); }
    Writer &moveFrame(int32_t direction, uint16_t repeats = 0) {
        return call(Call::MoveFrame).put(direction).put(repeats);
    }
    Writer &startExposure(int32_t length, int32_t unused = 0, uint32_t frameSeed = 0) {
        return call(Call::StartExposure).put(length).put(unused).put(frameSeed);
    }
    Writer &isExposing(int8_t frameState) { return call(Call::IsExposing).put(frameState); }
    Writer &interruptExposure() { return call(Call::InterruptExposure); }
    Writer &startDownload() { return call(Call::StartDownload); }
    Writer &readImage(uint8_t flags = 0) { return call(Call::ReadImage).put(flags); }
    Writer &endDownload(int32_t unused = 0) { return call(Call::EndDownload).put(unused); }
    Writer &getTemperature() { return call(Call::GetTemperature); }
    Writer &finalize() { return call(Call::Finalize); }

private:
    Writer &call(Call c) { return put(static_cast<uint8_t>(c)); }

    template <typename T>
    Writer &put(T value) {
        uint64_t bits = static_cast<std::make_unsigned_t<T>>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i, bits >>= 8) {
            bytes_.push_back(static_cast<uint8_t>(bits));
        }
        return *this;
    }

    std::vector<uint8_t> bytes_;
};

}  // namespace session
