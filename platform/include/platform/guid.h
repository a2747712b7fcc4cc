// GUIDs: class, interface, media type and format identifiers, with the "{...}" text form.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
    friend constexpr bool operator<(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1)
            return a.Data1 < b.Data1;
        if (a.Data2 != b.Data2)
            return a.Data2 < b.Data2;
        if (a.Data3 != b.Data3)
            return a.Data3 < b.Data3;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return a.Data4[i] < b.Data4[i];
        return false;
    }
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace platform {

// Parses "{9AF7E2D9-5A5C-4A04-991D-9C285B79ECA8}" (braces optional, either case).
std::optional<GUID> GuidFromString(std::string_view text);
// Prints the registry form: upper case, with braces.
std::string GuidToString(const GUID& g);

// The four-character code GUIDs of media subtypes: {XXXXXXXX-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCGuid(DWORD fourcc) {
    return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

struct GuidHash {
    std::size_t operator()(const GUID& g) const noexcept {
        std::size_t h = g.Data1 ^ (std::size_t(g.Data2) << 32) ^ (std::size_t(g.Data3) << 48);
        for (int i = 0; i < 8; ++i)
            h = h * 1099511628211ull ^ g.Data4[i];
        return h;
    }
};

} // namespace platform

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a == b;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return a == b;
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return a == b;
}
