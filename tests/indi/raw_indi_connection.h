// A connection to indiserver that sends whatever text it is given, well-formed
// INDI or not: what a careless or hostile client can send, which libindi's
// own client would never write.
#pragma once

#include <string>

namespace qmindi {

class RawIndiConnection {
public:
    // Connects to 127.0.0.1:port; connected() says whether it worked.
    explicit RawIndiConnection(int port);
    ~RawIndiConnection();
    RawIndiConnection(const RawIndiConnection &) = delete;
    RawIndiConnection &operator=(const RawIndiConnection &) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends all of `text`; false if the server closed the connection.
    bool send(const std::string &text);
    // Reads what the server sent until `marker` has arrived or `timeoutMs`
    // passed; true if it arrived. What came before it is discarded.
    bool readUntil(const std::string &marker, int timeoutMs);

private:
    int fd_ = -1;
    std::string received_;
};

// `text` with the five XML special characters written as entities.
std::string xmlEscaped(const std::string &text);

}  // namespace qmindi
