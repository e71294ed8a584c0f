#include "tests/indi/indi_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qmindi {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLaunchAttempts = 4;  // another process may take the port first
constexpr auto kListenTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

bool acceptsConnections(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    const sockaddr_in address = loopbackAddress(port);
    const bool connected =
        connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(s);
    return connected;
}

std::string makeScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qm-indi-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// Whether the child `pid` has ended. It is left unreaped, so its number, which
// is also its process group's, is not given to another process meanwhile.
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return true;
    }
    return info.si_pid == pid;
}

}  // namespace

int freeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return 0;
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

std::string findProgram(const std::string &name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char *path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

IndiServer::IndiServer(const ServerSettings &settings) : settings_(settings) {
    ownHome_ = settings.home.empty();
    home_ = ownHome_ ? makeScratchDirectory() : settings.home;
    if (home_.empty()) {
        error_ = "cannot make a scratch directory";
        return;
    }
    logPath_ = home_ + "/indiserver.log";
    for (int attempt = 0; attempt < kLaunchAttempts && port_ == 0; ++attempt) {
        const int port = freeLoopbackPort();
        if (port != 0 && launch(port) && waitUntilListening(port)) {
            port_ = port;
        } else if (log().find("Address already in use") == std::string::npos) {
            break;  // only a port taken meanwhile is worth another attempt
        }
    }
    if (port_ == 0 && error_.empty()) {
        error_ = "indiserver did not start:\n" + log();
    }
}

IndiServer::~IndiServer() {
    stop();
    if (ownHome_ && !home_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
}

bool IndiServer::launch(int port) {
    const std::string server = findProgram("indiserver");
    if (server.empty()) {
        error_ = "indiserver is not installed";
        return false;
    }
    std::vector<std::string> arguments = {
        server, "-v", "-r", "0", "-p", std::to_string(port), "-u",
        home_ + "/socket-" + std::to_string(port)};
    arguments.insert(arguments.end(), settings_.drivers.begin(), settings_.drivers.end());
    std::vector<char *> argv;
    for (std::string &a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        error_ = "fork failed";
        return false;
    }
    if (child == 0) {
        // Its own process group, so stopping it reaches every driver it started;
        // and ended with the test process, should that die first.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(126);
        }
        setenv("HOME", home_.c_str(), 1);
        setenv("LD_PRELOAD", QM_LOOPBACK_ONLY, 1);
        for (const auto &[name, value] : settings_.environment) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (log < 0 || in < 0 || chdir(home_.c_str()) != 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(child, child);
    pid_ = child;
    return true;
}

bool IndiServer::waitUntilListening(int port) {
    const auto deadline = Clock::now() + kListenTimeout;
    while (Clock::now() < deadline) {
        if (hasEnded(pid_)) {
            stop();
            return false;  // a port taken meanwhile ends it at once
        }
        if (acceptsConnections(port)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return false;
}

bool IndiServer::allDriversRunning() {
    if (pid_ <= 0) {
        return false;
    }
    if (hasEnded(pid_)) {
        stop();
        return false;
    }
    return log().find("Terminated after") == std::string::npos;
}

std::string IndiServer::log() const {
    std::ifstream in(logPath_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void IndiServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    const pid_t group = pid_;
    kill(-group, SIGTERM);
    const auto deadline = Clock::now() + kStopTimeout;
    while (!hasEnded(pid_) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Whatever of the group is left (a driver that ignores SIGTERM, the server
    // itself past the deadline) goes now, before the server is reaped.
    kill(-group, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace qmindi
