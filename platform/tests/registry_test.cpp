#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "testsupport/temp.h"

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
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
}

TEST(Registry, EntriesSurviveRewriteAndRemoval) {
    std::string path = testsupport::TempPath("classes", ".reg");
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
    ASSERT_EQ(platform::RegisterClassEntry(a), S_OK); // replaces, does not duplicate
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

// An installed registry names its modules relative to its own folder; a moved tree keeps working.
TEST(Registry, RelativeModuleIsFoundBesideTheRegistry) {
    namespace fs = std::filesystem;
    auto built = platform::LookupClass(CLSID_TestObject);
    ASSERT_TRUE(built);
    const fs::path folder = testsupport::TempPath("installed");
    fs::create_directories(folder);
    fs::copy_file(built->module, folder / "libScrydeTestPlugin.so", fs::copy_options::overwrite_existing);
    const std::string text = "[" + platform::GuidToString(CLSID_TestObject) +
                             "]\nname=Scryde Test Object\nmodule=libScrydeTestPlugin.so\nmerit=0x00200000\n\n"
                             "[{76164178-DA73-476D-AB9F-52C216F68449}]\nname=Gone\nmodule=libGone.so\n";
    std::ofstream(folder / "classes.reg") << text;
    std::string old = platform::ClassRegistryPath();
    ::setenv("SCRYDE_CLASSES", (folder / "classes.reg").c_str(), 1);

    auto entry = platform::LookupClass(CLSID_TestObject);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->module, (folder / "libScrydeTestPlugin.so").string());
    ComPtr<ITestObject> obj;
    EXPECT_EQ(CoCreateInstance(CLSID_TestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                               obj.ReleaseAndGetVoidAddress()),
              S_OK);
    // A relative module that is not there fails like any module that cannot be loaded.
    const CLSID gone = {0x76164178, 0xDA73, 0x476D, {0xAB, 0x9F, 0x52, 0xC2, 0x16, 0xF6, 0x84, 0x49}};
    void* p = nullptr;
    EXPECT_TRUE(FAILED(CoCreateInstance(gone, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p)));
    ::setenv("SCRYDE_CLASSES", old.c_str(), 1);
    obj.Reset();
    fs::remove_all(folder);
}

} // namespace
