#include "tests/indi/indi_test_client.h"

#include <basedevice.h>
#include <indipropertyblob.h>
#include <indipropertylight.h>
#include <indipropertynumber.h>
#include <indipropertyswitch.h>
#include <indipropertytext.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace qmindi {
namespace {

// BaseClient writes a new vector in several small pieces; with Nagle's
// algorithm the later ones wait for the server's delayed acknowledgement,
// about 40 ms on every request. The client's socket is not reachable through
// BaseClient, so it is found as this process's connection to the port.
void sendWithoutDelay(int port) {
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (const dirent *entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (fd > 2 && getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port &&
            peer.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    }
    closedir(fds);
}

}  // namespace

const char *stateName(IPState state) {
    switch (state) {
        case IPS_IDLE:
            return "Idle";
        case IPS_OK:
            return "Ok";
        case IPS_BUSY:
            return "Busy";
        case IPS_ALERT:
            return "Alert";
    }
    return "?";
}

const Element *PropertySnapshot::find(const std::string &element) const {
    for (const Element &e : elements) {
        if (e.name == element) {
            return &e;
        }
    }
    return nullptr;
}

double PropertySnapshot::number(const std::string &element) const {
    const Element *e = find(element);
    return e != nullptr ? e->number : std::numeric_limits<double>::quiet_NaN();
}

std::string PropertySnapshot::text(const std::string &element) const {
    const Element *e = find(element);
    return e != nullptr ? e->text : std::string();
}

bool PropertySnapshot::on(const std::string &element) const {
    const Element *e = find(element);
    return e != nullptr && e->on;
}

std::string PropertySnapshot::onElement() const {
    for (const Element &e : elements) {
        if (e.on) {
            return e.name;
        }
    }
    return {};
}

IndiTestClient::IndiTestClient(std::string device) : device_(std::move(device)) {}

IndiTestClient::~IndiTestClient() {
    if (isServerConnected()) {
        disconnectServer();
    }
}

template <typename Predicate>
bool IndiTestClient::waitLocked(std::unique_lock<std::mutex> &lock, Seconds timeout,
                                Predicate done) {
    return changed_.wait_for(lock, timeout, done);
}

bool IndiTestClient::connectTo(int port, Seconds timeout) {
    setServer("127.0.0.1", static_cast<unsigned int>(port));
    watchDevice(device_.c_str());
    if (!connectServer()) {
        return false;
    }
    sendWithoutDelay(port);
    {
        std::unique_lock lock(mutex_);
        if (!waitLocked(lock, timeout, [&] { return deviceSeen_ || serverLost_; }) ||
            serverLost_) {
            return false;
        }
    }
    setBLOBMode(B_ALSO, device_.c_str(), nullptr);
    return true;
}

bool IndiTestClient::serverLost() const {
    std::lock_guard lock(mutex_);
    return serverLost_;
}

uint64_t IndiTestClient::mark() const {
    std::lock_guard lock(mutex_);
    return sequence_;
}

std::optional<PropertySnapshot> IndiTestClient::property(const std::string &name) const {
    std::lock_guard lock(mutex_);
    const auto it = latest_.find(name);
    if (it == latest_.end() || it->second.removed) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<PropertySnapshot> IndiTestClient::properties() const {
    std::lock_guard lock(mutex_);
    std::vector<PropertySnapshot> defined;
    for (const auto &[name, p] : latest_) {
        if (!p.removed) {
            defined.push_back(p);
        }
    }
    return defined;
}

std::optional<PropertySnapshot> IndiTestClient::waitFor(
    const std::string &name, uint64_t since, Seconds timeout,
    const std::function<bool(const PropertySnapshot &)> &accept) {
    std::unique_lock lock(mutex_);
    std::optional<PropertySnapshot> found;
    size_t checked = 0;
    waitLocked(lock, timeout, [&] {
        for (; checked < history_.size(); ++checked) {
            const PropertySnapshot &p = history_[checked];
            if (p.sequence > since && p.name == name && !p.removed && (!accept || accept(p))) {
                found = p;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<PropertySnapshot> IndiTestClient::waitUntil(
    const std::string &name, Seconds timeout,
    const std::function<bool(const PropertySnapshot &)> &accept) {
    std::unique_lock lock(mutex_);
    std::optional<PropertySnapshot> found;
    waitLocked(lock, timeout, [&] {
        const auto it = latest_.find(name);
        if (it != latest_.end() && !it->second.removed && (!accept || accept(it->second))) {
            found = it->second;
            return true;
        }
        return false;
    });
    return found;
}

std::vector<PropertySnapshot> IndiTestClient::updatesSince(const std::string &name,
                                                           uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::vector<PropertySnapshot> updates;
    for (const PropertySnapshot &p : history_) {
        if (p.sequence > since && p.name == name) {
            updates.push_back(p);
        }
    }
    return updates;
}

std::optional<Blob> IndiTestClient::waitForBlob(uint64_t since, Seconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Blob> found;
    waitLocked(lock, timeout, [&] {
        for (const Blob &b : blobs_) {
            if (b.sequence > since) {
                found = b;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<Blob> IndiTestClient::blobsSince(uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::vector<Blob> found;
    for (const Blob &b : blobs_) {
        if (b.sequence > since) {
            found.push_back(b);
        }
    }
    return found;
}

void IndiTestClient::forgetBlobs(uint64_t upTo) {
    std::lock_guard lock(mutex_);
    std::erase_if(blobs_, [&](const Blob &b) { return b.sequence <= upTo; });
}

std::vector<Message> IndiTestClient::messagesSince(uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> found;
    for (const Message &m : messages_) {
        if (m.sequence > since) {
            found.push_back(m);
        }
    }
    return found;
}

std::optional<Message> IndiTestClient::waitForMessage(uint64_t since, Seconds timeout,
                                                      const std::string &containing) {
    std::unique_lock lock(mutex_);
    std::optional<Message> found;
    waitLocked(lock, timeout, [&] {
        for (const Message &m : messages_) {
            if (m.sequence > since && m.text.find(containing) != std::string::npos) {
                found = m;
                return true;
            }
        }
        return false;
    });
    return found;
}

namespace {

// Fills a vector of the client's own from the device's current elements, with
// those named in `values` replaced, so the copy the listening thread updates is
// never written from here. False when `values` names an element the property
// does not have.
template <typename Vector, typename Value, typename SetValue>
bool fillRequest(Vector &vector, const std::string &device, const std::string &name,
                 const std::vector<Element> &elements, const std::map<std::string, Value> &values,
                 SetValue setValue) {
    vector.setDeviceName(device.c_str());
    vector.setName(name.c_str());
    size_t matched = 0;
    for (size_t i = 0; i < elements.size(); ++i) {
        const Element &e = elements[i];
        const auto given = values.find(e.name);
        matched += given != values.end();
        vector[i].setName(e.name.c_str());
        setValue(vector[i], e, given != values.end() ? &given->second : nullptr);
    }
    return matched == values.size();
}

}  // namespace

bool IndiTestClient::sendNumbers(const std::string &name,
                                 const std::map<std::string, double> &values) {
    const std::optional<PropertySnapshot> current = property(name);
    if (!current || current->type != INDI_NUMBER) {
        return false;
    }
    INDI::PropertyNumber vector(current->elements.size());
    if (!fillRequest(vector, device_, name, current->elements, values,
                     [](auto &element, const Element &e, const double *given) {
                         element.setValue(given != nullptr ? *given : e.number);
                     })) {
        return false;
    }
    sendNewNumber(vector);
    return true;
}

bool IndiTestClient::sendTexts(const std::string &name,
                               const std::map<std::string, std::string> &values) {
    const std::optional<PropertySnapshot> current = property(name);
    if (!current || current->type != INDI_TEXT) {
        return false;
    }
    INDI::PropertyText vector(current->elements.size());
    if (!fillRequest(vector, device_, name, current->elements, values,
                     [](auto &element, const Element &e, const std::string *given) {
                         element.setText(given != nullptr ? *given : e.text);
                     })) {
        return false;
    }
    sendNewText(vector);
    return true;
}

bool IndiTestClient::sendSwitch(const std::string &name, const std::string &element) {
    const std::optional<PropertySnapshot> current = property(name);
    if (!current || current->type != INDI_SWITCH || current->find(element) == nullptr) {
        return false;
    }
    INDI::PropertySwitch vector(current->elements.size());
    vector.setDeviceName(device_.c_str());
    vector.setName(name.c_str());
    for (size_t i = 0; i < current->elements.size(); ++i) {
        const Element &e = current->elements[i];
        vector[i].setName(e.name.c_str());
        // One of many or at most one: only the chosen one; any of many: the
        // others as they are.
        const bool keep = current->rule == ISR_NOFMANY && e.on;
        vector[i].setState(e.name == element || keep ? ISS_ON : ISS_OFF);
    }
    sendNewSwitch(vector);
    return true;
}

bool IndiTestClient::connectDevice(Seconds timeout) {
    if (!waitUntil("CONNECTION", timeout)) {
        return false;
    }
    const uint64_t since = mark();
    if (!sendSwitch("CONNECTION", "CONNECT")) {
        return false;
    }
    const auto answer = waitFor("CONNECTION", since, timeout, [](const PropertySnapshot &p) {
        return p.state != IPS_BUSY;
    });
    return answer && answer->state == IPS_OK && answer->on("CONNECT");
}

void IndiTestClient::newDevice(INDI::BaseDevice device) {
    if (device.getDeviceName() != device_) {
        return;
    }
    std::lock_guard lock(mutex_);
    deviceSeen_ = true;
    ++sequence_;
    changed_.notify_all();
}

void IndiTestClient::newProperty(INDI::Property property) { record(property, false); }
void IndiTestClient::updateProperty(INDI::Property property) { record(property, false); }
void IndiTestClient::removeProperty(INDI::Property property) { record(property, true); }

void IndiTestClient::record(INDI::Property property, bool removed) {
    if (property.getDeviceName() != device_) {
        return;
    }
    PropertySnapshot p;
    p.name = property.getName();
    p.type = property.getType();
    p.state = property.getState();
    p.permission = property.getPermission();
    p.removed = removed;
    std::optional<Blob> blob;
    const auto add = [&](const char *name, const char *label) -> Element & {
        Element &e = p.elements.emplace_back();
        e.name = name != nullptr ? name : "";
        e.label = label != nullptr ? label : "";
        return e;
    };
    switch (p.type) {
        case INDI_NUMBER:
            for (const auto &w : INDI::PropertyNumber(property)) {
                Element &e = add(w.getName(), w.getLabel());
                e.number = w.getValue();
                e.min = w.getMin();
                e.max = w.getMax();
            }
            break;
        case INDI_SWITCH:
            p.rule = INDI::PropertySwitch(property).getRule();
            for (const auto &w : INDI::PropertySwitch(property)) {
                add(w.getName(), w.getLabel()).on = w.getState() == ISS_ON;
            }
            break;
        case INDI_TEXT:
            for (const auto &w : INDI::PropertyText(property)) {
                add(w.getName(), w.getLabel()).text = w.getText() != nullptr ? w.getText() : "";
            }
            break;
        case INDI_LIGHT:
            for (const auto &w : INDI::PropertyLight(property)) {
                add(w.getName(), w.getLabel()).on = w.getState() == IPS_OK;
            }
            break;
        case INDI_BLOB:
            for (const auto &w : INDI::PropertyBlob(property)) {
                add(w.getName(), w.getLabel());
                // A definition carries no data; an update with an image does.
                // The data's length, not the size: a compressed image's size
                // is that of the image before compression.
                if (!removed && w.getBlobLen() > 0 && w.getBlob() != nullptr) {
                    blob.emplace();
                    blob->property = p.name;
                    blob->format = w.getFormat() != nullptr ? w.getFormat() : "";
                    blob->data.assign(static_cast<const char *>(w.getBlob()),
                                      static_cast<size_t>(w.getBlobLen()));
                }
            }
            break;
        default:
            break;
    }
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    p.sequence = ++sequence_;
    p.time = now;
    latest_[p.name] = p;
    history_.push_back(p);
    if (blob) {
        blob->sequence = ++sequence_;
        blob->time = now;
        blobs_.push_back(std::move(*blob));
    }
    changed_.notify_all();
}

void IndiTestClient::newMessage(INDI::BaseDevice device, int messageId) {
    if (device.getDeviceName() != device_) {
        return;
    }
    const std::string text = device.messageQueue(static_cast<size_t>(messageId));
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    messages_.push_back(Message{text, ++sequence_, now});
    changed_.notify_all();
}

void IndiTestClient::newUniversalMessage(std::string message) {
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    messages_.push_back(Message{std::move(message), ++sequence_, now});
    changed_.notify_all();
}

void IndiTestClient::serverDisconnected(int) {
    std::lock_guard lock(mutex_);
    serverLost_ = true;
    ++sequence_;
    changed_.notify_all();
}

}  // namespace qmindi
