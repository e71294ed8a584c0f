// The discovery responder answering probes sent over real UDP sockets.
#include "alpaca/discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

constexpr std::string_view kProbe = "alpacadiscovery1";
// A responder answers within milliseconds; silence this long means no answer.
constexpr int kAnswerWaitMs = 300;

bool privateNetwork() {
    const char *flag = std::getenv("QM_TEST_PRIVATE_NETWORK");
    return flag && std::string(flag) == "1";
}

// A UDP port nothing on loopback uses now, IPv4 and IPv6 alike.
uint16_t freeUdpPort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int s = socket(AF_INET6, SOCK_DGRAM, 0);
        int off = 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        socklen_t length = sizeof a;
        const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                        getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) == 0;
        close(s);
        if (ok && ntohs(a.sin6_port) != kAlpacaDiscoveryPort) return ntohs(a.sin6_port);
    }
    ADD_FAILURE() << "no free UDP port";
    return 0;
}

// Sends one datagram to address:port from a fresh socket and returns the first
// answer, or nothing after kAnswerWaitMs. `interface` picks where a multicast goes.
std::optional<std::string> ask(const std::string &address, uint16_t port, std::string_view datagram,
                               const char *interface = nullptr) {
    sockaddr_storage to{};
    socklen_t length;
    int family;
    if (auto *v4 = reinterpret_cast<sockaddr_in *>(&to);
        inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        family = v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&to);
        EXPECT_EQ(inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr), 1) << address;
        family = v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    }
    int s = socket(family, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (interface) {
        // The namespace's own interface for multicast (in_private_network.sh).
        const char *name = std::getenv("QM_TEST_MULTICAST_INTERFACE");
        unsigned index = if_nametoindex(name ? name : interface);
        setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index);
        reinterpret_cast<sockaddr_in6 *>(&to)->sin6_scope_id = index;
    }
    std::optional<std::string> answer;
    if (sendto(s, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), length) !=
        static_cast<ssize_t>(datagram.size())) {
        ADD_FAILURE() << "sending to " << address << " failed";
    } else {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, kAnswerWaitMs) == 1) {
            char buffer[256];
            ssize_t n = recv(s, buffer, sizeof buffer, 0);
            if (n >= 0) answer = std::string(buffer, static_cast<size_t>(n));
        }
    }
    close(s);
    return answer;
}

TEST(DiscoveryProbe, OnlyTheProbeOfAVersionIsAnswered) {
    const struct {
        std::string_view datagram;
        bool probe;
    } cases[] = {
        {"alpacadiscovery1", true},
        {"alpacadiscovery2", true},  // a later version keeps the first one's answer
        {"alpacadiscovery9", true},
        {"alpacadiscovery", false},
        {"alpacadiscovery0", false},
        {"alpacadiscoveryx", false},
        {"alpacadiscovery12", false},
        {"alpacadiscovery1\n", false},
        {"ALPACADISCOVERY1", false},
        {"xalpacadiscovery1", false},
        {"", false},
        {std::string_view("alpacadiscovery1\0", 17), false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(isAlpacaDiscoveryProbe(c.datagram), c.probe) << "'" << c.datagram << "'";
    }
}

TEST(DiscoveryProbe, AnswerNamesThePort) {
    const struct {
        uint16_t port;
        const char *answer;
    } cases[] = {{11111, "{\"AlpacaPort\":11111}"},
                 {1, "{\"AlpacaPort\":1}"},
                 {65535, "{\"AlpacaPort\":65535}"}};
    for (const auto &c : cases) EXPECT_EQ(alpacaDiscoveryAnswer(c.port), c.answer);
}

struct ExchangeCase {
    const char *bind;    // the responder's bind address
    const char *target;  // where the probe goes
    std::string_view datagram;
    bool answered;
    bool needsPrivateNetwork;  // listens on every interface, or sends a multicast
    const char *interface = nullptr;
};

void runExchanges(const ExchangeCase *begin, const ExchangeCase *end) {
    for (const ExchangeCase *c = begin; c != end; ++c) {
        SCOPED_TRACE(std::string("bound to '") + c->bind + "', probe '" + std::string(c->datagram) +
                     "' to " + c->target);
        if (c->needsPrivateNetwork && !privateNetwork()) {
            std::printf("skipped (needs a private network namespace): bound to '%s', probe to %s\n",
                        c->bind, c->target);
            continue;
        }
        const uint16_t discoveryPort = freeUdpPort();
        const uint16_t alpacaPort = static_cast<uint16_t>(40000 + discoveryPort % 20000);
        DiscoveryResponder responder(alpacaPort, c->bind, discoveryPort);
        ASSERT_TRUE(responder.running()) << responder.error();
        const auto answer = ask(c->target, discoveryPort, c->datagram, c->interface);
        if (c->answered) {
            EXPECT_EQ(answer.value_or("(no answer)"), alpacaDiscoveryAnswer(alpacaPort));
        } else {
            EXPECT_FALSE(answer.has_value()) << "answered " << *answer;
        }
    }
}

TEST(DiscoveryResponder, AnswersProbesWhereItListens) {
    const std::string longDatagram(1000, 'a');  // outlives the cases that view it
    const ExchangeCase cases[] = {
        {"127.0.0.1", "127.0.0.1", kProbe, true, false},
        {"127.0.0.1", "127.0.0.1", "alpacadiscovery", false, false},
        {"127.0.0.1", "127.0.0.1", "hello", false, false},
        {"127.0.0.1", "127.0.0.1", longDatagram, false, false},
        {"127.0.0.1", "::1", kProbe, false, false},  // kept to one address
        {"::1", "::1", kProbe, true, false},
        {"::1", "127.0.0.1", kProbe, false, false},
        {"localhost", "127.0.0.1", kProbe, true, false},
        // Every interface: IPv4 unicast and broadcast, IPv6 unicast and the group.
        {"", "127.0.0.1", kProbe, true, true},
        {"", "127.255.255.255", kProbe, true, true},
        {"", "::1", kProbe, true, true},
        {"", "ff12::a1:9aca", kProbe, true, true, "multicast"},
        {"", "ff12::a1:9aca", "alpacadiscovery", false, true, "multicast"},
        {"::", "::1", kProbe, true, true},
        {"::", "127.0.0.1", kProbe, true, true},
        // 0.0.0.0 is IPv4 alone, as the HTTP server listens then.
        {"0.0.0.0", "127.0.0.1", kProbe, true, true},
        {"0.0.0.0", "::1", kProbe, false, true},
        {"0.0.0.0", "ff12::a1:9aca", kProbe, false, true, "multicast"},
    };
    runExchanges(std::begin(cases), std::end(cases));
}

TEST(DiscoveryResponder, KeepsAnsweringAfterJunk) {
    const uint16_t discoveryPort = freeUdpPort();
    DiscoveryResponder responder(11111, "127.0.0.1", discoveryPort);
    ASSERT_TRUE(responder.running()) << responder.error();
    for (std::string_view junk : {"", "x", "alpacadiscovery"}) {
        EXPECT_FALSE(ask("127.0.0.1", discoveryPort, junk).has_value());
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ask("127.0.0.1", discoveryPort, kProbe).value_or("(no answer)"),
                  "{\"AlpacaPort\":11111}");
    }
}

TEST(DiscoveryResponder, AnAddressThatCannotBeBoundIsReported) {
    for (const char *address : {"999.1.2.3", "not an address", "192.0.2.1"}) {
        DiscoveryResponder responder(11111, address, freeUdpPort());
        EXPECT_FALSE(responder.running()) << address;
        EXPECT_FALSE(responder.error().empty()) << address;
    }
}

}  // namespace
