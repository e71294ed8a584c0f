// Runs the built qm-capture as a person would, in a directory of the test's
// choosing, with the simulated camera's settings in its environment.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

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
