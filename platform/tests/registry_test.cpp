#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/registry.h"

#include "test_object.h"

namespace {

using namespace scrydetest;

TEST(Registry, BuildRegisteredPluginIsCreatedByClassId) {
    auto entry = platform::LookupClass(CLSID_TestObject);
    ASSERT_TRUE(entry) << "registry " << platform::ClassRegistryPath();
    EXPECT_EQ(entry->name, "Scryde Test Object");
    EXPECT_EQ(entry->merit, 0x00200000u);
    ASSERT_EQ(entry->pins.size(), 1u);

    ComPtr<ITestObject> obj;
    ASSERT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                               obj.ReleaseAndGetVoidAddress()),
              S_OK);
    EXPECT_EQ(obj->Answer(), 42);
    // The object answers IUnknown and refuses what it does not implement.
    ComPtr<IUnknown> unk;
    EXPECT_EQ(obj.As(IID_IUnknown, unk), S_OK);
    ComPtr<IClassFactory> none;
    EXPECT_EQ(obj.As(IID_IClassFactory, none), E_NOINTERFACE);
    EXPECT_FALSE(none);
}

TEST(Registry, UnregisteredClassIsReported) {
    const CLSID unknown = {0x76164178, 0xDA73, 0x476D, {0xAB, 0x9F, 0x52, 0xC2, 0x16, 0xF6, 0x84, 0x49}};
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
}

TEST(Registry, EntriesSurviveRewriteAndRemoval) {
    std::string path = ::testing::TempDir() + "classes_" + std::to_string(::getpid()) + ".reg";
    std::string old = platform::ClassRegistryPath();
    ::setenv("SCRYDE_CLASSES", path.c_str(), 1);
    platform::ClassEntry a;
    a.clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    a.name = "A";
    a.module = "/nowhere/libA.so";
    a.merit = 0x600000;
    a.category = GUID{9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
    a.pins = {"In;input", "Out;output"};
    platform::ClassEntry b = a;
    b.clsid.Data1 = 2;
    b.name = "B";
    b.category.reset();
    ASSERT_EQ(platform::RegisterClassEntry(a), S_OK);
    ASSERT_EQ(platform::RegisterClassEntry(b), S_OK);
    a.name = "A2";
    ASSERT_EQ(platform::RegisterClassEntry(a), S_OK);  // replaces, does not duplicate
    auto all = platform::EnumerateClasses();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "A2");
    EXPECT_EQ(all[0].pins, a.pins);
    GUID cat = *a.category;
    EXPECT_EQ(platform::EnumerateClasses(&cat).size(), 1u);
    // A class whose module cannot be loaded fails without crashing.
    void* p = nullptr;
    EXPECT_TRUE(FAILED(CoCreateInstance(a.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p)));
    ASSERT_EQ(platform::UnregisterClassEntry(a.clsid), S_OK);
    EXPECT_FALSE(platform::LookupClass(a.clsid));
    EXPECT_TRUE(platform::LookupClass(b.clsid));
    ::setenv("SCRYDE_CLASSES", old.c_str(), 1);
    ::unlink(path.c_str());
}

}  // namespace
