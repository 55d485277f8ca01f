// Just enough JSON reading for the tests: a member of a flat object, and string literals
// decoded back into bytes the way a Latin-1 reader does.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace devsim_test {

inline std::string DecodeJsonString(const std::string& Json) {
    EXPECT_GE(Json.size(), 2u);
    std::string out;
    for (size_t i = 1; i + 1 < Json.size(); ++i) {
        if (Json[i] != '\\') {
            out += Json[i];
            continue;
        }
        const char e = Json[++i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case '"':
        case '\\':
        case '/':
            out += e;
            break;
        case 'u': {
            const int v = std::stoi(Json.substr(i + 1, 4), nullptr, 16);
            EXPECT_LT(v, 256);
            out += static_cast<char>(v);
            i += 4;
            break;
        }
        default:
            ADD_FAILURE() << "bad escape " << e;
        }
    }
    return out;
}

// The text of the value of the first member named Key ("" when there is none).
inline std::string JsonRaw(const std::string& Json, const std::string& Key) {
    const std::string needle = "\"" + Key + "\":";
    const size_t at = Json.find(needle);
    if (at == std::string::npos)
        return "";
    size_t i = at + needle.size(), depth = 0;
    const size_t from = i;
    bool inString = false;
    for (; i < Json.size(); ++i) {
        const char c = Json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            if (!inString && depth == 0)
                return Json.substr(from, i + 1 - from);
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            ++depth;
        else if (c == ']' || c == '}') {
            if (depth == 0)
                return Json.substr(from, i - from);
            if (--depth == 0)
                return Json.substr(from, i + 1 - from);
        } else if (c == ',' && depth == 0)
            return Json.substr(from, i - from);
    }
    return Json.substr(from);
}

inline double JsonNumber(const std::string& Json, const std::string& Key) {
    const std::string raw = JsonRaw(Json, Key);
    EXPECT_FALSE(raw.empty()) << Key << " missing in " << Json;
    return raw.empty() ? -1 : std::stod(raw);
}

inline std::string JsonText(const std::string& Json, const std::string& Key) {
    const std::string raw = JsonRaw(Json, Key);
    EXPECT_TRUE(raw.size() >= 2 && raw[0] == '"') << Key << " is not a string in " << Json;
    return raw.size() >= 2 ? DecodeJsonString(raw) : "";
}

} // namespace devsim_test
