// The interface of the test plug-in, shared by the module and the tests that create it.
#pragma once

#include "platform/com.h"

namespace scrydetest {

// {5C1A2B3D-0000-4E5F-8A9B-0123456789AB}
constexpr CLSID CLSID_TestObject = {
    0x5C1A2B3D, 0x0000, 0x4E5F, {0x8A, 0x9B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};
// {5C1A2B3D-0001-4E5F-8A9B-0123456789AB}
constexpr IID IID_ITestObject = {
    0x5C1A2B3D, 0x0001, 0x4E5F, {0x8A, 0x9B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}};

struct ITestObject : IUnknown {
    virtual int Answer() = 0;
};

} // namespace scrydetest
