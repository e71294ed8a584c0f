// The Alpaca discovery responder: answers a client's "alpacadiscovery1" probe,
// sent as an IPv4 broadcast or to the IPv6 multicast group ff12::a1:9aca, with
// {"AlpacaPort": N}, the port of this server's HTTP API.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Port 32227 is where every Alpaca client sends its probe.
constexpr uint16_t kAlpacaDiscoveryPort = 32227;

// True for a probe a version-1 responder answers: "alpacadiscovery" and a
// protocol version of 1 or later (a later version keeps the first one's answer).
bool isAlpacaDiscoveryProbe(std::string_view datagram);
// The answer to a probe: {"AlpacaPort":N}.
std::string alpacaDiscoveryAnswer(uint16_t alpacaPort);

class DiscoveryResponder {
public:
    // Answers probes on `discoveryPort` from a thread of its own until destroyed.
    // An empty bindAddress, "0.0.0.0" or "::" listens on every interface, IPv4
    // (broadcasts) and IPv6 (the multicast group on every interface); one
    // address listens there alone, so a server kept to one interface is not
    // announced on the others. When neither socket could be opened, running()
    // is false and error() says why.
    DiscoveryResponder(uint16_t alpacaPort, const std::string &bindAddress,
                       uint16_t discoveryPort = kAlpacaDiscoveryPort);
    ~DiscoveryResponder();

    DiscoveryResponder(const DiscoveryResponder &) = delete;
    DiscoveryResponder &operator=(const DiscoveryResponder &) = delete;

    bool running() const { return running_; }
    // Why a socket could not be opened (also set when only one family failed).
    const std::string &error() const { return error_; }

private:
    void serve();

    std::string answer_;
    std::vector<intptr_t> sockets_;  // SOCKET on Windows, int elsewhere
    std::atomic<bool> stop_{false};
    bool running_ = false;
    std::string error_;
    std::thread thread_;
};
