// Names of saved frames: the next free number taken when the frame is saved,
// with other writers in the same folder at the same time.
#include "tools/capture/frame_files.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "tests/capture/temp_dir.h"

namespace {

FrameFileSettings settingsFor(const TempDir &dir, const std::string &templateText,
                              PlacementMethod method, bool previews = false) {
    FrameFileSettings settings;
    std::string error;
    EXPECT_TRUE(parseNameTemplate(dir / templateText, settings.names, error)) << error;
    EXPECT_TRUE(prepareOutputDirectory(dir / templateText, settings.directory, error)) << error;
    settings.directory.method = method;
    settings.previews = previews;
    return settings;
}

std::vector<uint8_t> bytesOf(const std::string &text) { return {text.begin(), text.end()}; }

constexpr const char *kStamp = "20261207T232013.123Z";

}  // namespace

TEST(FrameFiles, AlternativeNamesTable) {
    const struct {
        const char *path;
        uint64_t n;
        const char *expected;
    } cases[] = {
        {"a/x.fits", 2, "a/x_2.fits"},   {"x.FIT", 3, "x_3.FIT"},
        {"x.fts", 2, "x_2.fts"},         {"x", 2, "x_2"},
        {"x.fits.gz", 2, "x.fits.gz_2"}, {"a.b/x", 4, "a.b/x_4"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(numberedAlternative(c.path, c.n), c.expected) << c.path;
    }
}

// Writers started on the same first number, each saving its frames as fast as
// it can: every frame saved once, under a number of its own, whatever the
// placement method.
TEST(FrameFiles, ConcurrentWritersEachTakeTheirOwnNumbersTable) {
    constexpr int kWriters = 4;
    constexpr int kFramesEach = 40;
    for (const PlacementMethod method :
         {PlacementMethod::RenameNoReplace, PlacementMethod::HardLink,
          PlacementMethod::ExclusiveClaim}) {
        SCOPED_TRACE(placementMethodName(method));
        TempDir dir;
        std::vector<std::vector<std::string>> saved(kWriters);
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                FrameFiles files(settingsFor(dir, "f_{n:04}.fits", method));
                for (int i = 0; i < kFramesEach; ++i) {
                    std::string path, error;
                    const std::string content = std::to_string(w) + "/" + std::to_string(i);
                    if (files.saveFits(bytesOf(content), kStamp, path, error)) {
                        saved[w].push_back(path + "=" + content);
                    } else {
                        saved[w].push_back("failed: " + error);
                    }
                }
            });
        }
        for (std::thread &t : writers) {
            t.join();
        }
        std::set<std::string> paths;
        for (const auto &list : saved) {
            ASSERT_EQ(list.size(), static_cast<size_t>(kFramesEach));
            for (const std::string &entry : list) {
                ASSERT_EQ(entry.rfind("failed", 0), std::string::npos) << entry;
                const std::string path = entry.substr(0, entry.find('='));
                EXPECT_TRUE(paths.insert(path).second) << path << " given twice";
                EXPECT_EQ(readText(path), entry.substr(entry.find('=') + 1)) << "overwritten";
            }
        }
        EXPECT_EQ(filesIn(dir.path()).size(), static_cast<size_t>(kWriters * kFramesEach))
            << "stray or missing files";
        char last[32];
        std::snprintf(last, sizeof last, "f_%04d.fits", kWriters * kFramesEach);
        EXPECT_TRUE(paths.count(dir / last)) << "numbers skipped";
    }
}

TEST(FrameFiles, TakenNamesAndLonePreviewsAreSkipped) {
    TempDir dir;
    dir.touch("f_0002.fits", "other");
    dir.touch("f_0003.png", "a preview whose frame was removed");
    FrameFiles files(settingsFor(dir, "f_{n:04}.fits", PlacementMethod::RenameNoReplace, true));
    std::string path, error;
    ASSERT_TRUE(files.saveFits(bytesOf("a"), kStamp, path, error)) << error;
    EXPECT_EQ(path, dir / "f_0001.fits");
    ASSERT_TRUE(files.saveFits(bytesOf("b"), kStamp, path, error)) << error;
    EXPECT_EQ(path, dir / "f_0004.fits");
    EXPECT_EQ(files.nextNumber(), 5u);
    std::string preview;
    ASSERT_TRUE(files.savePreview(path, bytesOf("png"), preview, error)) << error;
    EXPECT_EQ(preview, dir / "f_0004.png");
    EXPECT_FALSE(files.savePreview(path, bytesOf("again"), preview, error));
    EXPECT_NE(error.find("f_0004.png already exists"), std::string::npos) << error;
    EXPECT_EQ(readText(dir / "f_0002.fits"), "other");
    EXPECT_EQ(readText(dir / "f_0004.png"), "png");

    // A fixed name another writer took gets the next alternative.
    FrameFiles fixed(settingsFor(dir, "single.fits", PlacementMethod::ExclusiveClaim));
    dir.touch("single.fits", "theirs");
    ASSERT_TRUE(fixed.saveFits(bytesOf("ours"), kStamp, path, error)) << error;
    EXPECT_EQ(path, dir / "single_2.fits");
    EXPECT_EQ(readText(dir / "single.fits"), "theirs");
}

TEST(FrameFiles, OverwriteReplacesInTurn) {
    TempDir dir;
    dir.touch("f_1.fits", "old");
    FrameFileSettings settings = settingsFor(dir, "f_{n}.fits", PlacementMethod::RenameNoReplace);
    settings.overwrite = true;
    FrameFiles files(settings);
    std::string path, error;
    ASSERT_TRUE(files.saveFits(bytesOf("new"), kStamp, path, error)) << error;
    EXPECT_EQ(path, dir / "f_1.fits");
    EXPECT_EQ(readText(path), "new");
}
