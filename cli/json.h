// A small JSON writer for the --json outputs: values are appended in order, commas handled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const std::string& key);
    JsonWriter& String(const std::string& value);
    JsonWriter& Int(std::int64_t value);
    JsonWriter& UInt(std::uint64_t value);
    JsonWriter& Double(double value, int decimals = 1);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    const std::string& Text() const { return m_out; }

private:
    void Separate();
    std::string m_out;
    std::vector<bool> m_first; // per open container: nothing written yet
    bool m_afterKey = false;
};

std::string JsonEscape(const std::string& s);

} // namespace cli
