#include "orma/layout.h"

#include <cstdio>
#include <ctime>

namespace orma {

DWORD PackTime(int month, int day, int hour, int minute, int second) {
    return DWORD(month & 0xF) << 28 | DWORD(day & 0x1F) << 23 | DWORD(hour & 0x1F) << 18 |
           DWORD(minute & 0x3F) << 12 | DWORD(second & 0x3F) << 6;
}

int CompareTime(BYTE year1, DWORD time1, BYTE year2, DWORD time2) {
    if (year1 != year2)
        return int(year1) - int(year2);
    // The quotients fit in 27 bits, so their difference fits an int.
    return static_cast<int>(time1 / 32) - static_cast<int>(time2 / 32);
}

std::string FormatTime(BYTE year, DWORD t) {
    char text[48];
    std::snprintf(text, sizeof text, "20%02d/%02d/%02d %02d:%02d:%02d", year, Month(t), Day(t), Hour(t),
                  Minute(t), Second(t));
    return text;
}

bool ParseTime(const std::string& text, BYTE* year, DWORD* time) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
        return false;
    if (y < 2000 || y > 2255 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || s < 0 || s > 59)
        return false;
    *year = static_cast<BYTE>(y - 2000);
    *time = PackTime(mo, d, h, mi, s);
    return true;
}

DWORD ClusterSizeForDrive(ULONGLONG t) {
    DWORD k = t <= 0x09FFFFFF ? 1 : t < 0x14000000 ? 2 : t <= 0x1DFFFFFF ? 3 : 4;
    for (ULONGLONG step : {0x28000000ull, 0x32000000ull, 0x3C000000ull, 0x46000000ull, 0x50000000ull})
        if (t >= step)
            ++k;
    return k * kClusterUnit;
}

int D32M::AlarmEntries() const {
    int field = AlarmField();
    if (field < 0)
        return 0;
    return field + 1 > kMaxAlarmsPerCluster ? kMaxAlarmsPerCluster : field + 1;
}

int Disk01M::LastEntry() const {
    WORD n = PictureNumber();
    if (n == 0xFFFF)
        return -1;
    return n > kMaxEntryIndex ? kMaxEntryIndex : n;
}

void OrmaSegment::Write(BYTE* out) const {
    platform::WriteLE32(out + 0, start_time);
    platform::WriteLE32(out + 4, start_address);
    platform::WriteLE32(out + 8, first_cluster);
    platform::WriteLE32(out + 12, end_time);
    platform::WriteLE32(out + 16, end_address);
    platform::WriteLE32(out + 20, last_cluster);
    platform::WriteLE16(out + 24, segment_id);
    out[26] = start_year;
    out[27] = end_year;
}

long long UnixSeconds(BYTE year, DWORD time, bool local) {
    std::tm tm{};
    tm.tm_year = 100 + year;
    tm.tm_mon = Month(time) - 1;
    tm.tm_mday = Day(time);
    tm.tm_hour = Hour(time);
    tm.tm_min = Minute(time);
    tm.tm_sec = Second(time);
    tm.tm_isdst = -1;
    return static_cast<long long>(local ? std::mktime(&tm) : timegm(&tm));
}

} // namespace orma
