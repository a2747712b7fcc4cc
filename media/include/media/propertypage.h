// Property pages: the settings page a filter names through ISpecifyPropertyPages, and the site (the
// frame that shows it) it reports to. The methods are declared in the order of their interface slots.
#pragma once

#include "platform/com.h"
#include "platform/guid.h"
#include "platform/types.h"

// {B196B28C-BAB4-101A-B69C-00AA00341D07}
constexpr IID IID_IPropertyPageSite = {
    0xB196B28C, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// {B196B28D-BAB4-101A-B69C-00AA00341D07}
constexpr IID IID_IPropertyPage = {
    0xB196B28D, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// What a page tells its site through OnStatusChange.
constexpr DWORD PROPPAGESTATUS_DIRTY = 0x01;    // the page's values differ from the object's
constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x02; // the page wants its values checked now
constexpr DWORD PROPPAGESTATUS_CLEAN = 0x04;    // nothing left to apply

struct IPropertyPageSite : IUnknown {
    // 3
    virtual HRESULT OnStatusChange(DWORD flags) = 0;

protected:
    ~IPropertyPageSite() = default;
};

struct IPropertyPage : IUnknown {
    // 3: the site the page reports to; null when the frame lets the page go.
    virtual HRESULT SetPageSite(IPropertyPageSite* site) = 0;
    // 4: builds the page's controls as a child of `parent` (a window of the frame) and fills them
    // from the objects.
    virtual HRESULT Activate(HWND parent) = 0;
    // 5: destroys the controls.
    virtual HRESULT Deactivate() = 0;
    // 6: the objects the page edits; a count of 0 disconnects it from them.
    virtual HRESULT SetObjects(ULONG count, IUnknown** objects) = 0;
    // 7: S_OK when there is something to apply, S_FALSE when not.
    virtual HRESULT IsPageDirty() = 0;
    // 8: writes the page's values into the objects.
    virtual HRESULT Apply() = 0;

protected:
    ~IPropertyPage() = default;
};
