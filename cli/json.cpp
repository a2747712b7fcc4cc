#include "cli/json.h"

#include <cstdio>

namespace cli {

std::string JsonEscape(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void JsonWriter::Separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back())
            m_out += ", ";
        m_first.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    Separate();
    m_out += '{';
    m_first.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    m_out += '}';
    m_first.pop_back();
    return *this;
}
JsonWriter& JsonWriter::BeginArray() {
    Separate();
    m_out += '[';
    m_first.push_back(true);
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    m_out += ']';
    m_first.pop_back();
    return *this;
}
JsonWriter& JsonWriter::Key(const std::string& key) {
    Separate();
    m_out += '"' + JsonEscape(key) + "\": ";
    m_afterKey = true;
    return *this;
}
JsonWriter& JsonWriter::String(const std::string& value) {
    Separate();
    m_out += '"' + JsonEscape(value) + '"';
    return *this;
}
JsonWriter& JsonWriter::Int(std::int64_t value) {
    Separate();
    m_out += std::to_string(value);
    return *this;
}
JsonWriter& JsonWriter::UInt(std::uint64_t value) {
    Separate();
    m_out += std::to_string(value);
    return *this;
}
JsonWriter& JsonWriter::Double(double value, int decimals) {
    Separate();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    m_out += buf;
    return *this;
}
JsonWriter& JsonWriter::Bool(bool value) {
    Separate();
    m_out += value ? "true" : "false";
    return *this;
}
JsonWriter& JsonWriter::Null() {
    Separate();
    m_out += "null";
    return *this;
}

} // namespace cli
