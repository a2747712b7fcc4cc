#include "reader/tables.h"

#include <cstdio>
#include <cstring>

#include "orma/layout.h"
#include "platform/bytes.h"
#include "tav/layout.h"

namespace reader {

const std::array<SpeedEntry, kSpeedCount> kSpeeds = {{
    {"0x", 0},
    {"0.10x", 100},
    {"0.25x", 250},
    {"0.5x", 500},
    {"1x", 1000},
    {"2x", 2000},
    {"4x", 4000},
    {"8x", 8000},
    {"16x", 16000},
}};

UINT ModelCode(int index) {
    static constexpr UINT kCodes[] = {102, 101, 0, 8, 1, 7, 3, 14, 16, 4, 5, 6, 2, 9, 10, 11, 12, 13};
    if (index < 0 || index >= static_cast<int>(std::size(kCodes)))
        return 0;
    return kCodes[index];
}

const char* ModelName(int index) {
    static constexpr const char* kNames[kModelEntries] = {
        "4/9/16-channel recorder (F)",    "4-channel recorder (H)",     "1-channel recorder",
        "1-channel, 4-way mux (B)",       "1-channel, 4/8-way mux (C)", "1-channel, mux make A",
        "1-channel, mux make M",          "1-channel, mux make C",      "1-channel, mux make L",
        "MPEG-4 4/8/16-channel recorder",
    };
    return index >= 0 && index < kModelEntries ? kNames[index] : "";
}

int BoxesInLayout(int mode) {
    static constexpr int kCounts[kLayouts] = {1, 4, 9, 16};
    return mode >= 0 && mode < kLayouts ? kCounts[mode] : 0;
}

int BoxIndex(int mode, int k) {
    int index = 0;
    for (int m = 0; m < mode; ++m)
        index += BoxesInLayout(m);
    return index + k;
}

BoxGeometry LayoutBox(int mode, int k) {
    switch (mode) {
    case 0:
        return {5, 5, 696, 468, 720, 480};
    case 1:
        return {5 + 348 * (k % 2), 5 + 234 * (k / 2), 348, 234, 360, 240};
    case 2:
        return {5 + 232 * (k % 3), 5 + 156 * (k / 3), 232, 156, 240, 160};
    default:
        return {5 + 174 * (k % 4), 5 + 117 * (k / 4), 174, 117, 180, 120};
    }
}

Placement PlacePicture(UINT modelCode, int W, int H, int w, int h) {
    const LONG dw = W - w, dh = H - h;
    switch (modelCode) {
    case 0:
    case 101:
    case 102:
        return {dw, 2 * dh / 3, w, h};
    case 1:
        return {21 * dw / 10, 8 * dh / 3, 105 * w / 100, 106 * h / 100};
    case 3:
        return {11 * dw / 10, 8 * dh / 3, 102 * w / 100, 107 * h / 100};
    case 7:
        return {12 * dw / 10, 7 * dh / 3, 101 * w / 100, 104 * h / 100};
    case 8:
        return {3 * dw / 2, 2 * H - 2 * h, 107 * w / 100, 105 * h / 100};
    case 14:
        return {2 * dw, 5 * dh, 105 * w / 100, 110 * h / 100};
    default:
        return {11 * dw / 10, 8 * dh / 3, 101 * w / 100, 105 * h / 100};
    }
}

namespace {

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar (civil-from-days inverse).
long long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

bool IsValidSearchTime(const SearchFields& f) {
    if (f.year < 2000 || f.year > 2254 || f.month < 1 || f.month > 12)
        return false;
    if (f.day < 1 || f.day > DaysInMonth(f.year, f.month))
        return false;
    return f.hour >= 0 && f.hour <= 23 && f.minute >= 0 && f.minute <= 59 && f.second >= 0 && f.second <= 59;
}

DWORD UtcSeconds(const SearchFields& f) {
    const long long days = DaysFromCivil(f.year, f.month, f.day);
    const long long s = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
    return static_cast<DWORD>(static_cast<unsigned long long>(s));
}

SearchFields SplitUtc(DWORD seconds) {
    long long days = seconds / 86400;
    const long long rest = seconds % 86400;
    // civil-from-days
    days += 719468;
    const long long era = days / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    SearchFields f;
    f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    f.year = static_cast<int>(yoe + era * 400 + (f.month <= 2));
    f.hour = static_cast<int>(rest / 3600);
    f.minute = static_cast<int>(rest / 60 % 60);
    f.second = static_cast<int>(rest % 60);
    return f;
}

BYTE OrmaYearByte(const SearchFields& f) {
    return static_cast<BYTE>(f.year - 2000);
}

DWORD OrmaSearchWord(const SearchFields& f) {
    return static_cast<DWORD>(f.month) << 28 | static_cast<DWORD>(f.day) << 23 |
           static_cast<DWORD>(f.hour) << 18 | static_cast<DWORD>(f.minute) << 12 |
           static_cast<DWORD>(f.second) << 6 | (OrmaYearByte(f) & 0x3Fu);
}

SearchFields SplitOrma(BYTE year, DWORD packed) {
    return {2000 + year,        orma::Month(packed),  orma::Day(packed),
            orma::Hour(packed), orma::Minute(packed), orma::Second(packed)};
}

std::string FormatUtcTime(DWORD seconds) {
    return tav::FormatTime(seconds);
}

std::string FormatOrmaTime(BYTE year, DWORD packed) {
    return orma::FormatTime(year, packed);
}

std::string ZoneSuffix(BYTE zone) {
    static constexpr int kMinuteDigits[4][2] = {{0, 0}, {1, 5}, {3, 0}, {4, 5}};
    const int* m = kMinuteDigits[(zone >> 4) & 3];
    char text[32];
    std::snprintf(text, sizeof text, (zone & 0x40) ? " +%d:%d%d" : " -%d:%d%d", zone & 0x0F, m[0], m[1]);
    return std::string("  GMT") + text;
}

const char* const kOpenFileFilter =
    "TAV disk image (*.tav) |*.tav| \t\t\t\t\t\t\t\t\t\t\t\tORMA disk image (*.orm) |*.orm| "
    "\t\t\t\t\t\t\t\t\t\t\t\tCorvel disk image (*.avr) |*.avr| \t\t\t\t\t\t\t\t\t\t\t\tArchive files (*.arv) "
    "|*.arv|";

FileKind ClassifyFile(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        ext = path.substr(dot + 1);
    if (ext == "tav")
        return {8, 9, 0};
    if (ext == "arv")
        return {8, 10, 0};
    if (ext == "avr")
        return {16, 17, 0};
    if (ext == "m4k")
        return {24, 25, -1};
    return {0, 0, 0};
}

std::optional<SourceDescriptor> MakeDescriptor(DWORD gigabytes, BYTE drive, BYTE kindOrCode,
                                               const std::string& path) {
    if (path.size() >= kDescriptorPathBytes)
        return std::nullopt;
    SourceDescriptor d{};
    platform::WriteLE32(d.data(), gigabytes);
    d[4] = drive;
    d[5] = kindOrCode;
    std::memcpy(d.data() + 12, path.data(), path.size());
    return d;
}

} // namespace reader
