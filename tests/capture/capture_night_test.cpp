// qm-capture through a night's work, end to end with the built driver and the
// simulated camera: calibration frames, a second program writing into the same
// folder, file systems without some ways of naming files, failing disks,
// interrupts, a closed output pipe, and the manual page.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <set>

#include "tests/capture/fits_reader.h"
#include "tests/capture/temp_dir.h"
#include "tests/capture/tool_runner.h"

namespace {

std::map<std::string, std::string> simulatedCamera(const std::string &timeScale = "0",
                                                   const std::string &fileSystemFaults = "") {
    return {{"QM_SIM_TIME_SCALE", timeScale},
            {"QM_SIM_SEED", "777"},
            {"QM_SIM_FAULT", ""},
            {"QM_TEST_FS_FAULTS", fileSystemFaults},
            {"LD_PRELOAD", fileSystemFaults.empty() ? "" : QM_FILE_SYSTEM_FAULTS},
            // The preloaded library comes before the sanitizer runtime there.
            {"ASAN_OPTIONS", fileSystemFaults.empty() ? "" : "verify_asan_link_order=0"}};
}

ToolResult runTool(const TempDir &dir, const std::vector<std::string> &arguments,
                   const std::string &fileSystemFaults = "") {
    return runProgram(QM_CAPTURE_TOOL, arguments, dir.path(),
                      simulatedCamera("0", fileSystemFaults));
}

std::vector<std::string> withEnding(const std::vector<std::string> &names,
                                    const std::string &ending) {
    std::vector<std::string> matching;
    for (const std::string &name : names) {
        if (name.size() >= ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
            matching.push_back(name);
        }
    }
    return matching;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        result.push_back(text.substr(start, end - start));
    }
    return result;
}

void expectFitsverifyPasses(const std::string &path) {
    const std::string fitsverify = QM_FITSVERIFY;
    if (fitsverify.empty()) {
        return;  // not installed: cfitsio's checksum checks still ran
    }
    TempDir dir;
    const ToolResult r = runProgram(fitsverify, {"-q", path}, dir.path(), {});
    EXPECT_EQ(r.exitCode, 0) << path << "\n" << r.out << r.err;
}

// Every FITS file in `directory` reads back with both checksums correct.
void expectEveryFitsIntact(const std::string &directory) {
    for (const std::string &name : withEnding(filesIn(directory), ".fits")) {
        const FitsContents f = readFits(directory + "/" + name);
        EXPECT_TRUE(f.ok) << name << ": " << f.error;
        EXPECT_EQ(f.dataChecksum, 1) << name;
        EXPECT_EQ(f.headerChecksum, 1) << name;
    }
}

// Hidden temporary files, claims and probes left behind.
std::vector<std::string> leftovers(const std::string &directory) {
    std::vector<std::string> hidden;
    for (const std::string &name : filesIn(directory)) {
        if (name.front() == '.' || name.find(".XXXXXX") != std::string::npos) {
            hidden.push_back(name);
        }
    }
    return hidden;
}

}  // namespace

TEST(CaptureNight, FrameTypesAndPixelSizeInTheSavedFilesTable) {
    const struct {
        std::vector<std::string> arguments;
        const char *file;
        const char *imageType;
        double exposure;
        double sensorPixel;  // 0: no pixel-size keywords
        double binnedPixel;
    } cases[] = {
        {{"-m", "2", "-e", "0.5"}, "light_1.fits", "Light Frame", 0.5, 0, 0},
        {{"-m", "2", "-e", "2", "-t", "dark", "--pixel-size", "3.75"},
         "dark_1.fits",
         "Dark Frame",
         2,
         3.75,
         7.5},
        {{"-m", "0", "-e", "0.1", "--type", "flat", "--pixel-size", "2.4"},
         "flat_1.fits",
         "Flat Field",
         0.1,
         2.4,
         9.6},
        {{"-m", "4", "-t", "bias", "-w", "0,0,256,256", "--pixel-size", "5.2"},
         "bias_1.fits",
         "Bias Frame",
         0,
         5.2,
         5.2},
        {{"-m", "3", "-t", "bias"}, "bias_1.fits", "Bias Frame", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        std::vector<std::string> arguments = {"capture", "-o", "cal/{type}_{n}.fits"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ToolResult r = runTool(dir, arguments);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(r.outLines(), std::vector<std::string>{std::string("cal/") + c.file});
        const FitsContents f = readFits(dir / (std::string("cal/") + c.file));
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_EQ(f.text("IMAGETYP"), c.imageType);
        EXPECT_DOUBLE_EQ(f.real("EXPTIME"), c.exposure);
        if (c.sensorPixel == 0) {
            for (const char *key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ"}) {
                EXPECT_FALSE(f.has(key)) << key;
            }
        } else {
            EXPECT_DOUBLE_EQ(f.real("PIXSIZE1"), c.sensorPixel);
            EXPECT_DOUBLE_EQ(f.real("PIXSIZE2"), c.sensorPixel);
            EXPECT_DOUBLE_EQ(f.real("XPIXSZ"), c.binnedPixel);
            EXPECT_DOUBLE_EQ(f.real("YPIXSZ"), c.binnedPixel);
        }
        EXPECT_EQ(f.dataChecksum, 1);
        expectFitsverifyPasses(dir / (std::string("cal/") + c.file));
    }
}

// Two runs started together into one folder both begin at number 1: every frame
// of both is saved, complete, under a number of its own, on every file system
// kind the tool knows how to name files on.
TEST(CaptureNight, SecondWriterInTheFolderNeverCostsAFrameTable) {
    const struct {
        const char *fileSystem;  // QM_TEST_FS_FAULTS
    } cases[] = {{""}, {"no-rename-noreplace"}, {"no-rename-noreplace,no-hard-links"}};
    constexpr int kFramesEach = 6;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("faults '") + c.fileSystem + "'");
        TempDir dir;
        const std::vector<std::string> arguments = {"capture",
                                                    "-m",
                                                    "0",
                                                    "-e",
                                                    "0",
                                                    "-n",
                                                    std::to_string(kFramesEach),
                                                    "--png",
                                                    "-o",
                                                    "night/m31_{n:03}.fits"};
        RunningProgram first(QM_CAPTURE_TOOL, arguments, dir.path(),
                             simulatedCamera("0", c.fileSystem), false);
        RunningProgram second(QM_CAPTURE_TOOL, arguments, dir.path(),
                              simulatedCamera("0", c.fileSystem), false);
        const ToolResult a = first.wait();
        const ToolResult b = second.wait();
        ASSERT_EQ(a.exitCode, 0) << a.err;
        ASSERT_EQ(b.exitCode, 0) << b.err;
        EXPECT_EQ(a.err + b.err, "") << "no warnings expected";
        const std::vector<std::string> files = filesIn(dir / "night");
        const std::vector<std::string> fits = withEnding(files, ".fits");
        EXPECT_EQ(fits.size(), 2u * kFramesEach) << "frames lost";
        EXPECT_EQ(withEnding(files, ".png").size(), 2u * kFramesEach) << "previews lost";
        EXPECT_EQ(leftovers(dir / "night"), std::vector<std::string>{});
        // Each run lists its own files; together they are every file, once.
        std::multiset<std::string> listed;
        for (const ToolResult *r : {&a, &b}) {
            EXPECT_EQ(withEnding(r->outLines(), ".fits").size(), static_cast<size_t>(kFramesEach));
            for (const std::string &line : r->outLines()) {
                listed.insert(line.substr(std::string("night/").size()));
            }
        }
        EXPECT_EQ(listed, std::multiset<std::string>(files.begin(), files.end()));
        for (int n = 1; n <= 2 * kFramesEach; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "m31_%03d.fits", n);
            EXPECT_TRUE(std::binary_search(fits.begin(), fits.end(), name)) << name;
        }
        expectEveryFitsIntact(dir / "night");
    }
}

// Where a file system lacks the atomic no-replace rename, or hard links too,
// files are still never replaced, and that is known before any exposure.
TEST(CaptureNight, ExistingFilesStayOnFileSystemsWithoutSomeNamingCallsTable) {
    for (const char *fileSystem : {"no-rename-noreplace", "no-rename-noreplace,no-hard-links"}) {
        SCOPED_TRACE(fileSystem);
        TempDir dir;
        dir.touch("keep.fits", "precious");
        ToolResult r =
            runTool(dir, {"capture", "-m", "1", "-e", "0", "-o", "keep.fits"}, fileSystem);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.errLine().find("keep.fits already exists"), std::string::npos) << r.err;
        EXPECT_EQ(readText(dir / "keep.fits"), "precious");

        r = runTool(dir, {"capture", "-m", "1", "-e", "0", "-n", "2", "-o", "s_{n}.fits"},
                    fileSystem);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.outLines(), (std::vector<std::string>{"s_1.fits", "s_2.fits"}));
        EXPECT_EQ(filesIn(dir.path()),
                  (std::vector<std::string>{"keep.fits", "s_1.fits", "s_2.fits"}));
        for (const char *name : {"s_1.fits", "s_2.fits"}) {
            const FitsContents f = readFits(dir / name);
            EXPECT_TRUE(f.ok && f.dataChecksum == 1) << name << ": " << f.error;
        }
    }
}

TEST(CaptureNight, SaveFailuresTable) {
    const struct {
        const char *name;
        std::vector<std::string> arguments;
        const char *faults;
        int exitCode;
        std::vector<std::string> files;        // left in the folder afterwards
        std::vector<std::string> stderrLines;  // each must be found in its line, in order
    } cases[] = {
        {"a preview that cannot be saved is a warning",
         {"-n", "2", "--png", "-o", "night/f_{n}.fits"},
         "enospc:.png",
         0,
         {"f_1.fits", "f_2.fits"},
         {"qm-capture: warning: cannot write night/f_1.png: No space left on device; "
          "night/f_1.fits is saved",
          "qm-capture: warning: cannot write night/f_2.png: No space left on device; "
          "night/f_2.fits is saved"}},
        {"a full disk at frame 2 ends the run, frame 1 intact",
         {"-n", "3", "--png", "-o", "night/f_{n}.fits"},
         "enospc:f_2.fits",
         1,
         {"f_1.fits", "f_1.png"},
         {"qm-capture: frame 2 not saved: cannot write night/f_2.fits: No space left on device; "
          "earlier frames are saved"}},
        {"a failed sync of a frame ends the run",
         {"-n", "3", "-o", "night/f_{n}.fits"},
         "fsync-eio:f_2.fits",
         1,
         {"f_1.fits"},
         {"qm-capture: frame 2 not saved: cannot write night/f_2.fits: Input/output error; "
          "earlier frames are saved"}},
        {"a disk short of room for the sequence is warned of before it starts",
         {"-n", "3", "-o", "night/f_{n}.fits"},
         "free-bytes:1100000",
         0,
         {"f_1.fits", "f_2.fits", "f_3.fits"},
         {"qm-capture: warning: night has room for about 2 of the 3 frames (1.1 MB free, about "
          "0.4 MB a frame)"}},
        {"the first frame not saved",
         {"-n", "3", "-o", "night/f_{n}.fits"},
         "fsync-eio:f_1.fits",
         1,
         {},
         {"qm-capture: frame 1 not saved: cannot write night/f_1.fits: Input/output error"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<std::string> arguments = {"capture", "-m", "1", "-e", "0"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const ToolResult r = runTool(dir, arguments, c.faults);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        const std::vector<std::string> errLines = lines(r.err);
        ASSERT_EQ(errLines.size(), c.stderrLines.size()) << r.err;
        for (size_t i = 0; i < errLines.size(); ++i) {
            EXPECT_EQ(errLines[i], c.stderrLines[i]);
        }
        EXPECT_EQ(filesIn(dir / "night"), c.files);
        expectEveryFitsIntact(dir / "night");
    }
}

// Refusals before the first exposure leave no folder behind that the run made;
// with no camera present, a refusal that came after connecting would say so.
TEST(CaptureNight, NothingCapturedLeavesNoNewFolderTable) {
    const struct {
        const char *name;
        const char *cameraFault;
        const char *fileSystemFaults;
        const char *message;
        int exitCode = 1;
    } cases[] = {
        {"no camera", "no-camera", "", "camera not found"},
        {"the scratch file cannot be written", "no-camera", "enospc:.qm-capture-probe",
         "cannot write to output directory new/night: No space left on device"},
        {"the directory cannot be synced", "no-camera", "fsync-eio:new/night",
         "cannot write to output directory new/night: Input/output error"},
        {"a frame never arrives", "never-completes", "", "frame 1: no image from the camera", 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::map<std::string, std::string> environment = simulatedCamera("0", c.fileSystemFaults);
        environment["QM_SIM_FAULT"] = c.cameraFault;
        const ToolResult r = runProgram(QM_CAPTURE_TOOL,
                                        {"capture", "-m", "1", "-e", "0", "--timeout-margin", "0.3",
                                         "--camera-wait", "0", "-o", "new/night/x_{n}.fits"},
                                        dir.path(), environment);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_NE(r.errLine().find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{}) << "folder left behind";
    }
}

// The real tool, the simulated camera in real time and exposures of a few
// seconds; each signal is sent once the progress line shows the exposure.
TEST(CaptureNight, InterruptsTable) {
    const struct {
        const char *name;
        std::vector<int> signals;
        bool png;
        std::vector<std::string> saved;
        std::vector<const char *> said;  // in the output, in order
    } cases[] = {
        {"Ctrl-C finishes and saves the frame, then stops",
         {SIGINT},
         true,
         {"i_1.fits", "i_1.png"},
         {"stopping once the frame in progress is saved (interrupt again to abandon it)",
          "the last frame (interrupt again to abandon it)",
          "stopped by an interrupt after 1 of 3 frames were saved"}},
        {"SIGTERM does the same",
         {SIGTERM},
         false,
         {"i_1.fits"},
         {"stopping once the frame in progress is saved",
          "stopped by an interrupt after 1 of 3 frames were saved"}},
        {"a second Ctrl-C abandons the frame",
         {SIGINT, SIGINT},
         true,
         {},
         {"stopping once the frame in progress is saved", "abandoning the frame in progress",
          "frame 1 abandoned by a second interrupt before any frame was saved"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<std::string> arguments = {
            "capture", "-m", "2", "-e", "3", "-n", "3", "-o", "night/i_{n}.fits"};
        if (c.png) {
            arguments.push_back("--png");
        }
        RunningProgram tool(QM_CAPTURE_TOOL, arguments, dir.path(), simulatedCamera("1"), true);
        ASSERT_TRUE(tool.started());
        ASSERT_TRUE(tool.waitForOutput("frame 1/3: exposing", 20)) << "no exposure in progress";
        for (size_t i = 0; i < c.signals.size(); ++i) {
            tool.signal(c.signals[i]);
            ASSERT_TRUE(tool.waitForOutput(i == 0 ? "stopping once" : "abandoning", 5))
                << "signal " << i + 1 << " not taken";
        }
        const ToolResult r = tool.wait();
        EXPECT_EQ(r.exitCode, 130) << r.out;
        size_t at = 0;
        for (const char *text : c.said) {
            const size_t found = r.out.find(text, at);
            EXPECT_NE(found, std::string::npos) << "'" << text << "' not said, in order:\n"
                                                << r.out;
            at = found == std::string::npos ? at : found;
        }
        EXPECT_EQ(filesIn(dir / "night"), c.saved);
        expectEveryFitsIntact(dir / "night");
        if (c.saved.empty()) {
            EXPECT_FALSE(std::filesystem::exists(dir / "night")) << "empty folder left";
        }
    }
}

// A reader that went away does not end the sequence: every frame is saved.
TEST(CaptureNight, ClosedOutputPipeDoesNotStopTheSequence) {
    TempDir dir;
    TempDir streams;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    if (child == 0) {
        applyEnvironment(simulatedCamera("0"));
        close(pipeEnds[0]);
        const int err = open((streams / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || chdir(dir.path().c_str()) != 0) {
            _exit(127);
        }
        // The reader is gone before the first line is written.
        dup2(pipeEnds[1], 1);
        dup2(err, 2);
        execProgram(QM_CAPTURE_TOOL,
                    {"capture", "-m", "1", "-e", "0", "-n", "3", "-o", "p_{n}.fits"});
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"p_1.fits", "p_2.fits", "p_3.fits"}));
    EXPECT_EQ(readText(streams / "err"),
              "qm-capture: warning: standard output is closed (Broken pipe); saved files are no "
              "longer listed there\n");
}

TEST(CaptureNight, HelpVersionAndManualPage) {
    TempDir dir;
    const ToolResult help = runTool(dir, {"--help"});
    ASSERT_EQ(help.exitCode, 0);
    for (const char *text :
         {"Examples:", "qm-capture capture -m 2 -n 50 -t bias", "--type", "--pixel-size", "{type}",
          "QM_SIM_TIME_SCALE", "QM_SIM_SEED", "QM_SIM_FAULT", "never-completes"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    const ToolResult version = runTool(dir, {"--version"});
    ASSERT_EQ(version.exitCode, 0) << version.err;
    EXPECT_TRUE(std::regex_search(
        version.out,
        std::regex(
            R"(^qm-capture \d+\.\d+\.\d+\.\d+\ndriver: QM-208X VESK driver v1\.00 \(.*D_QM208X\.so\)\n$)")))
        << version.out;

    // Every option the help lists made it into the manual page.
    const std::string manual = readText(QM_CAPTURE_MANPAGE);
    ASSERT_NE(manual.find(".SH EXAMPLES"), std::string::npos) << "no examples section";
    const std::regex option(R"(^\s+(?:-\w, )?(--[a-z-]+))");
    int options = 0;
    for (const std::string &line : help.outLines()) {
        std::smatch m;
        if (std::regex_search(line, m, option)) {
            std::string escaped;
            for (const char ch : m[1].str()) {
                escaped += ch == '-' ? "\\-" : std::string(1, ch);
            }
            EXPECT_NE(manual.find("\\fB" + escaped), std::string::npos)
                << m[1] << " is not an option of the manual page";
            ++options;
        }
    }
    EXPECT_GE(options, 17);
}
