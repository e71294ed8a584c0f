// An INDI client (libindi's BaseClient) that records everything one device sends:
// every definition and update of a property, every message, every BLOB, each
// with a sequence number and its arrival time. Tests take a mark, act, and wait
// for what must follow the mark.
#pragma once

#include <baseclient.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qmindi {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

struct Element {
    std::string name;
    std::string label;
    double number = 0;  // number elements
    double min = 0;
    double max = 0;
    std::string text;  // text elements
    bool on = false;   // switch elements; light elements: state Ok
};

struct PropertySnapshot {
    std::string name;
    INDI_PROPERTY_TYPE type = INDI_UNKNOWN;
    IPState state = IPS_IDLE;
    IPerm permission = IP_RO;
    ISRule rule = ISR_1OFMANY;  // switches
    bool removed = false;  // the device deleted the property
    std::vector<Element> elements;
    uint64_t sequence = 0;
    Clock::time_point time;

    const Element *find(const std::string &element) const;
    double number(const std::string &element) const;  // NaN if absent
    std::string text(const std::string &element) const;
    bool on(const std::string &element) const;
    std::string onElement() const;  // first switch that is on, "" if none
};

// "Idle", "Ok", "Busy" or "Alert".
const char *stateName(IPState state);

struct Blob {
    std::string property;
    std::string format;
    std::string data;
    uint64_t sequence = 0;
    Clock::time_point time;
};

struct Message {
    std::string text;
    uint64_t sequence = 0;
    Clock::time_point time;
};

class IndiTestClient : public INDI::BaseClient {
public:
    explicit IndiTestClient(std::string device);
    ~IndiTestClient() override;

    // Connects to the server on 127.0.0.1:port, waits for the device and asks
    // for its BLOBs. False if either does not happen within the timeout.
    bool connectTo(int port, Seconds timeout);
    bool serverLost() const;

    // Sequence number of the last event so far; events after a mark have larger ones.
    uint64_t mark() const;

    std::optional<PropertySnapshot> property(const std::string &name) const;
    // Every property the device defines now, by name.
    std::vector<PropertySnapshot> properties() const;
    // The first state of the property after `since` that satisfies `accept`
    // (every state if none is given), or nothing within the timeout.
    std::optional<PropertySnapshot> waitFor(
        const std::string &name, uint64_t since, Seconds timeout,
        const std::function<bool(const PropertySnapshot &)> &accept = {});
    // The property's latest state once it is defined and satisfies `accept`.
    std::optional<PropertySnapshot> waitUntil(
        const std::string &name, Seconds timeout,
        const std::function<bool(const PropertySnapshot &)> &accept = {});
    std::vector<PropertySnapshot> updatesSince(const std::string &name, uint64_t since) const;

    std::optional<Blob> waitForBlob(uint64_t since, Seconds timeout);
    std::vector<Blob> blobsSince(uint64_t since) const;
    // Drops the received images (they hold megabytes) up to and including `upTo`.
    void forgetBlobs(uint64_t upTo);

    std::vector<Message> messagesSince(uint64_t since) const;
    std::optional<Message> waitForMessage(uint64_t since, Seconds timeout,
                                          const std::string &containing = "");

    // Send new values of a vector; elements not named keep their current values,
    // so the whole vector goes out in the device's order. False if the property
    // is unknown or names an element it lacks.
    bool sendNumbers(const std::string &name, const std::map<std::string, double> &values);
    bool sendTexts(const std::string &name, const std::map<std::string, std::string> &values);
    // Turns `element` on and, for a one-of-many or at-most-one switch, every other off.
    bool sendSwitch(const std::string &name, const std::string &element);

    // CONNECTION: CONNECT, and wait for the device to answer it. True when it
    // reports itself connected (state Ok, CONNECT on) within the timeout.
    bool connectDevice(Seconds timeout);
    const std::string &device() const { return device_; }

protected:
    void newDevice(INDI::BaseDevice device) override;
    void newProperty(INDI::Property property) override;
    void updateProperty(INDI::Property property) override;
    void removeProperty(INDI::Property property) override;
    void newMessage(INDI::BaseDevice device, int messageId) override;
    void newUniversalMessage(std::string message) override;
    void serverDisconnected(int exitCode) override;

private:
    void record(INDI::Property property, bool removed);
    template <typename Predicate>
    bool waitLocked(std::unique_lock<std::mutex> &lock, Seconds timeout, Predicate done);

    const std::string device_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t sequence_ = 0;
    bool deviceSeen_ = false;
    bool serverLost_ = false;
    std::map<std::string, PropertySnapshot> latest_;
    std::vector<PropertySnapshot> history_;
    std::vector<Blob> blobs_;
    std::vector<Message> messages_;
};

}  // namespace qmindi
