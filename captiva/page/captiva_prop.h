// CCaptivaProp: the text overlay property page ("Text Overlay Property Page"). It edits the filter's
// settings through ICaptiva and keeps nothing of its own beyond the font chosen with "Font...".
// The controls are Qt widgets built as a child of the frame's window on Activate.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

#include "captiva/icaptiva.h"
#include "captiva_prop_controls.h"
#include "media/propertypage.h"

class QComboBox;
class QLineEdit;
class QRadioButton;

namespace captiva_page {

constexpr const char* kCaptivaPageName = "Text Overlay Property Page";

// "Font...": asks for a font and a colour, starting from `font` and `rgb`; true when a font was
// chosen (then `font` and `rgb` hold the choice). Tests install their own.
using FontChooser = std::function<bool(QWidget* parent, LOGFONTA* font, BYTE rgb[3])>;
void SetFontChooser(FontChooser chooser);

// LOGFONTA and QFont, each way: face, height in pixels, weight, italic, underline, strike-out.
QFont FontFromLogFont(const LOGFONTA& font);
LOGFONTA LogFontFromFont(const QFont& font);

// The edits read as the page reads them: integers (anything that is not one reads as 0) and
// decimal numbers (the same).
int ReadInt(const QString& text);
double ReadDouble(const QString& text);

class CCaptivaProp : public CUnknown, public IPropertyPage {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
    explicit CCaptivaProp(LPUNKNOWN outer);
    ~CCaptivaProp() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPropertyPage. Activate takes the frame's QWidget* as its window.
    HRESULT SetPageSite(IPropertyPageSite* site) override;
    HRESULT Activate(HWND parent) override;
    HRESULT Deactivate() override;
    HRESULT SetObjects(ULONG count, IUnknown** objects) override;
    HRESULT IsPageDirty() override;
    HRESULT Apply() override;

    // The page's controls while active.
    QWidget* Page() const { return m_page; }

private:
    HRESULT OnConnect(IUnknown* object);
    void OnDisconnect();
    void BuildControls(QWidget* parent);
    void OnActivate();
    void OnApplyChanges();
    void SetDirty();
    void OnFont();

    ICaptiva* m_captiva = nullptr; // held with a reference between connect and disconnect
    IPropertyPageSite* m_site = nullptr;
    QPointer<QWidget> m_page;
    QComboBox* m_type = nullptr;
    QRadioButton* m_cover = nullptr;
    QRadioButton* m_reverse = nullptr;
    QLineEdit* m_text[kPageRows] = {};
    QLineEdit* m_x[kPageRows] = {};
    QLineEdit* m_y[kPageRows] = {};
    QLineEdit* m_rgb[3] = {};
    QLineEdit* m_start = nullptr;
    QLineEdit* m_end = nullptr;
    LOGFONTA m_font{};
    bool m_fontChosen = false;
    bool m_dirty = false;
};

// The page for a class id a filter names through ISpecifyPropertyPages; E_FAIL (REGDB_E_CLASSNOTREG)
// for any other.
HRESULT CreatePropertyPage(REFCLSID clsid, IPropertyPage** page);

// A frame for the pages of `object`: its ISpecifyPropertyPages list, each page on a tab, with OK,
// Cancel and Apply. Returns when the frame is closed; OK applies every dirty page.
HRESULT ShowPropertyFrame(IUnknown* object, const char* caption, QWidget* parent);

} // namespace captiva_page
