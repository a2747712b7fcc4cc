// The settings store that stands in for the registry: HKEY_CURRENT_USER "software\Maker\Product" is the
// file $XDG_CONFIG_HOME/Maker/Product.conf (else ~/.config/...), one "name=value" line per REG_DWORD.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/hresult.h"

using HKEY = void*;
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
constexpr DWORD REG_DWORD = 4;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, DWORD sam,
                     void* security, HKEY* result, LPDWORD disposition);
LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, DWORD sam, HKEY* result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegCloseKey(HKEY key);

namespace platform {

class SettingsStore {
public:
    // `subKey` in registry form, for example "software\Veltrix\GLM500".
    explicit SettingsStore(const std::string& subKey);
    const std::string& Path() const { return m_path; }
    bool Exists() const;
    std::optional<DWORD> GetDword(const std::string& name) const;
    bool SetDword(const std::string& name, DWORD value);

private:
    std::map<std::string, DWORD> Load() const;
    std::string m_path;
};

} // namespace platform
