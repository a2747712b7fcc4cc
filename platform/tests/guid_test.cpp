#include <gtest/gtest.h>

#include "platform/guid.h"
#include "platform/hresult.h"

namespace {

TEST(Guid, ParsesAndPrintsTheRegistryForm) {
    const char* text = "{9AF7E2D9-5A5C-4A04-991D-9C285B79ECA8}";
    auto g = platform::GuidFromString(text);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->Data1, 0x9AF7E2D9u);
    EXPECT_EQ(g->Data2, 0x5A5C);
    EXPECT_EQ(g->Data3, 0x4A04);
    EXPECT_EQ(g->Data4[0], 0x99);
    EXPECT_EQ(g->Data4[7], 0xA8);
    EXPECT_EQ(platform::GuidToString(*g), text);
    // Lower case and no braces read the same.
    EXPECT_EQ(platform::GuidFromString("9af7e2d9-5a5c-4a04-991d-9c285b79eca8"), g);
}

TEST(Guid, RejectsMalformedText) {
    for (const char* bad :
         {"", "{}", "{9AF7E2D9-5A5C-4A04-991D-9C285B79ECA}", "{9AF7E2D9+5A5C-4A04-991D-9C285B79ECA8}",
          "{9AF7E2D9-5A5C-4A04-991D-9C285B79ECAG}", "9AF7E2D9-5A5C-4A04-991D-9C285B79ECA8}"})
        EXPECT_FALSE(platform::GuidFromString(bad)) << bad;
}

TEST(HResult, CodesHaveTheirWindowsValues) {
    EXPECT_EQ(static_cast<std::uint32_t>(E_PENDING), 0x8000000Au);
    EXPECT_EQ(static_cast<std::uint32_t>(REGDB_E_CLASSNOTREG), 0x80040154u);
    EXPECT_EQ(static_cast<std::uint32_t>(VFW_E_TYPE_NOT_ACCEPTED), 0x8004022Au);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_IO_PENDING)), 0x800703E5u);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_FAIL));
}

} // namespace

#include "platform/com.h"

namespace {

// A counted object that records its reference count.
struct Counted final : IUnknown {
    long refs = 1;
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG Release() override { return static_cast<ULONG>(--refs); }
};

TEST(ComPtr, CopyAndMoveKeepTheCountRight) {
    Counted a, b;
    {
        ComPtr<IUnknown> p(&a), q(&b);
        EXPECT_EQ(a.refs, 2);
        q = p; // b released, a shared
        EXPECT_EQ(b.refs, 1);
        EXPECT_EQ(a.refs, 3);
        ComPtr<IUnknown> r(&b);
        r = std::move(p); // b released, a moved without a count change
        EXPECT_EQ(b.refs, 1);
        EXPECT_EQ(a.refs, 3);
        EXPECT_FALSE(p);
        ComPtr<IUnknown>& alias = r;
        r = std::move(alias); // self-move keeps the pointer
        EXPECT_EQ(r.Get(), &a);
        ComPtr<IUnknown>& same = q;
        q = same;
        EXPECT_EQ(a.refs, 3);
    }
    EXPECT_EQ(a.refs, 1);
}

} // namespace
