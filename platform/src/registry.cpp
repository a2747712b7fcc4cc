#include "platform/registry.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "platform/system.h"

namespace platform {

namespace {

std::mutex g_lock; // guards the in-process table and the loaded-module cache
std::unordered_map<GUID, InstanceCreator, GuidHash>& InProcess() {
    static std::unordered_map<GUID, InstanceCreator, GuidHash> table;
    return table;
}
std::unordered_map<std::string, void*>& LoadedModules() {
    static std::unordered_map<std::string, void*> modules;
    return modules;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<ClassEntry> Parse(const std::string& text) {
    std::vector<ClassEntry> out;
    std::istringstream in(text);
    std::string line;
    ClassEntry* cur = nullptr;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            auto g = GuidFromString(line.substr(1, line.size() - 2));
            if (!g) {
                cur = nullptr;
                continue;
            }
            out.push_back(ClassEntry{});
            cur = &out.back();
            cur->clsid = *g;
            continue;
        }
        if (!cur)
            continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "name")
            cur->name = value;
        else if (key == "module")
            cur->module = value;
        else if (key == "merit")
            cur->merit = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0));
        else if (key == "category")
            cur->category = GuidFromString(value);
        else if (key == "pin")
            cur->pins.push_back(value);
        else
            cur->extra[key] = value;
    }
    return out;
}

std::string Format(const std::vector<ClassEntry>& entries) {
    std::ostringstream out;
    out << "# Scryde class registry: written by plug-in registration, read by CoCreateInstance.\n";
    for (const ClassEntry& e : entries) {
        char merit[16];
        std::snprintf(merit, sizeof merit, "0x%08X", e.merit);
        out << '[' << GuidToString(e.clsid) << "]\n";
        out << "name=" << e.name << '\n';
        if (!e.module.empty())
            out << "module=" << e.module << '\n';
        out << "merit=" << merit << '\n';
        if (e.category)
            out << "category=" << GuidToString(*e.category) << '\n';
        for (const std::string& p : e.pins)
            out << "pin=" << p << '\n';
        for (const auto& [k, v] : e.extra)
            out << k << '=' << v << '\n';
        out << '\n';
    }
    return out.str();
}

// The registry file opened and locked for the life of the object.
class LockedRegistry {
public:
    explicit LockedRegistry(bool write) {
        std::string path = ClassRegistryPath();
        const std::size_t slash = path.find_last_of('/');
        m_folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
        m_fd = ::open(path.c_str(), write ? (O_RDWR | O_CREAT | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC), 0644);
        if (m_fd >= 0)
            ::flock(m_fd, write ? LOCK_EX : LOCK_SH);
    }
    ~LockedRegistry() {
        if (m_fd >= 0) {
            ::flock(m_fd, LOCK_UN);
            ::close(m_fd);
        }
    }
    bool Ok() const { return m_fd >= 0; }
    std::vector<ClassEntry> Read() const {
        std::string text;
        char buf[4096];
        ::lseek(m_fd, 0, SEEK_SET);
        for (;;) {
            ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        std::vector<ClassEntry> entries = Parse(text);
        // An installed registry names its modules relative to its own folder, so the installed tree
        // can live under any prefix (and be packaged from a staging folder).
        for (ClassEntry& e : entries)
            if (!e.module.empty() && e.module.front() != '/')
                e.module = m_folder + e.module;
        return entries;
    }
    bool Write(const std::vector<ClassEntry>& entries) const {
        std::string text = Format(entries);
        if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
            return false;
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    std::string m_folder; // the registry's folder, with its trailing '/'
};

} // namespace

std::string ProgramDirectory() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/') + 1);
}

std::string ModulePathOf(const void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) && info.dli_fname) {
        char resolved[4096];
        if (::realpath(info.dli_fname, resolved))
            return resolved;
        return info.dli_fname;
    }
    return {};
}

std::string ClassRegistryPath() {
    const char* env = std::getenv("SCRYDE_CLASSES");
    if (env && *env)
        return env;
    std::string beside = ProgramDirectory() + "classes.reg";
#ifdef SCRYDE_INSTALLED_CLASSES
    // An installed program keeps its plug-ins and their registry in the private library folder,
    // SCRYDE_INSTALLED_CLASSES being that registry's path relative to the programs' folder.
    if (::access(beside.c_str(), F_OK) != 0) {
        std::string installed = ProgramDirectory() + SCRYDE_INSTALLED_CLASSES;
        if (::access(installed.c_str(), F_OK) == 0)
            return installed;
    }
#endif
    return beside;
}

HRESULT RegisterClassEntry(const ClassEntry& entry) {
    LockedRegistry reg(true);
    if (!reg.Ok())
        return HRESULT_FROM_WIN32(Win32ErrorFromErrno(errno));
    std::vector<ClassEntry> entries = reg.Read();
    bool replaced = false;
    for (ClassEntry& e : entries) {
        if (e.clsid == entry.clsid) {
            e = entry;
            replaced = true;
        }
    }
    if (!replaced)
        entries.push_back(entry);
    return reg.Write(entries) ? S_OK : E_FAIL;
}

HRESULT UnregisterClassEntry(REFCLSID clsid) {
    LockedRegistry reg(true);
    if (!reg.Ok())
        return HRESULT_FROM_WIN32(Win32ErrorFromErrno(errno));
    std::vector<ClassEntry> entries = reg.Read();
    std::erase_if(entries, [&](const ClassEntry& e) { return e.clsid == clsid; });
    return reg.Write(entries) ? S_OK : E_FAIL;
}

std::optional<ClassEntry> LookupClass(REFCLSID clsid) {
    LockedRegistry reg(false);
    if (!reg.Ok())
        return std::nullopt;
    for (ClassEntry& e : reg.Read())
        if (e.clsid == clsid)
            return e;
    return std::nullopt;
}

std::vector<ClassEntry> EnumerateClasses(const GUID* category) {
    LockedRegistry reg(false);
    if (!reg.Ok())
        return {};
    std::vector<ClassEntry> all = reg.Read();
    if (category)
        std::erase_if(all, [&](const ClassEntry& e) { return !e.category || *e.category != *category; });
    return all;
}

void RegisterInProcessClass(REFCLSID clsid, InstanceCreator create) {
    std::lock_guard lock(g_lock);
    InProcess()[clsid] = std::move(create);
}

void UnregisterInProcessClass(REFCLSID clsid) {
    std::lock_guard lock(g_lock);
    InProcess().erase(clsid);
}

} // namespace platform

using namespace platform;

HRESULT CoInitialize(void*) {
    return S_OK;
}
void CoUninitialize() {}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD /*context*/, void* /*reserved*/, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    std::optional<ClassEntry> entry = LookupClass(clsid);
    if (!entry || entry->module.empty())
        return REGDB_E_CLASSNOTREG;
    void* module = nullptr;
    {
        std::lock_guard lock(g_lock);
        auto& loaded = LoadedModules();
        auto it = loaded.find(entry->module);
        if (it != loaded.end()) {
            module = it->second;
        } else {
            // Modules stay loaded for the life of the process: objects and threads they made may
            // outlive any one caller's reference.
            module = ::dlopen(entry->module.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!module) {
                const char* why = ::dlerror();
                OutputDebugStringA((std::string("CoGetClassObject: cannot load ") + entry->module + ": " +
                                    (why ? why : "unknown reason") + "\n")
                                       .c_str());
                return HRESULT_FROM_WIN32(126); // ERROR_MOD_NOT_FOUND
            }
            loaded[entry->module] = module;
        }
    }
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    auto fn = reinterpret_cast<GetClassObjectFn>(::dlsym(module, "DllGetClassObject"));
    if (!fn)
        return HRESULT_FROM_WIN32(127); // ERROR_PROC_NOT_FOUND
    return fn(clsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    InstanceCreator create;
    {
        std::lock_guard lock(g_lock);
        auto it = InProcess().find(clsid);
        if (it != InProcess().end())
            create = it->second;
    }
    if (create)
        return create(outer, riid, ppv);
    IClassFactory* factory = nullptr;
    HRESULT hr =
        CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}
