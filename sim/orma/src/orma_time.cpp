// Recorder time stamps and calendar arithmetic (proleptic Gregorian, no time zone).
#include <cstdio>

#include "sim_orma/orma_sim.h"

namespace simorma {
namespace {

// Days from 1970-01-01 to the civil date (the well-known era-based conversion).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2));
}

const std::int64_t kDays2000 = DaysFromCivil(2000, 1, 1);

} // namespace

std::uint32_t PackTime(int month, int day, int hour, int minute, int second) {
    return std::uint32_t(month & 0xF) << 28 | std::uint32_t(day & 0x1F) << 23 |
           std::uint32_t(hour & 0x1F) << 18 | std::uint32_t(minute & 0x3F) << 12 |
           std::uint32_t(second & 0x3F) << 6;
}

std::int64_t SecondsOf(int year, int month, int day, int hour, int minute, int second) {
    return (DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDays2000) *
               86400 +
           hour * 3600 + minute * 60 + second;
}

Stamp StampAt(std::int64_t s) {
    std::int64_t days = s / 86400;
    std::int64_t rest = s % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int y = 0, m = 0, d = 0;
    CivilFromDays(days + kDays2000, &y, &m, &d);
    Stamp out;
    out.year = static_cast<std::uint8_t>(y - 2000);
    out.packed = PackTime(m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                          static_cast<int>(rest % 60));
    return out;
}

std::string FormatStamp(const Stamp& s) {
    char text[40];
    std::snprintf(text, sizeof text, "20%02d/%02d/%02d %02d:%02d:%02d", s.year, s.packed >> 28,
                  (s.packed >> 23) & 0x1F, (s.packed >> 18) & 0x1F, (s.packed >> 12) & 0x3F,
                  (s.packed >> 6) & 0x3F);
    return text;
}

std::uint32_t RecorderClusterSectors(std::uint64_t t) {
    std::uint32_t k = t <= 0x09FFFFFF ? 1 : t < 0x14000000 ? 2 : t <= 0x1DFFFFFF ? 3 : 4;
    for (std::uint64_t step : {0x28000000ull, 0x32000000ull, 0x3C000000ull, 0x46000000ull, 0x50000000ull})
        if (t >= step)
            ++k;
    return k * 65536;
}

} // namespace simorma
