// qm-capture through a camera that drops out, end to end: the test unplugs,
// stalls and plugs in again the simulated camera (QM_SIM_CONTROL) while the
// real tool takes a sequence in real time, and reads the files, the listing,
// standard error and the exit status.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/capture/fits_reader.h"
#include "tests/capture/temp_dir.h"
#include "tests/capture/tool_runner.h"

namespace {

// The frame in flight when the camera goes may still arrive (it can be written
// before the camera next hears from the driver), so the frame lost is the one
// after the trigger or the next: the output says which ({F} in the patterns,
// {S} the frames saved before it).
//
// Once `after` has been said, the camera is set to `word` (when given), or
// `signal` is sent (when not 0); then the script pauses.
struct Step {
    const char *after;
    const char *word = nullptr;
    int signal = 0;
    double pauseSeconds = 0;
};

void setCamera(const std::string &controlFile, const char *word) {
    // Written whole under another name and renamed: the camera never reads half a word.
    const std::string next = controlFile + ".next";
    std::ofstream(next) << word << "\n";
    std::filesystem::rename(next, controlFile);
}

std::string replaced(std::string text, const std::string &token, const std::string &value) {
    for (size_t at; (at = text.find(token)) != std::string::npos;) {
        text.replace(at, token.size(), value);
    }
    return text;
}

}  // namespace

TEST(CaptureDropout, CameraLostAndBackDuringASequenceTable) {
    constexpr int kFrames = 3;
    const struct {
        const char *name;
        std::vector<std::string> arguments;  // besides the sequence's own
        std::vector<Step> script;
        int exitCode;
        bool allSaved;                        // else the frames before the lost one
        std::vector<std::string> stderrSays;  // patterns, each in the output after the last
        double longestSecondsAfterScript;     // from the script's end to the exit
    } cases[] = {
        {"unplugged after frame 1, plugged in again 4 s later: the lost frame taken again",
         {"--camera-wait", "60"},
         {{"d_1.fits", "absent", 0, 4}, {"", "present"}},
         3,
         true,
         {R"(qm-capture: frame {F} failed at \d{4}-\d\d-\d\dT[\d:.]+ UTC: no image from the camera )"
          R"(after [\d.]+ s \(exposure 0.5 s \+ 2.0 s for readout\); reopening the camera; taking )"
          R"(it again \(waiting for the camera until [\dT:.-]+ UTC at most\)\n)",
          R"(qm-capture: waiting for the camera: the camera could not be opened \(camera not )"
          R"(found[^\n]*\); trying again in 2.0 s\n)",
          R"(qm-capture: the camera answers again since [\dT:.-]+ UTC \(opened at attempt [2-9]\)\n)",
          R"(qm-capture: sequence complete, 3 of 3 frames saved; 1 exposure failed and was taken )"
          R"(again \(frame {F}\)\n$)"},
         30},
        {"stalled after frame 1 for 4 s: each stalled exposure fails and is taken again",
         {"--camera-wait", "60"},
         {{"d_1.fits", "stall", 0, 4}, {"", "present"}},
         3,
         true,
         {R"(qm-capture: frame {F} failed at [^\n]*: no image from the camera after)",
          R"(qm-capture: the camera answers again since [^\n]* \(opened at attempt 1\)\n)",
          R"(qm-capture: frame {F} failed at )",
          R"(qm-capture: sequence complete, 3 of 3 frames saved; \d+ exposures failed and were )"
          R"(taken again \(frame {F}\)\n$)"},
         30},
        {"unplugged for good: the run ends once --camera-wait has passed, earlier frames kept",
         {"--camera-wait", "2"},
         {{"d_1.fits", "absent"}},
         4,
         false,
         {R"(qm-capture: frame {F} failed at [^\n]*; taking it again \(waiting for the camera )",
          R"(qm-capture: waiting for the camera: the camera could not be opened)",
          R"(qm-capture: frame {F}: the camera did not come back within [\d.]+ s \(no frame within )"
          R"(2.0 s of the exposure's end\); no frame from the camera within 2 s \(--camera-wait\), )"
          R"(stopped after {S} of 3 frames were saved\n$)"},
         15},
        {"an interrupt while the camera is awaited ends the run at once",
         {"--camera-wait", "600"},
         {{"d_1.fits", "absent"}, {"taking it again", nullptr, SIGINT}},
         130,
         false,
         {R"(qm-capture: frame {F} failed at )",
          R"(qm-capture: stopping: no frame is in progress while the camera is awaited\n)",
          R"(qm-capture: stopped by an interrupt while waiting for the camera after {S} of 3 )"
          R"(frames were saved\n$)"},
         5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string control = dir / "camera";
        setCamera(control, "present");
        std::vector<std::string> arguments = {
            "capture", "-m", "1", "-w", "0,0,64,64", "-e", "0.5", "--timeout-margin", "2",
            "-n", std::to_string(kFrames), "-o", "night/d_{n}.fits"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        RunningProgram tool(QM_CAPTURE_TOOL, arguments, dir.path(),
                            {{"QM_SIM_TIME_SCALE", "1"},
                             {"QM_SIM_SEED", "777"},
                             {"QM_SIM_FAULT", ""},
                             {"QM_SIM_CONTROL", control}},
                            false);
        ASSERT_TRUE(tool.started());
        for (const Step &step : c.script) {
            ASSERT_TRUE(tool.waitForOutput(step.after, 30)) << "'" << step.after << "' not said";
            if (step.word != nullptr) {
                setCamera(control, step.word);
            }
            if (step.signal != 0) {
                tool.signal(step.signal);
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(step.pauseSeconds));
        }
        const auto scriptEnd = std::chrono::steady_clock::now();
        const ToolResult r = tool.wait();
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - scriptEnd)
                      .count(),
                  c.longestSecondsAfterScript);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;

        std::smatch lost;
        ASSERT_TRUE(std::regex_search(r.err, lost, std::regex(R"(frame ([23]) failed at)")))
            << "no frame after the trigger failed:\n"
            << r.err;
        const int lostFrame = std::stoi(lost[1]);

        // Every frame saved once, listed once, numbered without a gap, each
        // its own exposure.
        std::vector<std::string> files, listed;
        for (int n = 1; n <= (c.allSaved ? kFrames : lostFrame - 1); ++n) {
            files.push_back("d_" + std::to_string(n) + ".fits");
            listed.push_back("night/" + files.back());
        }
        EXPECT_EQ(r.outLines(), listed);
        EXPECT_EQ(filesIn(dir / "night"), files);
        std::string previousStart;
        for (const std::string &file : files) {
            const FitsContents f = readFits(dir / ("night/" + file));
            ASSERT_TRUE(f.ok) << file << ": " << f.error;
            EXPECT_EQ(f.dataChecksum, 1) << file;
            EXPECT_GT(f.text("DATE-OBS"), previousStart) << file << " repeats an exposure";
            previousStart = f.text("DATE-OBS");
        }

        size_t at = 0;
        for (const std::string &said : c.stderrSays) {
            const std::string pattern = replaced(replaced(said, "{F}", std::to_string(lostFrame)),
                                                 "{S}", std::to_string(lostFrame - 1));
            std::smatch found;
            const std::string rest = r.err.substr(at);
            ASSERT_TRUE(std::regex_search(rest, found, std::regex(pattern)))
                << "'" << pattern << "' not said, in order, in:\n"
                << r.err;
            at += static_cast<size_t>(found.position(0) + found.length(0));
        }
        for (const std::string &line : ToolResult{0, r.err, ""}.outLines()) {
            EXPECT_EQ(line.rfind("qm-capture: ", 0), 0u) << line;
        }
    }
}
