#include "tav/status_text.h"

#include <cstring>

#include "common/sector.h"
#include "platform/bytes.h"
#include "tav/layout.h"

namespace tav {
namespace {

void Field(std::string* out, const std::string& text) {
    *out += ",\"" + text + "\"";
}

// Text of at most `max` bytes, up to the first zero byte.
std::string Bounded(const BYTE* p, std::size_t max) {
    std::size_t n = 0;
    while (n < max && p[n])
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Position(int degrees, int minutes, int fraction, BYTE hemisphere) {
    return common::Format("%d%c%d.%d%c%c", degrees, 'd', minutes, fraction, '\'',
                          static_cast<char>(hemisphere));
}

std::string Speed(int kind, DWORD unit, int value) {
    if (kind == 2 || unit == 0)
        return common::Format("%dMPH", value);
    return common::Format(unit == 1 ? "%dKPH" : "%dKTS", value);
}

} // namespace

std::string StatusText(int kind, const BYTE* b, int channel) {
    std::string out;
    // Channel titles: 0..5 where the title table keeps them, 6 and 7 from their own slots at 174 and
    // 186; the recorder keeps none for 8..15.
    std::string title;
    if (channel >= 0 && channel < 6)
        title = Bounded(b + 58 + 12 * channel, 12);
    else if (channel >= 6 && channel < 8)
        title = Bounded(b + 174 + 12 * (channel - 6), 12);
    Field(&out, title);
    Field(&out, b[9] ? Position(b[6], b[7], b[8], b[9]) : std::string());
    Field(&out, b[14] ? Position(b[10] * 128 + b[11], b[12], b[13], b[14]) : std::string());
    Field(&out, common::Format("%d.%dV", b[4], b[5]));
    DWORD unit = platform::ReadLE32(b + 32);
    Field(&out, Speed(kind, unit, b[15] * 128 + b[16]));
    Field(&out, Speed(kind, unit, b[2] * 100 + b[3]));
    if (kind == 2) {
        static const char* const kFlags[5] = {"LT", "STP", "BRK", "WRN", "RT"};
        for (int i = 0; i < 5; ++i)
            Field(&out, (b[0] >> i) & 1 ? kFlags[i] : "");
        return out;
    }
    for (int i = 0; i < 5; ++i)
        Field(&out, (b[0] >> i) & 1 ? Bounded(b + 144 + 3 * i, 3) : std::string());
    if (kind == 3)
        return out + "\r\n";
    for (int i = 0; i < 5; ++i)
        Field(&out, (b[1] >> i) & 1 ? Bounded(b + 159 + 3 * i, 3) : std::string());
    for (int j = 0; j < 8; ++j)
        Field(&out, (b[294] >> j) & 1 ? Bounded(b + 198 + 12 * j, 12) : std::string());
    return out + "\r\n";
}

std::string Kind1Text(const BYTE* r, int channel) {
    std::string out = common::Format("\r\n    Status %c  Chnl %d", static_cast<char>(r[0]), channel + 1);
    DWORD knots = platform::ReadLE16(r + 11);
    DWORD hundredths = platform::ReadLE16(r + 13);
    DWORD v = (knots * 100 + hundredths) * 1852 / 1000;
    out +=
        common::Format("\r\n    %d.%dKPH  DIR %d%c%d'", static_cast<int>(v / 100), static_cast<int>(v % 100),
                       platform::ReadLE16(r + 15), 'd', platform::ReadLE16(r + 17));
    out += common::Format("\r\n    LAT %d%c%d.%d%c%c LONG %d%c%d.%d%c%c\r\n", r[2], 'd', r[3], r[4], '\'',
                          static_cast<char>(r[1]), r[7], 'd', r[8], r[9], '\'', static_cast<char>(r[6]));
    return out;
}

std::string FrameTextLine(DWORD time, int kind, const TavStatusState& st, int channel) {
    std::string line = FormatTime(time) + " ";
    if (kind >= 2 && kind <= 4)
        line += StatusText(kind, st.block.data(), channel);
    else if (kind == 1)
        line += Kind1Text(st.kind1.data(), channel);
    // Every record ends its line: the kind-2 text and the kinds without a status text carry no line
    // end of their own, and without one a whole export would run together on one line.
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
        line += "\r\n";
    return line;
}

} // namespace tav
