// The camera worker with the built driver and the simulated camera, which its
// control file unplugs and stalls mid-session: the exposure caught by it fails
// once, the worker reopens the camera once it answers, and the next exposure is
// taken, with no frame lost or delivered twice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "host/camera_worker.h"

namespace {

using std::chrono::milliseconds;

class CameraRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = std::filesystem::path(::testing::TempDir()) /
                   ("qm-recovery-control-" + std::to_string(::getpid()));
        write("present");
        setenv("QM_SIM_CONTROL", control_.c_str(), 1);
        setenv("QM_SIM_TIME_SCALE", "1", 1);
        unsetenv("QM_SIM_FAULT");
    }

    void TearDown() override {
        worker_.reset();
        unsetenv("QM_SIM_CONTROL");
        std::filesystem::remove(control_);
    }

    // The whole file at once, with a modification time of its own (the camera
    // reads it again when its time or size changes).
    void write(const std::string &word) {
        std::ofstream(control_, std::ios::trunc) << word << '\n';
        static int writes = 0;
        std::filesystem::last_write_time(control_, std::filesystem::file_time_type::clock::now() +
                                                       std::chrono::seconds(++writes));
    }

    void start() {
        worker_ = std::make_unique<CameraWorker>(
            dynamicModuleLoader(),
            [this] {
                std::lock_guard lock(mutex_);
                woken_ = true;
                arrived_.notify_all();
            },
            std::chrono::seconds(2),
            RecoveryTiming{.firstInterval = milliseconds(200),
                           .longestInterval = milliseconds(400)});
    }

    // Events until one of `kind` for `id`, kept in `seen_`.
    void waitFor(WorkerEvent::Kind kind, uint64_t id) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            for (WorkerEvent &event : worker_->takeEvents()) {
                event.image.clear();
                seen_.push_back(std::move(event));
                if (seen_.back().kind == kind && seen_.back().id == id) {
                    return;
                }
            }
            std::unique_lock lock(mutex_);
            if (!arrived_.wait_until(lock, deadline, [this] { return woken_; })) {
                FAIL() << "no such event within 30 s";
            }
            woken_ = false;
        }
    }

    std::filesystem::path control_;
    std::unique_ptr<CameraWorker> worker_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    bool woken_ = false;
    std::vector<WorkerEvent> seen_;
};

// In order: what the control file says while exposure `id` runs, whether its
// frame arrives, and the event after which the camera is present again.
TEST_F(CameraRecovery, UnpluggedAndStalledMidSessionTheCameraComesBack) {
    const struct {
        const char *name;
        const char *during;  // written once the exposure has started
        bool delivered;
        WorkerEvent::Kind presentAfter;  // the camera is put back after this event
    } steps[] = {
        {"present", "present", true, WorkerEvent::Kind::FrameReady},
        {"unplugged during the exposure", "absent", false, WorkerEvent::Kind::ReopenFailed},
        {"stalled during the exposure", "stall", false, WorkerEvent::Kind::CameraBack},
        {"present again", "present", true, WorkerEvent::Kind::FrameReady},
    };
    start();
    const ConnectOutcome outcome = worker_->connect(QM_DRIVER_PATH).get();
    ASSERT_TRUE(outcome.connected) << outcome.error;
    uint64_t id = 0;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        const size_t before = seen_.size();
        const CameraMode &mode = kCameraModes[2];
        worker_->expose({.id = ++id,
                         .lengthMs = 500,
                         .mode = 2,
                         .window = {0, 0, 64, 48},
                         .geometry = geometryOf(mode)});
        waitFor(WorkerEvent::Kind::ExposureStarted, id);
        write(step.during);
        if (step.delivered) {
            waitFor(WorkerEvent::Kind::FrameReady, id);
            continue;
        }
        waitFor(step.presentAfter, 0);
        write("present");
        if (step.presentAfter != WorkerEvent::Kind::CameraBack) {
            waitFor(WorkerEvent::Kind::CameraBack, 0);
        }
        const std::vector<WorkerEvent> events(seen_.begin() + static_cast<long>(before),
                                              seen_.end());
        const auto failed = std::find_if(events.begin(), events.end(), [&](const WorkerEvent &e) {
            return e.id == id && e.kind == WorkerEvent::Kind::ExposureFailed;
        });
        ASSERT_NE(failed, events.end());
        EXPECT_TRUE(failed->recovering);
        EXPECT_NE(failed->message.find("no image from the camera"), std::string::npos)
            << failed->message;
        ASSERT_NE(failed + 1, events.end());
        EXPECT_EQ((failed + 1)->kind, WorkerEvent::Kind::CameraLost);
        // Unplugged, the camera cannot be opened until it is back; stalled, it opens.
        const long attempts = std::count_if(events.begin(), events.end(), [](const WorkerEvent &e) {
            return e.kind == WorkerEvent::Kind::ReopenFailed;
        });
        if (step.presentAfter == WorkerEvent::Kind::ReopenFailed) {
            EXPECT_GE(attempts, 1);
        } else {
            EXPECT_EQ(attempts, 0);
        }
        EXPECT_FALSE(worker_->reopening());
    }
    // Each exposure answered once: the delivered ones with their frame.
    for (uint64_t exposure = 1; exposure <= id; ++exposure) {
        const auto answers = std::count_if(seen_.begin(), seen_.end(), [&](const WorkerEvent &e) {
            return e.id == exposure && (e.kind == WorkerEvent::Kind::FrameReady ||
                                        e.kind == WorkerEvent::Kind::ExposureFailed);
        });
        EXPECT_EQ(answers, 1) << "exposure " << exposure;
        const bool framed = std::any_of(seen_.begin(), seen_.end(), [&](const WorkerEvent &e) {
            return e.id == exposure && e.kind == WorkerEvent::Kind::FrameReady;
        });
        EXPECT_EQ(framed, steps[exposure - 1].delivered) << "exposure " << exposure;
    }
}

}  // namespace
