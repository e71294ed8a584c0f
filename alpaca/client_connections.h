// Which Alpaca clients have the camera connected, told apart by ClientID.
// The camera opens with the first client that connects and closes when the
// last one disconnects; a client that asked while the camera was opening is
// told once, through Connecting, when the opening failed.
//
// Not locked itself: the camera device calls it under its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "host/camera_worker.h"

namespace alpaca {

class ClientConnections {
public:
    // `open` starts opening the camera for the client named; `close` closes it.
    using Open = std::function<std::shared_future<ConnectOutcome>(uint32_t clientId)>;
    using Close = std::function<void()>;
    using Log = std::function<void(const std::string &line)>;

    ClientConnections(Open open, Close close, Log log);

    // The client joins: at once when the camera is open, else once it opens.
    void join(uint32_t clientId);
    // The client leaves; true when it was the last and the camera closed.
    bool leave(uint32_t clientId);
    // Takes the outcome of an opening that has finished meanwhile.
    void settle();

    bool connected(uint32_t clientId) const { return open_ && clients_.count(clientId) != 0; }
    bool joining(uint32_t clientId) const { return joining_.count(clientId) != 0; }
    bool open() const { return open_; }
    bool opening() const { return pending_.valid(); }
    size_t count() const { return clients_.size(); }
    // The opening under way (invalid when none), to wait on outside the lock.
    std::shared_future<ConnectOutcome> pending() const { return pending_; }
    // What the camera said when it opened.
    const ConnectOutcome &opened() const { return opened_; }
    // Why the client's last connection failed, told once; nullopt when it did not.
    std::optional<std::string> takeFailure(uint32_t clientId);

private:
    const Open open_camera_;
    const Close close_camera_;
    const Log log_;
    bool open_ = false;
    std::set<uint32_t> clients_;
    std::set<uint32_t> joining_;
    std::shared_future<ConnectOutcome> pending_;
    std::map<uint32_t, std::string> failures_;
    ConnectOutcome opened_;
};

}  // namespace alpaca
