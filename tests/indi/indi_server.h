// A real indiserver hosting INDI drivers for one test or benchmark: its own
// free loopback port, its own home (so INDI configuration files stay private),
// and stopped with all its drivers when the object goes, or when the process
// that started it dies.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qmindi {

struct ServerSettings {
    std::vector<std::string> drivers;  // executables, by path or name
    // Added to indiserver's environment (and so its drivers'); an empty value
    // removes the variable.
    std::map<std::string, std::string> environment;
    // HOME of the server and its drivers (where INDI keeps their configuration);
    // "" for a fresh one, removed at the end.
    std::string home = {};
};

class IndiServer {
public:
    explicit IndiServer(const ServerSettings &settings);
    ~IndiServer();
    IndiServer(const IndiServer &) = delete;
    IndiServer &operator=(const IndiServer &) = delete;

    // True once the server accepts connections; otherwise error() says why.
    bool started() const { return port_ != 0; }
    const std::string &error() const { return error_; }
    int port() const { return port_; }
    const std::string &home() const { return home_; }

    // The server is still running, and no driver has ended: started with no
    // restarts allowed, indiserver logs a driver's end and, after its last
    // driver, exits.
    bool allDriversRunning();
    // indiserver's log (-v: driver starts, ends, and what they print on stderr).
    std::string log() const;

    void stop();

private:
    bool launch(int port);
    bool waitUntilListening(int port);

    ServerSettings settings_;
    std::string home_;
    bool ownHome_ = false;
    std::string logPath_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

// A TCP port on 127.0.0.1 that no socket holds at the moment of asking.
int freeLoopbackPort();

// Program found on PATH (or the path itself when it holds a slash); "" if none.
std::string findProgram(const std::string &name);

}  // namespace qmindi
