#include "tools/capture/output_naming.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace {

constexpr size_t kUtcStampLength = 20;  // 20261207T232013.123Z
constexpr const char *kFitsEndings[] = {".fits", ".fit", ".fts"};

bool parseToken(const std::string &token, NamePart &part, std::string &error) {
    if (token == "utc") {
        part.kind = NamePart::Kind::Utc;
        return true;
    }
    if (token == "mode") {
        part.kind = NamePart::Kind::Mode;
        return true;
    }
    if (token == "type") {
        part.kind = NamePart::Kind::Type;
        return true;
    }
    if (token == "n") {
        part.kind = NamePart::Kind::Counter;
        return true;
    }
    if (token.size() >= 3 && token.compare(0, 2, "n:") == 0) {
        const std::string width = token.substr(2);
        if (width.size() <= 2 && width.find_first_not_of("0123456789") == std::string::npos) {
            part.kind = NamePart::Kind::Counter;
            part.width = std::stoi(width);
            if (part.width >= 1 && part.width <= 9) {
                return true;
            }
        }
        error = "counter width in {" + token + "} must be 1 to 9, as in {n:04}";
        return false;
    }
    error =
        "unknown token {" + token + "} in the output name (use {n}, {n:04}, {utc}, {mode}, {type})";
    return false;
}

void appendLiteral(std::vector<NamePart> &parts, char c) {
    if (parts.empty() || parts.back().kind != NamePart::Kind::Literal) {
        parts.push_back({});
    }
    parts.back().text += c;
}

bool isDigits(const std::string &text, size_t from, size_t count) {
    return std::all_of(text.begin() + static_cast<long>(from),
                       text.begin() + static_cast<long>(from + count),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool looksLikeUtcStamp(const std::string &text, size_t at) {
    return text.size() - at >= kUtcStampLength && isDigits(text, at, 8) && text[at + 8] == 'T' &&
           isDigits(text, at + 9, 6) && text[at + 15] == '.' && isDigits(text, at + 16, 3) &&
           text[at + 19] == 'Z';
}

// The text of a part that is the same in every name of a run.
std::string fixedText(const NamePart &part, const RunTokens &run) {
    switch (part.kind) {
        case NamePart::Kind::Mode:
            return std::to_string(run.mode);
        case NamePart::Kind::Type:
            return run.type;
        default:
            return part.text;
    }
}

// Matches parts[index..] against name[at..], backtracking over counter lengths.
bool matchFrom(const std::vector<NamePart> &parts, size_t index, const std::string &name, size_t at,
               const RunTokens &run, uint64_t &number) {
    if (index == parts.size()) {
        return at == name.size();
    }
    const NamePart &part = parts[index];
    switch (part.kind) {
        case NamePart::Kind::Literal:
        case NamePart::Kind::Mode:
        case NamePart::Kind::Type: {
            const std::string text = fixedText(part, run);
            return name.compare(at, text.size(), text) == 0 &&
                   matchFrom(parts, index + 1, name, at + text.size(), run, number);
        }
        case NamePart::Kind::Utc:
            return looksLikeUtcStamp(name, at) &&
                   matchFrom(parts, index + 1, name, at + kUtcStampLength, run, number);
        case NamePart::Kind::Counter:
            for (size_t length = 1; length <= 18 && at + length <= name.size(); ++length) {
                if (!isDigits(name, at, length)) {
                    break;
                }
                if (matchFrom(parts, index + 1, name, at + length, run, number)) {
                    number = std::stoull(name.substr(at, length));
                    return true;
                }
            }
            return false;
    }
    return false;
}

std::tm utcCalendar(std::chrono::system_clock::time_point time, int &milliseconds) {
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(sinceEpoch / 1000);
    milliseconds = static_cast<int>(sinceEpoch % 1000);
    if (milliseconds < 0) {
        milliseconds += 1000;
        --seconds;
    }
    std::tm calendar{};
    gmtime_r(&seconds, &calendar);
    return calendar;
}

}  // namespace

bool NameTemplate::hasCounter() const {
    return std::any_of(parts.begin(), parts.end(),
                       [](const NamePart &p) { return p.kind == NamePart::Kind::Counter; });
}

bool NameTemplate::hasTimestamp() const {
    return std::any_of(parts.begin(), parts.end(),
                       [](const NamePart &p) { return p.kind == NamePart::Kind::Utc; });
}

bool parseNameTemplate(const std::string &text, NameTemplate &nameTemplate, std::string &error) {
    const size_t slash = text.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : text.substr(0, slash + 1);
    const std::string fileName = slash == std::string::npos ? text : text.substr(slash + 1);
    if (directory.find_first_of("{}") != std::string::npos) {
        error = "tokens are allowed only in the file name of --output, not in its directory";
        return false;
    }
    if (fileName.empty() || fileName == "." || fileName == "..") {
        error = "--output '" + text + "' names no file";
        return false;
    }
    NameTemplate result;
    result.directory = directory;
    for (size_t i = 0; i < fileName.size(); ++i) {
        const char c = fileName[i];
        if ((c == '{' || c == '}') && i + 1 < fileName.size() && fileName[i + 1] == c) {
            appendLiteral(result.parts, c);
            ++i;
            continue;
        }
        if (c == '}') {
            error = "unmatched '}' in the output name (write }} for a brace)";
            return false;
        }
        if (c != '{') {
            appendLiteral(result.parts, c);
            continue;
        }
        const size_t close = fileName.find('}', i);
        if (close == std::string::npos) {
            error = "unclosed '{' in the output name (write {{ for a brace)";
            return false;
        }
        NamePart part;
        if (!parseToken(fileName.substr(i + 1, close - i - 1), part, error)) {
            return false;
        }
        result.parts.push_back(part);
        i = close;
    }
    nameTemplate = std::move(result);
    return true;
}

std::string expandName(const NameTemplate &nameTemplate, uint64_t number,
                       const std::string &utcStampText, const RunTokens &run) {
    std::string name = nameTemplate.directory;
    for (const NamePart &part : nameTemplate.parts) {
        switch (part.kind) {
            case NamePart::Kind::Literal:
            case NamePart::Kind::Mode:
            case NamePart::Kind::Type:
                name += fixedText(part, run);
                break;
            case NamePart::Kind::Utc:
                name += utcStampText;
                break;
            case NamePart::Kind::Counter: {
                char digits[32];
                std::snprintf(digits, sizeof digits, "%0*llu", part.width,
                              static_cast<unsigned long long>(number));
                name += digits;
                break;
            }
        }
    }
    return name;
}

NameTemplate previewTemplateOf(const NameTemplate &nameTemplate) {
    NameTemplate preview = nameTemplate;
    if (!preview.parts.empty() && preview.parts.back().kind == NamePart::Kind::Literal) {
        std::string &tail = preview.parts.back().text;
        for (const char *ending : kFitsEndings) {
            const size_t length = std::char_traits<char>::length(ending);
            if (tail.size() >= length) {
                std::string end = tail.substr(tail.size() - length);
                std::transform(end.begin(), end.end(), end.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                if (end == ending) {
                    tail.replace(tail.size() - length, length, ".png");
                    return preview;
                }
            }
        }
        tail += ".png";
        return preview;
    }
    preview.parts.push_back({NamePart::Kind::Literal, ".png", 0});
    return preview;
}

std::string previewPathOf(const std::string &fitsPath) {
    NameTemplate literal;
    literal.parts.push_back({NamePart::Kind::Literal, fitsPath, 0});
    return previewTemplateOf(literal).parts.back().text;
}

bool matchName(const NameTemplate &nameTemplate, const std::string &fileName, const RunTokens &run,
               uint64_t &number) {
    number = 0;
    return matchFrom(nameTemplate.parts, 0, fileName, 0, run, number);
}

uint64_t firstFreeNumber(const NameTemplate &nameTemplate, const RunTokens &run, uint64_t start) {
    const NameTemplate preview = previewTemplateOf(nameTemplate);
    uint64_t next = start;
    std::error_code failure;
    const std::filesystem::path directory =
        nameTemplate.directory.empty() ? "." : nameTemplate.directory;
    for (std::filesystem::directory_iterator it(directory, failure), end; !failure && it != end;
         it.increment(failure)) {
        const std::string name = it->path().filename().string();
        uint64_t number = 0;
        if ((matchName(nameTemplate, name, run, number) || matchName(preview, name, run, number)) &&
            number >= next) {
            next = number + 1;
        }
    }
    return next;
}

namespace {

// The time in UTC, with milliseconds, in a format with the calendar fields in order.
std::string formatUtc(std::chrono::system_clock::time_point time, const char *format) {
    int milliseconds = 0;
    const std::tm c = utcCalendar(time, milliseconds);
    char text[40];
    std::snprintf(text, sizeof text, format, c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_hour,
                  c.tm_min, c.tm_sec, milliseconds);
    return text;
}

}  // namespace

std::string utcStamp(std::chrono::system_clock::time_point time) {
    return formatUtc(time, "%04d%02d%02dT%02d%02d%02d.%03dZ");
}
