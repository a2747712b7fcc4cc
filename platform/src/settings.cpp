#include "platform/settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform {

namespace {

std::string ConfigHome() {
    if (const char* env = std::getenv("XDG_CONFIG_HOME"); env && *env)
        return env;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config";
}

void MakeParents(const std::string& path) {
    for (std::size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0755);
}

} // namespace

SettingsStore::SettingsStore(const std::string& subKey) {
    std::string rel = subKey;
    for (char& c : rel)
        if (c == '\\')
            c = '/';
    if (strncasecmp(rel.c_str(), "software/", 9) == 0)
        rel = rel.substr(9);
    m_path = ConfigHome() + "/" + rel + ".conf";
}

bool SettingsStore::Exists() const {
    struct stat st {};
    return ::stat(m_path.c_str(), &st) == 0;
}

std::map<std::string, DWORD> SettingsStore::Load() const {
    std::map<std::string, DWORD> values;
    std::ifstream in(m_path);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#')
            continue;
        char* end = nullptr;
        unsigned long v = std::strtoul(line.c_str() + eq + 1, &end, 0);
        if (end != line.c_str() + eq + 1)
            values[line.substr(0, eq)] = static_cast<DWORD>(v);
    }
    return values;
}

std::optional<DWORD> SettingsStore::GetDword(const std::string& name) const {
    auto values = Load();
    auto it = values.find(name);
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

bool SettingsStore::SetDword(const std::string& name, DWORD value) {
    MakeParents(m_path);
    auto values = Load();
    values[name] = value;
    std::string tmp = m_path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto& [k, v] : values)
            out << k << '=' << v << '\n';
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), m_path.c_str()) == 0;
}

} // namespace platform

using platform::SettingsStore;

namespace {
constexpr LONG kRegOk = 0;
constexpr LONG kRegNotFound = 2;
constexpr LONG kRegInvalid = 87;
constexpr LONG kRegMoreData = 234;
} // namespace

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD, DWORD, void*, HKEY* result,
                     LPDWORD disposition) {
    if (root != HKEY_CURRENT_USER || !subKey || !result)
        return kRegInvalid;
    auto* store = new SettingsStore(subKey);
    if (disposition)
        *disposition = store->Exists() ? 2 : 1; // REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY
    *result = store;
    return kRegOk;
}

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, DWORD, HKEY* result) {
    if (root != HKEY_CURRENT_USER || !subKey || !result)
        return kRegInvalid;
    auto store = std::make_unique<SettingsStore>(subKey);
    if (!store->Exists())
        return kRegNotFound;
    *result = store.release();
    return kRegOk;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (!key || !name)
        return kRegInvalid;
    auto value = static_cast<SettingsStore*>(key)->GetDword(name);
    if (!value)
        return kRegNotFound;
    if (type)
        *type = REG_DWORD;
    if (data) {
        if (!size || *size < 4) {
            if (size)
                *size = 4;
            return kRegMoreData;
        }
        std::memcpy(data, &*value, 4);
    }
    if (size)
        *size = 4;
    return kRegOk;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (!key || !name || type != REG_DWORD || !data || size < 4)
        return kRegInvalid;
    DWORD v;
    std::memcpy(&v, data, 4);
    return static_cast<SettingsStore*>(key)->SetDword(name, v) ? kRegOk : 5;
}

LONG RegCloseKey(HKEY key) {
    delete static_cast<SettingsStore*>(key);
    return kRegOk;
}
