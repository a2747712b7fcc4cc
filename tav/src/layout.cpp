#include "tav/layout.h"

#include <cstdio>
#include <ctime>

namespace tav {

TavGeometry ComputeGeometry(DWORD totalSectors) {
    TavGeometry g;
    g.T = totalSectors;
    g.G = totalSectors >> 21;
    g.Tprime = g.G << 21;
    DWORD q = (g.G * 1024) / 3072;
    DWORD p = 32;
    if (q != 0) {
        p = 1;
        while (p <= q)
            p <<= 1;
        if (p < 32)
            p = 32;
    }
    g.P = p;
    g.S = p * 2048;
    g.N = (g.G * 1024) / p;
    g.K = (1u << 21) / g.S;
    g.B = g.S / kBlockSectors;
    return g;
}

bool GeometryFromImage(DWORD S, DWORD N, DWORD Tprime, TavGeometry* out) {
    // The fields must be the geometry of a real drive of T' sectors.
    TavGeometry g = ComputeGeometry(Tprime);
    if (g.Tprime != Tprime || g.S != S || g.N != N || g.N < 3)
        return false;
    *out = g;
    return true;
}

TavIndexEntry ReadIndexEntry(const BYTE* p) {
    TavIndexEntry e;
    e.tag = platform::ReadLE32(p + ent::kTag);
    e.offset = platform::ReadLE32(p + ent::kOffset);
    e.time = platform::ReadLE32(p + ent::kTime);
    e.size = platform::ReadLE32(p + ent::kSize);
    e.channel = p[ent::kChannel];
    e.type = ReduceType(p[ent::kType]);
    e.code = p[ent::kCode];
    return e;
}

bool IsValidEntry(const TavIndexEntry& e, DWORD dataBytes) {
    if (!IsEntryTag(e.tag) || e.time < kEarliestEntryTime || e.channel >= 16)
        return false;
    if (e.type != kTypeKey && e.type != kTypePredicted && e.type != kTypeAudio)
        return false;
    if (e.size == 0 || e.size >= kMaxPacketSize)
        return false;
    return e.offset < dataBytes;
}

DWORD ClearUnitSectors(DWORD T) {
    static const DWORD kSteps[8] = {0xA000000,  0x14000000, 0x1E000000, 0x28000000,
                                    0x32000000, 0x3C000000, 0x46000000, 0x50000000};
    DWORD k = 1;
    for (DWORD step : kSteps)
        if (T >= step)
            ++k;
    return k * 65536;
}

std::string FormatTime(DWORD time) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool ParseTime(const std::string& text, DWORD* time) {
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return false;
    if (y < 1970 || y > 2105 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 ||
        h < 0 || mi < 0 || s < 0)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    long long v = static_cast<long long>(timegm(&tm));
    if (v < 0 || v > 0xFFFFFFFFll)
        return false;
    *time = static_cast<DWORD>(v);
    return true;
}

} // namespace tav
