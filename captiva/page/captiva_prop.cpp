#include "captiva_prop.h"

#include <QColorDialog>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstring>
#include <mutex>
#include <vector>

#include "media/interfaces.h"
#include "platform/system.h"

namespace captiva_page {
namespace {

std::mutex g_chooserLock;
FontChooser& Chooser() {
    static FontChooser chooser;
    return chooser;
}

// The font dialog has no colour of its own: the colour is picked right after the font.
bool ChooseWithDialogs(QWidget* parent, LOGFONTA* font, BYTE rgb[3]) {
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, FontFromLogFont(*font), parent, "Font");
    if (!ok)
        return false;
    *font = LogFontFromFont(chosen);
    const QColor colour = QColorDialog::getColor(QColor(rgb[0], rgb[1], rgb[2]), parent, "Color");
    if (colour.isValid()) {
        rgb[0] = static_cast<BYTE>(colour.red());
        rgb[1] = static_cast<BYTE>(colour.green());
        rgb[2] = static_cast<BYTE>(colour.blue());
    }
    return true;
}

struct TypeEntry {
    const char* label;
    int type;
};
constexpr TypeEntry kTypes[] = {
    {"None", kOverlayNone}, {"Static", kOverlayStatic}, {"System Time", kOverlaySystemTime}};

template <class W> W* Named(W* widget, int id) {
    widget->setObjectName(QString::number(id));
    return widget;
}

QString Format(const char* format, double value) {
    return QString::asprintf(format, value);
}
QString Format(const char* format, int value) {
    return QString::asprintf(format, value);
}

} // namespace

void SetFontChooser(FontChooser chooser) {
    std::lock_guard guard(g_chooserLock);
    Chooser() = std::move(chooser);
}

QFont FontFromLogFont(const LOGFONTA& lf) {
    QFont f;
    char face[LF_FACESIZE + 1] = {};
    std::memcpy(face, lf.lfFaceName, LF_FACESIZE);
    if (face[0])
        f.setFamily(QString::fromLatin1(face));
    // A negative height is the characters' height, a positive one the cell's; both are taken as the
    // pixel size, which is what the overlay renders with.
    if (lf.lfHeight != 0)
        f.setPixelSize(lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight);
    f.setWeight(lf.lfWeight > 0 ? static_cast<QFont::Weight>(std::clamp<LONG>(lf.lfWeight, 1, 1000))
                                : QFont::Normal);
    f.setItalic(lf.lfItalic != 0);
    f.setUnderline(lf.lfUnderline != 0);
    f.setStrikeOut(lf.lfStrikeOut != 0);
    return f;
}

LOGFONTA LogFontFromFont(const QFont& f) {
    LOGFONTA lf{};
    int pixels = f.pixelSize();
    if (pixels <= 0 && f.pointSizeF() > 0)
        pixels = static_cast<int>(f.pointSizeF() * 96.0 / 72.0 + 0.5); // at the screen's 96 dots per inch
    lf.lfHeight = -pixels;
    lf.lfWeight = f.weight();
    lf.lfItalic = f.italic();
    lf.lfUnderline = f.underline();
    lf.lfStrikeOut = f.strikeOut();
    lf.lfCharSet = DEFAULT_CHARSET;
    const QByteArray face = f.family().toLatin1();
    std::strncpy(lf.lfFaceName, face.constData(), LF_FACESIZE - 1);
    return lf;
}

int ReadInt(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

double ReadDouble(const QString& text) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    return ok ? value : 0.0;
}

// ---- The page object ---------------------------------------------------------------------------------

CUnknown* CCaptivaProp::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    if (phr)
        *phr = S_OK;
    return new CCaptivaProp(outer);
}

CCaptivaProp::CCaptivaProp(LPUNKNOWN outer) : CUnknown(kCaptivaPageName, outer) {}

CCaptivaProp::~CCaptivaProp() {
    Deactivate();
    OnDisconnect();
    SetPageSite(nullptr);
}

HRESULT CCaptivaProp::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IPropertyPage)
        return GetInterface(static_cast<IPropertyPage*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CCaptivaProp::SetPageSite(IPropertyPageSite* site) {
    if (site)
        site->AddRef();
    if (m_site)
        m_site->Release();
    m_site = site;
    return S_OK;
}

HRESULT CCaptivaProp::SetObjects(ULONG count, IUnknown** objects) {
    OnDisconnect();
    if (count == 0)
        return S_OK;
    if (!objects || !objects[0])
        return E_POINTER;
    return OnConnect(objects[0]);
}

HRESULT CCaptivaProp::OnConnect(IUnknown* object) {
    void* p = nullptr;
    if (FAILED(object->QueryInterface(IID_ICaptiva, &p)) || !p)
        return E_NOINTERFACE;
    m_captiva = static_cast<ICaptiva*>(p);
    return S_OK;
}

void CCaptivaProp::OnDisconnect() {
    if (m_captiva) {
        m_captiva->Release();
        m_captiva = nullptr;
    }
}

HRESULT CCaptivaProp::Activate(HWND parent) {
    if (!m_captiva)
        return E_UNEXPECTED;
    Deactivate();
    BuildControls(static_cast<QWidget*>(parent));
    OnActivate();
    return S_OK;
}

HRESULT CCaptivaProp::Deactivate() {
    delete m_page.data();
    m_page = nullptr;
    return S_OK;
}

HRESULT CCaptivaProp::IsPageDirty() {
    return m_dirty ? S_OK : S_FALSE;
}

HRESULT CCaptivaProp::Apply() {
    if (!m_captiva || !m_page)
        return E_UNEXPECTED;
    OnApplyChanges();
    m_dirty = false;
    if (m_site)
        m_site->OnStatusChange(PROPPAGESTATUS_CLEAN);
    return S_OK;
}

void CCaptivaProp::SetDirty() {
    m_dirty = true;
    if (m_site)
        m_site->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

void CCaptivaProp::BuildControls(QWidget* parent) {
    m_page = new QWidget(parent);
    QWidget* page = m_page;
    auto* top = new QVBoxLayout(page);

    auto* typeGroup = new QGroupBox("Overlay Type", page);
    auto* typeRow = new QHBoxLayout(typeGroup);
    m_type = Named(new QComboBox(typeGroup), IDC_OVERLAY_TYPE);
    m_cover = Named(new QRadioButton("By Cover", typeGroup), IDC_BY_COVER);
    m_reverse = Named(new QRadioButton("By Reverse", typeGroup), IDC_BY_REVERSE);
    typeRow->addWidget(m_type);
    typeRow->addWidget(m_cover);
    typeRow->addWidget(m_reverse);
    top->addWidget(typeGroup);

    auto* textGroup = new QGroupBox("Text Properties", page);
    auto* grid = new QGridLayout(textGroup);
    grid->addWidget(new QLabel("Text", textGroup), 0, 1);
    grid->addWidget(new QLabel("X", textGroup), 0, 2);
    grid->addWidget(new QLabel("Y", textGroup), 0, 3);
    for (int i = 0; i < kPageRows; ++i) {
        grid->addWidget(new QLabel(QString("%1:").arg(i), textGroup), i + 1, 0);
        m_text[i] = Named(new QLineEdit(textGroup), IDC_TEXT0 + i);
        m_x[i] = Named(new QLineEdit(textGroup), IDC_X0 + i);
        m_y[i] = Named(new QLineEdit(textGroup), IDC_Y0 + i);
        grid->addWidget(m_text[i], i + 1, 1);
        grid->addWidget(m_x[i], i + 1, 2);
        grid->addWidget(m_y[i], i + 1, 3);
    }
    auto* colourRow = new QHBoxLayout;
    colourRow->addWidget(new QLabel("Color:", textGroup));
    const int colourIds[3] = {IDC_RED, IDC_GREEN, IDC_BLUE};
    const char* colourLabels[3] = {"R", "G", "B"};
    for (int c = 0; c < 3; ++c) {
        colourRow->addWidget(new QLabel(colourLabels[c], textGroup));
        m_rgb[c] = Named(new QLineEdit(textGroup), colourIds[c]);
        colourRow->addWidget(m_rgb[c]);
    }
    grid->addLayout(colourRow, kPageRows + 1, 0, 1, 4);
    auto* durationRow = new QHBoxLayout;
    durationRow->addWidget(new QLabel("Duration:", textGroup));
    m_start = Named(new QLineEdit(textGroup), IDC_START);
    m_end = Named(new QLineEdit(textGroup), IDC_END);
    durationRow->addWidget(m_start);
    durationRow->addWidget(new QLabel("->", textGroup));
    durationRow->addWidget(m_end);
    auto* font = Named(new QPushButton("Font...", textGroup), IDC_FONT);
    durationRow->addWidget(font);
    grid->addLayout(durationRow, kPageRows + 2, 0, 1, 4);
    top->addWidget(textGroup);

    for (const TypeEntry& t : kTypes)
        m_type->addItem(t.label, t.type);

    // Only what the user does marks the page dirty: textEdited and activated never fire for values
    // the page fills in itself.
    QObject::connect(m_type, &QComboBox::activated, page, [this] { SetDirty(); });
    QObject::connect(m_cover, &QRadioButton::clicked, page, [this] { SetDirty(); });
    QObject::connect(m_reverse, &QRadioButton::clicked, page, [this] { SetDirty(); });
    for (QLineEdit* edit : page->findChildren<QLineEdit*>())
        QObject::connect(edit, &QLineEdit::textEdited, page, [this] { SetDirty(); });
    QObject::connect(font, &QPushButton::clicked, page, [this] { OnFont(); });
}

void CCaptivaProp::OnActivate() {
    int type = 0;
    m_captiva->GetOverlayType(&type);
    const int row = m_type->findData(type);
    m_type->setCurrentIndex(row >= 0 ? row : 0);
    int paint = 0;
    m_captiva->GetDrawMode(&paint);
    (paint ? m_cover : m_reverse)->setChecked(true);
    for (int i = 0; i < kPageRows; ++i) {
        int size = 0;
        m_captiva->GetText(static_cast<UINT>(i), nullptr, &size);
        QString text;
        if (size > 0) {
            std::vector<char> buffer(static_cast<std::size_t>(size) + 1, 0);
            m_captiva->GetText(static_cast<UINT>(i), buffer.data(), &size);
            text = QString::fromLatin1(buffer.data());
        }
        m_text[i]->setText(text);
        int xy[2] = {0, 0};
        m_captiva->GetTextPosition(static_cast<UINT>(i), xy);
        m_x[i]->setText(Format("%d", xy[0]));
        m_y[i]->setText(Format("%d", xy[1]));
    }
    double start = 0, end = 0;
    m_captiva->GetTimeRange(&start, &end);
    m_start->setText(Format("%.2f", start));
    m_end->setText(Format("%.2f", end));
    BYTE rgb[3] = {0, 0, 0};
    m_captiva->GetColor(&rgb[0], &rgb[1], &rgb[2]);
    for (int c = 0; c < 3; ++c)
        m_rgb[c]->setText(Format("%d", int(rgb[c])));
    m_captiva->GetFont(&m_font);
    m_fontChosen = false;
    m_dirty = false;
}

void CCaptivaProp::OnFont() {
    SetDirty();
    BYTE rgb[3];
    for (int c = 0; c < 3; ++c)
        rgb[c] = static_cast<BYTE>(ReadInt(m_rgb[c]->text()));
    LOGFONTA font = m_font;
    FontChooser chooser;
    {
        std::lock_guard guard(g_chooserLock);
        chooser = Chooser();
    }
    const bool chosen = chooser ? chooser(m_page, &font, rgb) : ChooseWithDialogs(m_page, &font, rgb);
    if (!chosen)
        return;
    for (int c = 0; c < 3; ++c)
        m_rgb[c]->setText(Format("%d", int(rgb[c])));
    m_font = font;
    m_fontChosen = true;
}

// The overlay type goes first: a change of type rebuilds the filter's controller with default
// settings, which the rest then overwrites.
void CCaptivaProp::OnApplyChanges() {
    m_captiva->SetOverlayType(m_type->currentData().toInt());
    m_captiva->SetDrawMode(m_cover->isChecked() ? 1 : 0);
    for (int i = 0; i < kPageRows; ++i) {
        QByteArray text = m_text[i]->text().toLatin1();
        if (text.isEmpty()) {
            char empty[1] = {0};
            m_captiva->SetText(static_cast<UINT>(i), empty, 0);
        } else {
            m_captiva->SetText(static_cast<UINT>(i), text.data(), static_cast<int>(text.size()));
        }
        m_captiva->SetTextPosition(static_cast<UINT>(i), ReadInt(m_x[i]->text()), ReadInt(m_y[i]->text()));
    }
    m_captiva->SetTimeRange(ReadDouble(m_start->text()), ReadDouble(m_end->text()));
    // Each component is its edit's low byte: 300 gives 44.
    m_captiva->SetColor(static_cast<BYTE>(ReadInt(m_rgb[0]->text()) & 0xFF),
                        static_cast<BYTE>(ReadInt(m_rgb[1]->text()) & 0xFF),
                        static_cast<BYTE>(ReadInt(m_rgb[2]->text()) & 0xFF));
    if (m_fontChosen)
        m_captiva->SetFont(m_font);
}

// ---- Creating pages and the frame ----------------------------------------------------------------------

HRESULT CreatePropertyPage(REFCLSID clsid, IPropertyPage** page) {
    if (!page)
        return E_POINTER;
    *page = nullptr;
    if (clsid != CLSID_CaptivaPropertyPage)
        return REGDB_E_CLASSNOTREG;
    HRESULT hr = S_OK;
    CUnknown* object = CCaptivaProp::CreateInstance(nullptr, &hr);
    return object->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(page));
}

namespace {

// The frame's site: Apply is enabled while a page is dirty.
class CFrameSite final : public CUnknown, public IPropertyPageSite {
public:
    explicit CFrameSite(QPushButton* apply) : CUnknown("Property frame site", nullptr), m_apply(apply) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IPropertyPageSite)
            return GetInterface(static_cast<IPropertyPageSite*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT OnStatusChange(DWORD flags) override {
        if (m_apply && (flags & PROPPAGESTATUS_DIRTY))
            m_apply->setEnabled(true);
        return S_OK;
    }

private:
    QPointer<QPushButton> m_apply;
};

} // namespace

HRESULT ShowPropertyFrame(IUnknown* object, const char* caption, QWidget* parent) {
    if (!object)
        return E_POINTER;
    void* p = nullptr;
    if (FAILED(object->QueryInterface(IID_ISpecifyPropertyPages, &p)) || !p)
        return E_NOINTERFACE;
    ComPtr<ISpecifyPropertyPages> specify(static_cast<ISpecifyPropertyPages*>(p));
    specify->Release(); // ComPtr took its own reference
    CAUUID ids{0, nullptr};
    HRESULT hr = specify->GetPages(&ids);
    if (FAILED(hr))
        return hr;

    QDialog frame(parent);
    frame.setWindowTitle(QString::fromLatin1(caption ? caption : "Properties"));
    auto* layout = new QVBoxLayout(&frame);
    auto* tabs = new QTabWidget(&frame);
    layout->addWidget(tabs);
    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, &frame);
    layout->addWidget(buttons);
    QPushButton* apply = buttons->button(QDialogButtonBox::Apply);
    apply->setEnabled(false);
    ComPtr<IPropertyPageSite> site(new CFrameSite(apply));

    std::vector<ComPtr<IPropertyPage>> pages;
    for (ULONG i = 0; i < ids.cElems; ++i) {
        IPropertyPage* page = nullptr;
        if (FAILED(CreatePropertyPage(ids.pElems[i], &page)))
            continue;
        ComPtr<IPropertyPage> held(page);
        page->Release();
        IUnknown* objects[1] = {object};
        if (FAILED(held->SetObjects(1, objects)))
            continue;
        held->SetPageSite(site.Get());
        auto* tab = new QWidget(tabs);
        auto* tabLayout = new QVBoxLayout(tab);
        if (FAILED(held->Activate(tab)))
            continue;
        if (auto* prop = dynamic_cast<CCaptivaProp*>(held.Get()))
            tabLayout->addWidget(prop->Page());
        tabs->addTab(tab, QString::fromLatin1(kCaptivaPageName));
        pages.push_back(std::move(held));
    }
    CoTaskMemFree(ids.pElems);

    auto applyAll = [&] {
        for (auto& page : pages)
            if (page->IsPageDirty() == S_OK)
                page->Apply();
        apply->setEnabled(false);
    };
    QObject::connect(apply, &QPushButton::clicked, &frame, applyAll);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &frame, [&] {
        applyAll();
        frame.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, &frame, &QDialog::reject);
    frame.exec();
    for (auto& page : pages) {
        page->Deactivate();
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
    }
    return S_OK;
}

} // namespace captiva_page
