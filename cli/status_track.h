// GPS and vehicle status as data: the status lines the TAV source exports, one per frame, taken apart
// into fields and written as a GPX track or a CSV table.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

struct StatusRow {
    std::string time;                // "YYYY/MM/DD hh:mm:ss", UTC by the recorder's clock
    std::vector<std::string> fields; // the line's fields in order, as the recorder wrote them
    std::string latitudeText, longitudeText;
    std::optional<double> latitude, longitude; // decimal degrees, south and west negative
    std::optional<double> speedMetres;         // the first (GPS) speed in metres per second
    bool navigation = false;                   // a kind-1 navigation block rather than quoted fields
};

// The rows of a status-line export (kinds 2, 3, 4: quoted fields; kind 1: its navigation block).
std::vector<StatusRow> ParseStatusLines(const std::string& text);
// "40d26.5'N" -> 40.441666…; nothing when the text is not a position.
std::optional<double> ParsePosition(const std::string& text);

// GPX 1.1: one track of the points that carry a position, with their time and speed.
std::string StatusGpx(const std::vector<StatusRow>& rows, const std::string& name);
// A header line and one row per frame: time, channel, latitude, longitude in decimal degrees, then every
// field of the line as the recorder wrote it.
std::string StatusCsv(const std::vector<StatusRow>& rows, int channel);

} // namespace cli
