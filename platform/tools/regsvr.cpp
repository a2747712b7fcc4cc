// scryde-regsvr MODULE [-u]: loads a plug-in and calls its DllRegisterServer (or DllUnregisterServer).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "platform/hresult.h"
#include "platform/registry.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "-u") != 0)) {
        std::fprintf(stderr, "usage: scryde-regsvr MODULE [-u]\n");
        return 2;
    }
    bool unregister = argc == 3;
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "scryde-regsvr: cannot load %s: %s\n", argv[1], ::dlerror());
        return 1;
    }
    using Fn = HRESULT (*)();
    auto fn = reinterpret_cast<Fn>(::dlsym(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    if (!fn) {
        std::fprintf(stderr, "scryde-regsvr: %s exports no %s\n", argv[1],
                     unregister ? "DllUnregisterServer" : "DllRegisterServer");
        return 1;
    }
    HRESULT hr = fn();
    if (FAILED(hr)) {
        std::fprintf(stderr, "scryde-regsvr: %s failed with 0x%08X (registry %s)\n", argv[1],
                     static_cast<unsigned>(hr), platform::ClassRegistryPath().c_str());
        return 1;
    }
    return 0;
}
