#include "alpaca/alpaca_protocol.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace alpaca {

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <typename T>
bool parseWhole(std::string_view text, T &value) {
    if (text.empty() || text.front() == '+') {
        return false;
    }
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    return status == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool decodeUrlComponent(std::string_view text, std::string &decoded) {
    decoded.clear();
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            decoded += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int high = hexDigit(text[i + 1]);
            const int low = hexDigit(text[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += c;
        }
    }
    return true;
}

Fields::Fields(std::string_view encoded, bool exactCase) : exactCase_(exactCase) {
    while (!encoded.empty()) {
        const size_t end = encoded.find('&');
        const std::string_view field = encoded.substr(0, end);
        encoded = end == std::string_view::npos ? std::string_view{} : encoded.substr(end + 1);
        if (field.empty()) {
            continue;
        }
        const size_t equals = field.find('=');
        std::string name;
        std::string value;
        // A field whose escapes are broken cannot be matched by any name: it is
        // kept out, so a required one reads as missing.
        if (!decodeUrlComponent(field.substr(0, equals), name) ||
            (equals != std::string_view::npos &&
             !decodeUrlComponent(field.substr(equals + 1), value))) {
            continue;
        }
        fields_.emplace_back(std::move(name), std::move(value));
    }
}

const std::string *Fields::find(std::string_view name) const {
    for (const auto &[fieldName, value] : fields_) {
        if (exactCase_ ? fieldName == name : equalIgnoringCase(fieldName, name)) {
            return &value;
        }
    }
    return nullptr;
}

bool parseUint32(std::string_view text, uint32_t &value) {
    return !text.empty() && text.front() != '-' && parseWhole(text, value);
}

bool parseInt32(std::string_view text, int32_t &value) { return parseWhole(text, value); }

bool parseFiniteDouble(std::string_view text, double &value) {
    return parseWhole(text, value) && std::isfinite(value);
}

bool parseBool(std::string_view text, bool &value) {
    if (equalIgnoringCase(text, "true")) {
        value = true;
        return true;
    }
    if (equalIgnoringCase(text, "false")) {
        value = false;
        return true;
    }
    return false;
}

bool readClientIds(const Fields &fields, ClientIds &ids, std::string &error) {
    const struct {
        const char *name;
        uint32_t *target;
    } idFields[] = {{"ClientID", &ids.clientId}, {"ClientTransactionID", &ids.clientTransactionId}};
    for (const auto &field : idFields) {
        const std::string *text = fields.find(field.name);
        if (text == nullptr) {
            *field.target = 0;
        } else if (!parseUint32(*text, *field.target)) {
            error =
                std::string(field.name) + " '" + *text + "' is not a number from 0 to 4294967295";
            return false;
        }
    }
    return true;
}

std::string jsonString(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string jsonNumber(double value) { return nlohmann::json(value).dump(); }

std::string answerBody(const MemberResult &result, const ClientIds &ids,
                       uint32_t serverTransactionId) {
    std::string body = "{";
    if (result.valueJson && result.error == ErrorCode::None) {
        body += "\"Value\":" + *result.valueJson + ",";
    }
    body += "\"ClientTransactionID\":" + std::to_string(ids.clientTransactionId) +
            ",\"ServerTransactionID\":" + std::to_string(serverTransactionId) +
            ",\"ErrorNumber\":" + std::to_string(static_cast<int32_t>(result.error)) +
            ",\"ErrorMessage\":" + jsonString(result.message) + "}";
    return body;
}

}  // namespace alpaca
