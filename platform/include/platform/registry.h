// The class registry that stands in for COM registration, and CoCreateInstance over it.
//
// The registry is a text file ($SCRYDE_CLASSES, else "classes.reg" beside the executables, else, in an
// installed tree, the one in the private library folder beside the plug-ins). Each class is one block:
//
//   [{9AF7E2D9-5A5C-4A04-991D-9C285B79ECA8}]
//   name=Veltrix GLM500 Filter
//   module=/abs/path/libOrmaDisk.so   (or a path relative to the registry's folder)
//   merit=0x00600000
//   category={...}            (optional)
//   pin=Audio Out;output;...  (any number)
//   key=value                 (anything else a module wants kept)
//
// Writers take an exclusive lock on the file so that plug-ins built in parallel register safely.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/com.h"

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC = 0x3;
constexpr DWORD CLSCTX_ALL = 0x17;

namespace platform {

struct ClassEntry {
    CLSID clsid = GUID_NULL;
    std::string name;
    std::string module; // path of the shared library (made absolute on reading); empty for in-process
                        // factories
    DWORD merit = 0;
    std::optional<GUID> category;
    std::vector<std::string> pins;
    std::map<std::string, std::string> extra;
};

std::string ClassRegistryPath();

HRESULT RegisterClassEntry(const ClassEntry& entry);
HRESULT UnregisterClassEntry(REFCLSID clsid);
std::optional<ClassEntry> LookupClass(REFCLSID clsid);
// Every registered class, in registry order; with a category, only the classes of that category.
std::vector<ClassEntry> EnumerateClasses(const GUID* category = nullptr);

// Factories linked into the running program (no module to load). They take precedence over the file.
using InstanceCreator = std::function<HRESULT(IUnknown* outer, REFIID riid, void** ppv)>;
void RegisterInProcessClass(REFCLSID clsid, InstanceCreator create);
void UnregisterInProcessClass(REFCLSID clsid);

// Path of the shared object (or program) holding `address`.
std::string ModulePathOf(const void* address);
// Folder of the running program, with a trailing '/'.
std::string ProgramDirectory();

} // namespace platform

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** ppv);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
