// qm-alpaca's resources stay bounded over many full frames: two clients take
// turns to expose and both read every frame at once, one as ImageBytes and one
// as JSON, the formats swapping each frame. After 60 frames its resident
// memory is within three full frames of what it held after the first, with the
// same open files and threads. (bench/alpaca_memory.sh runs 300 frames a case.)
#include <gtest/gtest.h>

#include "tests/alpaca/resource_watch.h"

namespace {

using namespace alpacatest;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedAllocator = true;
#elif defined(__has_feature)
constexpr bool kSanitizedAllocator = __has_feature(address_sanitizer);
#else
constexpr bool kSanitizedAllocator = false;
#endif

TEST(AlpacaMemory, SixtyFramesInBothFormatsKeepMemoryFilesAndThreadsBounded) {
    if (externalServer()) {
        GTEST_SKIP() << "reads the server's /proc entries: needs a server of its own";
    }
    if (kSanitizedAllocator) {
        GTEST_SKIP() << "AddressSanitizer's allocator holds freed memory back on purpose";
    }
    ServerUnderTest server;
    ASSERT_TRUE(server.started()) << server.error();
    const FrameLoop loop{.transmission = Transmission::Alternating,
                         .clients = 2,
                         .frames = 60,
                         .sampleAfter = {1, 60}};
    std::vector<FrameSample> samples;
    std::string error;
    ASSERT_TRUE(runFrameLoop(server, loop, samples, error)) << error << "\n" << server.log();
    ASSERT_EQ(samples.size(), 3u);
    const ProcessResources &first = samples[1].resources;
    const ProcessResources &last = samples[2].resources;
    ASSERT_TRUE(first.read && last.read);
    EXPECT_LE(last.residentBytes, first.residentBytes + 3 * kFullFrameBytes)
        << "resident " << first.residentBytes / 1000 << " kB after frame 1, "
        << last.residentBytes / 1000 << " kB after frame 60";
    EXPECT_EQ(last.openFiles, first.openFiles);
    EXPECT_EQ(last.threads, first.threads);
}

}  // namespace
