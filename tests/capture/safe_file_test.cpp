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

TEST(SafeFile, OutputDirectoryIsMadeProbedAndRemovedWhenUnused) {
    TempDir dir;
    std::filesystem::create_directory(dir / "old");
    std::string error;
    OutputDirectory output;
    ASSERT_TRUE(prepareOutputDirectory(dir / "old/new/deeper/x.fits", output, error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "old/new/deeper"));
    EXPECT_EQ(entriesIn(dir / "old/new/deeper"), 0u) << "probe file left behind";
    EXPECT_EQ(output.path, dir / "old/new/deeper");
    EXPECT_EQ(output.madeDirectories,
              (std::vector<std::string>{dir / "old/new", dir / "old/new/deeper"}));
    EXPECT_EQ(output.method, PlacementMethod::RenameNoReplace) << "the local file system has it";
    removeMadeDirectories(output);
    EXPECT_FALSE(std::filesystem::exists(dir / "old/new"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "old")) << "a directory it did not make";

    // A made directory that got a file keeps it, and so do those around it.
    ASSERT_TRUE(prepareOutputDirectory(dir / "old/new/deeper/x.fits", output, error)) << error;
    dir.touch("old/new/keep");
    removeMadeDirectories(output);
    EXPECT_FALSE(std::filesystem::exists(dir / "old/new/deeper"));
    EXPECT_TRUE(std::filesystem::exists(dir / "old/new/keep"));
}

TEST(SafeFile, EveryPlacementMethodRefusesATakenNameTable) {
    for (const PlacementMethod method :
         {PlacementMethod::RenameNoReplace, PlacementMethod::HardLink,
          PlacementMethod::ExclusiveClaim}) {
        SCOPED_TRACE(placementMethodName(method));
        TempDir dir;
        dir.touch("taken.fits", "precious");
        std::string error;
        PendingFile file;
        ASSERT_TRUE(file.write(dir / "taken.fits", bytesOf("frame"), error)) << error;
        PlacementMethod used = method;
        EXPECT_EQ(file.place(dir / "taken.fits", false, used, error), PlaceResult::NameTaken);
        EXPECT_EQ(readText(dir / "taken.fits"), "precious");
        EXPECT_EQ(entriesIn(dir.path()), 2u) << "the pending file waits for another name";
        EXPECT_EQ(file.place(dir / "free.fits", false, used, error), PlaceResult::Placed) << error;
        EXPECT_EQ(used, method) << "fell back although the method works here";
        EXPECT_EQ(readText(dir / "free.fits"), "frame");
        EXPECT_EQ(entriesIn(dir.path()), 2u) << "temporary file or claim left behind";
        EXPECT_EQ(std::filesystem::status(dir / "free.fits").permissions() &
                      std::filesystem::perms::others_read,
                  std::filesystem::perms::others_read)
            << "not readable like a new file";

        PendingFile replacement;
        ASSERT_TRUE(replacement.write(dir / "taken.fits", bytesOf("new"), error)) << error;
        EXPECT_EQ(replacement.place(dir / "taken.fits", true, used, error), PlaceResult::Placed);
        EXPECT_EQ(readText(dir / "taken.fits"), "new");
        EXPECT_EQ(entriesIn(dir.path()), 2u);
    }
}

TEST(SafeFile, DirectoryRemovedDuringTheRunIsMadeAgain) {
    TempDir dir;
    std::string error;
    OutputDirectory output;
    ASSERT_TRUE(prepareOutputDirectory(dir / "night/x.fits", output, error)) << error;
    std::filesystem::remove(dir / "night");
    ASSERT_TRUE(writeFileAtomically(dir / "night/x.fits", bytesOf("frame"), false, error)) << error;
    EXPECT_EQ(readText(dir / "night/x.fits"), "frame");
}

TEST(SafeFile, PendingFileNeverPlacedLeavesNothing) {
    TempDir dir;
    std::string error;
    {
        PendingFile file;
        ASSERT_TRUE(file.write(dir / "x.fits", bytesOf("data"), error)) << error;
        EXPECT_EQ(entriesIn(dir.path()), 1u);
    }
    EXPECT_EQ(entriesIn(dir.path()), 0u);
}

TEST(SafeFile, UnwritablePlacesAreRefusedTable) {
    TempDir dir;
    dir.touch("plainfile");
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir / "plainfile/x.fits", "cannot create output directory " +
                                       dir / "plainfile: " + dir / "plainfile is not a directory"},
        {dir / "plainfile/sub/x.fits", "cannot create output directory " + dir / "plainfile/sub: "},
        {"/proc/self/qm-capture-test.fits",
         "cannot write to output directory /proc/self: it is on the proc file system, which "
         "takes no new files"},
        {"/proc/qm-capture-test.fits",
         "cannot write to output directory /proc: it is on the proc file system"},
        {"/proc/qm-capture-test/x.fits",
         "cannot create output directory /proc/qm-capture-test: it is on the proc file system"},
        {"/sys/qm-capture-test.fits", "it is on the sysfs file system"},
    };
    for (const auto &c : cases) {
        std::string error;
        OutputDirectory output;
        EXPECT_FALSE(prepareOutputDirectory(c.path, output, error)) << c.path;
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
    OutputDirectory output;
    EXPECT_FALSE(prepareOutputDirectory(dir / "ro/x.fits", output, error));
    EXPECT_NE(error.find("cannot write to output directory"), std::string::npos) << error;
    std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_all);
}
