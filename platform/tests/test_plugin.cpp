// A plug-in module used only by the tests: one class, created by class id through the registry.
#include "platform/module.h"
#include "test_object.h"

namespace {

using namespace scrydetest;

class CTestObject final : public CUnknown, public ITestObject {
public:
    explicit CTestObject(LPUNKNOWN outer) : CUnknown("Test object", outer) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_ITestObject)
            return GetInterface(static_cast<ITestObject*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int Answer() override { return 42; }

    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
        *phr = S_OK;
        return new CTestObject(outer);
    }
};

const platform::CFactoryTemplate g_Templates[] = {
    {"Scryde Test Object",
     &CLSID_TestObject,
     &CTestObject::CreateInstance,
     0x00200000,
     nullptr,
     {"Out;output;video"}},
};

} // namespace

SCRYDE_DEFINE_MODULE_EXPORTS(g_Templates, 1)
