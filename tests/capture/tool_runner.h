// Runs the built qm-capture as a person would, in a directory of the test's
// choosing, with the simulated camera's settings in its environment.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/capture/temp_dir.h"

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;

    std::vector<std::string> outLines() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(out.substr(start, end - start));
        }
        return lines;
    }
    // The whole of stderr as one line without its newline, or "" if it is not one line.
    std::string errLine() const {
        if (err.empty() || err.back() != '\n' || err.find('\n') != err.size() - 1) {
            return {};
        }
        return err.substr(0, err.size() - 1);
    }
};

// In a forked child: sets the environment (an empty value removes the entry).
inline void applyEnvironment(const std::map<std::string, std::string> &environment) {
    for (const auto &[name, value] : environment) {
        if (value.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

// In a forked child: replaces it with the program, or exits with 127.
[[noreturn]] inline void execProgram(const std::string &program,
                                     const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : arguments) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// `environment` entries with an empty value are removed from the environment.
inline ToolResult runProgram(const std::string &program, const std::vector<std::string> &arguments,
                             const std::string &workingDirectory,
                             const std::map<std::string, std::string> &environment) {
    TempDir streams;
    const std::string outPath = streams / "out";
    const std::string errPath = streams / "err";
    const pid_t child = fork();
    if (child == 0) {
        applyEnvironment(environment);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(workingDirectory.c_str()) != 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execProgram(program, arguments);
    }
    ToolResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    result.out = readText(outPath);
    result.err = readText(errPath);
    return result;
}

// As runProgram, with standard output and error on one pseudo-terminal, whose
// whole output is returned in `out`.
inline ToolResult runProgramOnTerminal(const std::string &program,
                                       const std::vector<std::string> &arguments,
                                       const std::string &workingDirectory,
                                       const std::map<std::string, std::string> &environment) {
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        applyEnvironment(environment);
        if (chdir(workingDirectory.c_str()) != 0) {
            _exit(127);
        }
        execProgram(program, arguments);
    }
    ToolResult result;
    if (child < 0) {
        return result;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

// A program started in the background, for what happens while it runs: a
// second writer at the same time, signals. On a terminal, standard output and
// error both go to it and come back in `out`.
class RunningProgram {
public:
    RunningProgram(const std::string &program, const std::vector<std::string> &arguments,
                   const std::string &workingDirectory,
                   const std::map<std::string, std::string> &environment, bool onTerminal)
        : onTerminal_(onTerminal) {
        if (onTerminal) {
            pid_ = forkpty(&terminal_, nullptr, nullptr, nullptr);
        } else {
            pid_ = fork();
        }
        if (pid_ != 0) {
            return;
        }
        applyEnvironment(environment);
        if (!onTerminal) {
            const int out = open(outPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || err < 0 || in < 0) {
                _exit(127);
            }
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
        }
        if (chdir(workingDirectory.c_str()) != 0) {
            _exit(127);
        }
        execProgram(program, arguments);
    }
    ~RunningProgram() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (terminal_ >= 0) {
            close(terminal_);
        }
    }
    RunningProgram(const RunningProgram &) = delete;
    RunningProgram &operator=(const RunningProgram &) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int number) const { kill(pid_, number); }

    // Until `text` has appeared on the terminal, or in standard output or
    // error, or `seconds` have passed.
    bool waitForOutput(const std::string &text, double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        if (!onTerminal_) {
            while ((readText(outPath()) + readText(errPath())).find(text) == std::string::npos) {
                if (std::chrono::steady_clock::now() >= end) {
                    return false;
                }
                usleep(20000);
            }
            return true;
        }
        while (terminalOutput_.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readTerminal(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
    }

    ToolResult wait() {
        ToolResult result;
        if (onTerminal_) {
            while (readTerminal(-1)) {
            }
        }
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        }
        waited_ = true;
        if (onTerminal_) {
            result.out = terminalOutput_;
        } else {
            result.out = readText(outPath());
            result.err = readText(errPath());
        }
        return result;
    }

private:
    std::string outPath() const { return streams_ / "out"; }
    std::string errPath() const { return streams_ / "err"; }

    // False at the end of the output or when nothing came within the time.
    bool readTerminal(int timeoutMs) {
        pollfd ready{terminal_, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = read(terminal_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        terminalOutput_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    TempDir streams_;
    bool onTerminal_;
    int terminal_ = -1;
    pid_t pid_ = -1;
    bool waited_ = false;
    std::string terminalOutput_;
};
