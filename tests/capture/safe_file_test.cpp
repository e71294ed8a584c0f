// Output files appear complete or not at all and never replace a file unasked.
#include "tools/capture/safe_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/capture/temp_dir.h"

namespace {

std::vector<uint8_t> bytesOf(const std::string &text) { return {text.begin(), text.end()}; }

size_t entriesIn(const std::string &directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(SafeFile, WritesAndRefusesToReplace) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(writeFileAtomically(dir / "a.fits", bytesOf("first"), false, error)) << error;
    EXPECT_EQ(readText(dir / "a.fits"), "first");
    EXPECT_FALSE(writeFileAtomically(dir / "a.fits", bytesOf("second"), false, error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_NE(error.find("--overwrite"), std::string::npos) << error;
    EXPECT_EQ(readText(dir / "a.fits"), "first") << "existing file changed";
    EXPECT_EQ(entriesIn(dir.path()), 1u) << "temporary file left behind";
    ASSERT_TRUE(writeFileAtomically(dir / "a.fits", bytesOf("second"), true, error)) << error;
    EXPECT_EQ(readText(dir / "a.fits"), "second");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(SafeFile, EmptyAndLargeContents) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(writeFileAtomically(dir / "empty", {}, false, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(dir / "empty"), 0u);
    std::vector<uint8_t> large(7 << 20);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    ASSERT_TRUE(writeFileAtomically(dir / "large", large, false, error)) << error;
    const std::string back = readText(dir / "large");
    ASSERT_EQ(back.size(), large.size());
    EXPECT_TRUE(std::equal(large.begin(), large.end(), back.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }));
}

TEST(SafeFile, OutputDirectoryIsMadeAndProbed) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(prepareOutputDirectory(dir / "new/deeper/x.fits", error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new/deeper"));
    EXPECT_EQ(entriesIn(dir / "new/deeper"), 0u) << "probe file left behind";
}

TEST(SafeFile, UnwritablePlacesAreRefusedTable) {
    TempDir dir;
    dir.touch("plainfile");
    const struct {
        std::string path;
        const char *reason;
    } cases[] = {
        {dir / "plainfile/x.fits", "cannot create output directory"},
        {dir / "plainfile/sub/x.fits", "cannot create output directory"},
        {"/proc/self/qm-capture-test.fits", "cannot write to output directory /proc/self"},
        {"/proc/qm-capture-test/x.fits", "cannot create output directory"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(prepareOutputDirectory(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
        EXPECT_FALSE(writeFileAtomically(c.path, bytesOf("x"), false, error)) << c.path;
    }
}

TEST(SafeFile, ReadOnlyDirectoryWhenPermissionsApply) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only directories; /proc covers this case";
    }
    TempDir dir;
    std::filesystem::create_directory(dir / "ro");
    std::filesystem::permissions(
        dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    std::string error;
    EXPECT_FALSE(prepareOutputDirectory(dir / "ro/x.fits", error));
    EXPECT_NE(error.find("cannot write to output directory"), std::string::npos) << error;
    std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_all);
}
