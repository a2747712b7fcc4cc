#include "cli/status_track.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

bool IsTimeAt(const std::string& s, std::size_t at) {
    static const char kShape[] = "dddd/dd/dd dd:dd:dd";
    if (at + sizeof kShape - 1 > s.size())
        return false;
    for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
        const char c = s[at + i];
        if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != kShape[i])
            return false;
    }
    return true;
}

// The quoted fields of a kinds 2-4 line: ,"a","b",… (a field holds no double quote).
std::vector<std::string> QuotedFields(const std::string& rest) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at + 1 < rest.size() && rest[at] == ',' && rest[at + 1] == '"') {
        std::size_t end = rest.find('"', at + 2);
        if (end == std::string::npos)
            break;
        fields.push_back(rest.substr(at + 2, end - at - 2));
        at = end + 1;
    }
    return fields;
}

// "34MPH", "12KPH", "3KTS", "12.5KPH" in metres per second.
std::optional<double> SpeedMetres(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return std::nullopt;
    const std::string unit = end;
    if (unit == "MPH")
        return value * 0.44704;
    if (unit == "KPH")
        return value / 3.6;
    if (unit == "KTS")
        return value * 1852.0 / 3600.0;
    return std::nullopt;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \r\n");
    std::size_t e = s.find_last_not_of(" \r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The kind-1 navigation block: "Status A  Chnl 1", "12.5KPH  DIR 90d30'", "LAT 40d26.5'N LONG 74d0.3'W".
void ParseKind1(const std::string& block, StatusRow* row) {
    row->navigation = true;
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t nl = block.find('\n', at);
        std::string line = Trim(block.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        if (!line.empty())
            lines.push_back(line);
        at = nl == std::string::npos ? block.size() : nl + 1;
    }
    for (const std::string& line : lines) {
        if (line.rfind("Status ", 0) == 0) {
            row->fields.push_back(line.substr(7, 1));
        } else if (line.rfind("LAT ", 0) == 0) {
            std::size_t lon = line.find(" LONG ");
            row->latitudeText = line.substr(4, lon == std::string::npos ? std::string::npos : lon - 4);
            row->longitudeText = lon == std::string::npos ? "" : line.substr(lon + 6);
        } else if (line.find("DIR ") != std::string::npos) {
            std::size_t dir = line.find("DIR ");
            row->fields.push_back(Trim(line.substr(0, dir)));
            row->fields.push_back(line.substr(dir + 4));
            row->speedMetres = SpeedMetres(row->fields[row->fields.size() - 2]);
        }
    }
    row->fields.push_back(row->latitudeText);
    row->fields.push_back(row->longitudeText);
}

std::string Fixed(double v, int decimals) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string XmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace

std::optional<double> ParsePosition(const std::string& text) {
    // degrees 'd' minutes '.' fraction '\'' hemisphere; the fraction digits continue the minutes.
    const std::size_t d = text.find('d');
    const std::size_t dot = text.find('.', d == std::string::npos ? 0 : d);
    const std::size_t tick = text.find('\'', dot == std::string::npos ? 0 : dot);
    if (d == std::string::npos || dot == std::string::npos || tick == std::string::npos ||
        tick + 2 != text.size() || d == 0)
        return std::nullopt;
    for (std::size_t i = 0; i < tick; ++i)
        if (i != d && i != dot && !std::isdigit(static_cast<unsigned char>(text[i])))
            return std::nullopt;
    const char hemisphere = text[tick + 1];
    if (hemisphere != 'N' && hemisphere != 'S' && hemisphere != 'E' && hemisphere != 'W')
        return std::nullopt;
    const double degrees = std::atof(text.substr(0, d).c_str());
    const double minutes = std::atof(text.substr(d + 1, tick - d - 1).c_str());
    const double value = degrees + minutes / 60.0;
    return hemisphere == 'S' || hemisphere == 'W' ? -value : value;
}

std::vector<StatusRow> ParseStatusLines(const std::string& text) {
    // A record starts with a time at the start of a line and runs to the next one.
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at < text.size();
         at = text.find('\n', at) == std::string::npos ? text.size() : text.find('\n', at) + 1)
        if (IsTimeAt(text, at) && (text.size() == at + 19 || text[at + 19] == ' '))
            starts.push_back(at);
    std::vector<StatusRow> rows;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        StatusRow row;
        row.time = text.substr(starts[i], 19);
        const std::string rest =
            text.substr(starts[i] + 20 > end ? end : starts[i] + 20, end - std::min(end, starts[i] + 20));
        if (rest.rfind(",\"", 0) == 0) {
            row.fields = QuotedFields(rest);
            if (row.fields.size() >= 5) {
                row.latitudeText = row.fields[1];
                row.longitudeText = row.fields[2];
                row.speedMetres = SpeedMetres(row.fields[4]);
            }
        } else {
            ParseKind1(rest, &row);
        }
        row.latitude = ParsePosition(row.latitudeText);
        row.longitude = ParsePosition(row.longitudeText);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string StatusGpx(const std::vector<StatusRow>& rows, const std::string& name) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<gpx version=\"1.1\" creator=\"Scryde\" xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
                      "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
                      "     xmlns:scryde=\"urn:scryde:status:1\"\n"
                      "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
                      "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
                      "  <trk>\n    <name>" +
                      XmlEscape(name) + "</name>\n    <trkseg>\n";
    for (const StatusRow& r : rows) {
        if (!r.latitude || !r.longitude)
            continue;
        // Times are the recorder's clock as stored, which it keeps in UTC.
        std::string time = r.time;
        time[4] = time[7] = '-';
        time[10] = 'T';
        out += "      <trkpt lat=\"" + Fixed(*r.latitude, 7) + "\" lon=\"" + Fixed(*r.longitude, 7) + "\">\n";
        out += "        <time>" + time + "Z</time>\n";
        if (r.speedMetres)
            out += "        <extensions><scryde:speed>" + Fixed(*r.speedMetres, 3) +
                   "</scryde:speed></extensions>\n";
        out += "      </trkpt>\n";
    }
    out += "    </trkseg>\n  </trk>\n</gpx>\n";
    return out;
}

std::string StatusCsv(const std::vector<StatusRow>& rows, int channel) {
    std::size_t width = 0;
    for (const StatusRow& r : rows)
        width = std::max(width, r.fields.size());
    // The fields of kinds 2, 3, 4 in their fixed order, then the kind's flags, labels or texts.
    static const char* const kFields[] = {"title",   "latitude_text", "longitude_text",
                                          "voltage", "first_speed",   "second_speed"};
    static const char* const kNavigation[] = {"status", "speed", "heading", "latitude_text",
                                              "longitude_text"};
    const bool navigation = !rows.empty() && rows.front().navigation;
    std::string out = "time,channel,latitude,longitude";
    for (std::size_t i = 0; i < width; ++i) {
        if (navigation)
            out += "," + (i < 5 ? std::string(kNavigation[i]) : "field_" + std::to_string(i + 1));
        else
            out += "," + (i < 6 ? std::string(kFields[i]) : "status_" + std::to_string(i - 5));
    }
    out += "\r\n";
    for (const StatusRow& r : rows) {
        out += r.time + "," + std::to_string(channel + 1) + "," + (r.latitude ? Fixed(*r.latitude, 7) : "") +
               "," + (r.longitude ? Fixed(*r.longitude, 7) : "");
        for (std::size_t i = 0; i < width; ++i)
            out += "," + (i < r.fields.size() ? CsvField(r.fields[i]) : std::string());
        out += "\r\n";
    }
    return out;
}

} // namespace cli
