// What a plug-in module exports: one factory table keyed by class id, turned into DllGetClassObject,
// DllCanUnloadNow, DllRegisterServer and DllUnregisterServer by SCRYDE_DEFINE_MODULE_EXPORTS.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"

namespace platform {

using CreateInstanceFn = CUnknown* (*)(LPUNKNOWN outer, HRESULT* phr);

struct CFactoryTemplate {
    const char* m_Name;
    const CLSID* m_ClsID;
    CreateInstanceFn m_lpfnNew;
    DWORD m_dwMerit = 0;
    const GUID* m_pCategory = nullptr;
    std::vector<std::string> m_Pins; // pin descriptions written into the registry
};

HRESULT ModuleGetClassObject(const CFactoryTemplate* templates, int count, REFCLSID clsid, REFIID riid,
                             void** ppv);
HRESULT ModuleCanUnloadNow();
// Writes (or removes) every class of the table, naming the module that holds `addressInModule`.
HRESULT ModuleRegister(const CFactoryTemplate* templates, int count, const void* addressInModule, bool add);

} // namespace platform

#define SCRYDE_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

#define SCRYDE_DEFINE_MODULE_EXPORTS(templates, count)                                                       \
    SCRYDE_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {                \
        return platform::ModuleGetClassObject(templates, count, clsid, riid, ppv);                           \
    }                                                                                                        \
    SCRYDE_MODULE_EXPORT HRESULT DllCanUnloadNow() {                                                         \
        return platform::ModuleCanUnloadNow();                                                               \
    }                                                                                                        \
    SCRYDE_MODULE_EXPORT HRESULT DllRegisterServer() {                                                       \
        return platform::ModuleRegister(templates, count, reinterpret_cast<const void*>(&DllCanUnloadNow),   \
                                        true);                                                               \
    }                                                                                                        \
    SCRYDE_MODULE_EXPORT HRESULT DllUnregisterServer() {                                                     \
        return platform::ModuleRegister(templates, count, reinterpret_cast<const void*>(&DllCanUnloadNow),   \
                                        false);                                                              \
    }
