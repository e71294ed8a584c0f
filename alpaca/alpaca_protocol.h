// The Alpaca request and answer formats: form and query fields, the client's
// identifiers, the ASCOM error numbers and the JSON envelope every answer
// carries. Nothing here knows the camera.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace alpaca {

// ASCOM error numbers carried in ErrorNumber (HTTP 200 answers).
enum class ErrorCode : int32_t {
    None = 0,
    NotImplemented = 0x400,
    InvalidValue = 0x401,
    ValueNotSet = 0x402,
    NotConnected = 0x407,
    InvalidOperation = 0x40B,
    ActionNotImplemented = 0x40C,
    CameraFailure = 0x500,  // the first of the driver-defined numbers
    // The camera stopped answering and is being reconnected: the same request
    // may succeed once it is back.
    CameraReconnecting = 0x501,
};

// Fields of a query string or an application/x-www-form-urlencoded body, in the
// order sent, names and values percent-decoded ('+' is a space).
class Fields {
public:
    // GET names are matched without regard to case, PUT names exactly, as the
    // Alpaca API demands of devices.
    Fields(std::string_view encoded, bool exactCase);

    // The value of the first field called `name`, or nullptr.
    const std::string *find(std::string_view name) const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
    bool exactCase_;
};

// Percent-decoding; false for a broken escape ("%G1", "%4").
bool decodeUrlComponent(std::string_view text, std::string &decoded);

// Strict numbers: the whole text, no spaces, no sign for unsigned values.
bool parseUint32(std::string_view text, uint32_t &value);
bool parseInt32(std::string_view text, int32_t &value);
bool parseFiniteDouble(std::string_view text, double &value);
// "true" or "false" in any case.
bool parseBool(std::string_view text, bool &value);

struct ClientIds {
    uint32_t clientId = 0;
    uint32_t clientTransactionId = 0;
};

// ClientID and ClientTransactionID, each optional (0 when absent); present but
// not an unsigned 32-bit number is a malformed request (`error` says which).
bool readClientIds(const Fields &fields, ClientIds &ids, std::string &error);

// The outcome of one member: a value (already JSON text) or an ASCOM error, or
// a malformed request that gets HTTP 400 with `message` as plain text.
struct MemberResult {
    ErrorCode error = ErrorCode::None;
    std::string message;
    std::optional<std::string> valueJson;  // absent for methods
    bool badRequest = false;

    static MemberResult value(std::string json) {
        return {ErrorCode::None, {}, std::move(json), false};
    }
    static MemberResult done() { return {}; }
    static MemberResult fail(ErrorCode code, std::string why) {
        return {code, std::move(why), std::nullopt, false};
    }
    static MemberResult malformed(std::string why) {
        return {ErrorCode::None, std::move(why), std::nullopt, true};
    }
};

// JSON text of simple values.
std::string jsonString(std::string_view text);
std::string jsonBool(bool value);
std::string jsonNumber(double value);

// The answer body: Value (when given), ClientTransactionID,
// ServerTransactionID, ErrorNumber, ErrorMessage.
std::string answerBody(const MemberResult &result, const ClientIds &ids,
                       uint32_t serverTransactionId);

}  // namespace alpaca
