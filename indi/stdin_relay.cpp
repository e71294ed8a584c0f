#include "indi/stdin_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <thread>

#include <libindi/lilxml.h>

namespace qmindi {
namespace {

bool writeAll(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        const ssize_t done = write(fd, bytes, count);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

// Follows the stream with libindi's own parser, the one that reads it on the
// other side of the pipe: true when the bytes so far end between elements.
class ElementBoundary {
public:
    ElementBoundary() : parser_(newLilXML()) {}
    ~ElementBoundary() { delLilXML(parser_); }
    ElementBoundary(const ElementBoundary &) = delete;
    ElementBoundary &operator=(const ElementBoundary &) = delete;

    void feed(const char *bytes, size_t count) {
        char error[2048];
        for (size_t i = 0; i < count; ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (XMLEle *element = readXMLEle(parser_, c, error)) {
                delXMLEle(element);
                between_ = true;
            } else if (!(between_ && std::isspace(c))) {
                // Inside an element, or after text the parser skips or fails
                // on: no newline until an element is whole again.
                between_ = false;
            }
        }
    }
    bool between() const { return between_; }

private:
    LilXML *parser_;
    bool between_ = true;
};

}  // namespace

void relayMessages(int upstream, int downstream, std::chrono::milliseconds quietWake) {
    ElementBoundary boundary;
    char bytes[16384];
    for (;;) {
        pollfd input{.fd = upstream, .events = POLLIN, .revents = 0};
        const int ready = poll(&input, 1, static_cast<int>(quietWake.count()));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            if (boundary.between() && !writeAll(downstream, "\n", 1)) {
                break;
            }
            continue;
        }
        const ssize_t got = read(upstream, bytes, sizeof bytes);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0 || !writeAll(downstream, bytes, static_cast<size_t>(got))) {
            break;
        }
        boundary.feed(bytes, static_cast<size_t>(got));
    }
    // libindi's reader sees the end of input as it would have without us.
    close(downstream);
    close(upstream);
}

bool relayStandardInput() {
    const int upstream = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (upstream < 0) {
        return false;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        close(upstream);
        return false;
    }
    if (dup2(pipeEnds[0], STDIN_FILENO) < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        close(upstream);
        return false;
    }
    close(pipeEnds[0]);
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    std::thread(relayMessages, upstream, pipeEnds[1], kQuietWake).detach();
    return true;
}

}  // namespace qmindi
