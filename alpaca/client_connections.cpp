#include "alpaca/client_connections.h"

#include <chrono>
#include <utility>

namespace alpaca {

ClientConnections::ClientConnections(Open open, Close close, Log log)
    : open_camera_(std::move(open)), close_camera_(std::move(close)), log_(std::move(log)) {}

void ClientConnections::join(uint32_t clientId) {
    failures_.erase(clientId);
    if (open_) {
        if (clients_.insert(clientId).second) {
            log_("client " + std::to_string(clientId) + " connected, " +
                 std::to_string(clients_.size()) + " client(s)");
        }
        return;
    }
    joining_.insert(clientId);
    if (!pending_.valid()) {
        pending_ = open_camera_(clientId);
    }
}

bool ClientConnections::leave(uint32_t clientId) {
    joining_.erase(clientId);
    if (clients_.erase(clientId) == 0) {
        return false;
    }
    log_("client " + std::to_string(clientId) + " disconnected, " +
         std::to_string(clients_.size()) + " client(s) left");
    if (!clients_.empty() || !open_) {
        return false;
    }
    close_camera_();
    open_ = false;
    return true;
}

void ClientConnections::settle() {
    if (!pending_.valid() ||
        pending_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return;
    }
    ConnectOutcome outcome = pending_.get();
    pending_ = {};
    if (!outcome.connected) {
        for (uint32_t client : joining_) {
            failures_[client] = outcome.error;
        }
        joining_.clear();
        log_("camera not connected: " + outcome.error);
        return;
    }
    if (joining_.empty()) {
        // Every client that asked has left meanwhile.
        close_camera_();
        return;
    }
    open_ = true;
    clients_ = std::move(joining_);
    joining_.clear();
    opened_ = std::move(outcome);
    log_("camera connected (" + opened_.driverName + ", " + opened_.driverInfo + "), " +
         std::to_string(clients_.size()) + " client(s)");
}

std::optional<std::string> ClientConnections::takeFailure(uint32_t clientId) {
    const auto found = failures_.find(clientId);
    if (found == failures_.end()) {
        return std::nullopt;
    }
    std::string why = std::move(found->second);
    failures_.erase(found);
    return why;
}

}  // namespace alpaca
