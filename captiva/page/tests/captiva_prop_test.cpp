// The text overlay property page off-screen: what it shows of the filter, the order in which Apply
// hands every control to the filter, the font, and a picture drawn through a real filter afterwards.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "captiva/filter_captiva.h"
#include "captiva_prop.h"
#include "media/harness.h"

// Qt's font database keeps fontconfig objects that fontconfig itself never frees; the leak checker
// of the sanitizer build is told to pass over them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace captiva_page {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "captiva_page_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("SCRYDE_HOME", (::testing::TempDir() + "captiva_page_home").c_str(), 1);
    // Kept for the whole process: destroying it among the static destructors at exit would outlive
    // parts of Qt it depends on.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// An ICaptiva that answers from fixed settings and writes down every setter call.
class CRecordingCaptiva final : public CUnknown, public ICaptiva {
public:
    CRecordingCaptiva() : CUnknown("recording", nullptr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_ICaptiva)
            return GetInterface(static_cast<ICaptiva*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    int type = kOverlayStatic, paint = 0;
    std::string texts[5] = {"zero", "one", "two", "three", "four"};
    int xy[5][2] = {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}};
    double start = 2.5, end = -1.0;
    BYTE rgb[3] = {10, 20, 30};
    LOGFONTA font{};
    std::vector<std::string> calls;

    HRESULT SetOverlayType(int t) override { return Log("SetOverlayType(" + std::to_string(t) + ")"); }
    HRESULT GetOverlayType(int* t) override { return *t = type, S_OK; }
    HRESULT SetDrawMode(int p) override { return Log("SetDrawMode(" + std::to_string(p) + ")"); }
    HRESULT GetDrawMode(int* p) override { return *p = paint, S_OK; }
    HRESULT SetText(UINT i, char* text, int length) override {
        return Log("SetText(" + std::to_string(i) + ",\"" + std::string(text, std::size_t(length)) + "\"," +
                   std::to_string(length) + ")");
    }
    HRESULT GetText(UINT i, char* buffer, int* size) override {
        if (i > 4)
            return *size = 0, S_OK;
        const std::string& t = texts[i];
        if (buffer)
            std::strncpy(buffer, t.c_str(), std::size_t(*size));
        *size = t.empty() ? 0 : int(t.size()) + 1;
        return S_OK;
    }
    HRESULT SetColor(BYTE r, BYTE g, BYTE b) override {
        return Log("SetColor(" + std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b) + ")");
    }
    HRESULT GetColor(BYTE* r, BYTE* g, BYTE* b) override {
        return *r = rgb[0], *g = rgb[1], *b = rgb[2], S_OK;
    }
    HRESULT SetTextPosition(UINT i, int x, int y) override {
        return Log("SetTextPosition(" + std::to_string(i) + "," + std::to_string(x) + "," +
                   std::to_string(y) + ")");
    }
    HRESULT GetTextPosition(UINT i, int* out) override { return out[0] = xy[i][0], out[1] = xy[i][1], S_OK; }
    HRESULT SetFont(LOGFONTA f) override { return Log(std::string("SetFont(") + f.lfFaceName + ")"); }
    HRESULT GetFont(LOGFONTA* f) override { return *f = font, S_OK; }
    HRESULT SetTimeRange(double s, double e) override {
        char text[64];
        std::snprintf(text, sizeof text, "SetTimeRange(%.2f,%.2f)", s, e);
        return Log(text);
    }
    HRESULT GetTimeRange(double* s, double* e) override { return *s = start, *e = end, S_OK; }
    HRESULT SetVideoSize(int, int, int, int*) override { return E_NOTIMPL; }

private:
    HRESULT Log(const std::string& call) {
        calls.push_back(call);
        return S_OK;
    }
};

class CSiteLog final : public CUnknown, public IPropertyPageSite {
public:
    CSiteLog() : CUnknown("site", nullptr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IPropertyPageSite)
            return GetInterface(static_cast<IPropertyPageSite*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT OnStatusChange(DWORD flags) override {
        changes.push_back(flags);
        return S_OK;
    }
    std::vector<DWORD> changes;
};

// The page, as the frame makes it, connected to `object` and active in a window of its own.
struct Page {
    QApplication& app = App();
    QWidget window;
    ComPtr<IPropertyPage> page;
    ComPtr<CSiteLog> site{new CSiteLog};

    explicit Page(IUnknown* object) {
        IPropertyPage* raw = nullptr;
        EXPECT_EQ(CreatePropertyPage(CLSID_CaptivaPropertyPage, &raw), S_OK);
        page = raw;
        raw->Release();
        IUnknown* objects[1] = {object};
        EXPECT_EQ(page->SetObjects(1, objects), S_OK);
        page->SetPageSite(site.Get());
        EXPECT_EQ(page->Activate(&window), S_OK);
    }
    ~Page() {
        page->Deactivate();
        page->SetObjects(0, nullptr);
        page->SetPageSite(nullptr);
    }
    template <class W> W* Control(int id) {
        W* w = window.findChild<W*>(QString::number(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    // What a user typing into the edit does.
    void Type(int id, const QString& text) {
        QLineEdit* edit = Control<QLineEdit>(id);
        edit->setText(text);
        emit edit->textEdited(text);
    }
};

TEST(CaptivaPage, ShowsTheFiltersSettings) {
    ComPtr<CRecordingCaptiva> filter(new CRecordingCaptiva);
    filter->texts[2] = "";
    Page p(static_cast<ICaptiva*>(filter.Get()));
    EXPECT_EQ(p.Control<QComboBox>(IDC_OVERLAY_TYPE)->currentText(), "Static");
    EXPECT_TRUE(p.Control<QRadioButton>(IDC_BY_REVERSE)->isChecked());
    EXPECT_EQ(p.Control<QLineEdit>(IDC_TEXT0 + 1)->text(), "one");
    EXPECT_EQ(p.Control<QLineEdit>(IDC_TEXT0 + 2)->text(), "");
    EXPECT_EQ(p.Control<QLineEdit>(IDC_Y0 + 3)->text(), "8");
    EXPECT_EQ(p.Control<QLineEdit>(IDC_START)->text(), "2.50");
    EXPECT_EQ(p.Control<QLineEdit>(IDC_END)->text(), "-1.00");
    EXPECT_EQ(p.Control<QLineEdit>(IDC_BLUE)->text(), "30");
    EXPECT_EQ(p.page->IsPageDirty(), S_FALSE);
    EXPECT_TRUE(p.site->changes.empty());
    EXPECT_EQ(p.window.findChild<QLineEdit*>(QString::number(IDC_TEXT0 + 4)), nullptr); // rows 0 … 3 only

    // A type the list does not carry selects its first entry; the paint mode checks "By Cover".
    filter->type = 7;
    filter->paint = 1;
    ASSERT_EQ(p.page->Activate(&p.window), S_OK);
    EXPECT_EQ(p.Control<QComboBox>(IDC_OVERLAY_TYPE)->currentText(), "None");
    EXPECT_TRUE(p.Control<QRadioButton>(IDC_BY_COVER)->isChecked());

    // An object without ICaptiva is refused.
    App();
    IPropertyPage* other = nullptr;
    ASSERT_EQ(CreatePropertyPage(CLSID_CaptivaPropertyPage, &other), S_OK);
    ComPtr<CSiteLog> notAFilter(new CSiteLog);
    IUnknown* objects[1] = {static_cast<IPropertyPageSite*>(notAFilter.Get())};
    EXPECT_EQ(other->SetObjects(1, objects), E_NOINTERFACE);
    other->Release();
}

TEST(CaptivaPage, ApplyHandsEveryControlToTheFilterInOrder) {
    ComPtr<CRecordingCaptiva> filter(new CRecordingCaptiva);
    Page p(static_cast<ICaptiva*>(filter.Get()));
    p.Control<QComboBox>(IDC_OVERLAY_TYPE)->setCurrentIndex(2);
    emit p.Control<QComboBox>(IDC_OVERLAY_TYPE)->activated(2);
    EXPECT_EQ(p.page->IsPageDirty(), S_OK);
    ASSERT_FALSE(p.site->changes.empty());
    EXPECT_EQ(p.site->changes.back(), PROPPAGESTATUS_DIRTY);
    p.Control<QRadioButton>(IDC_BY_COVER)->click();
    p.Type(IDC_TEXT0 + 2, ""); // row 2 cleared
    p.Type(IDC_TEXT0 + 0, "Gate 4");
    p.Type(IDC_X0 + 1, "abc"); // not a number: 0
    p.Type(IDC_Y0 + 3, " 120 ");
    p.Type(IDC_RED, "300");  // low byte: 44
    p.Type(IDC_GREEN, "-1"); // low byte: 255
    p.Type(IDC_START, "1.25");
    p.Type(IDC_END, "x");

    ASSERT_EQ(p.page->Apply(), S_OK);
    const std::vector<std::string> expected = {
        "SetOverlayType(2)",        "SetDrawMode(1)",          "SetText(0,\"Gate 4\",6)",
        "SetTextPosition(0,1,2)",   "SetText(1,\"one\",3)",    "SetTextPosition(1,0,4)",
        "SetText(2,\"\",0)",        "SetTextPosition(2,5,6)",  "SetText(3,\"three\",5)",
        "SetTextPosition(3,7,120)", "SetTimeRange(1.25,0.00)", "SetColor(44,255,30)",
    };
    EXPECT_EQ(filter->calls, expected); // no SetFont: "Font..." was not used
    EXPECT_EQ(p.page->IsPageDirty(), S_FALSE);
}

TEST(CaptivaPage, FontIsAppliedOnlyWhenChosen) {
    ComPtr<CRecordingCaptiva> filter(new CRecordingCaptiva);
    std::strcpy(filter->font.lfFaceName, "Arial");
    filter->font.lfHeight = -12;
    Page p(static_cast<ICaptiva*>(filter.Get()));
    LOGFONTA offered{};
    BYTE offeredRgb[3] = {};
    bool choose = false;
    SetFontChooser([&](QWidget*, LOGFONTA* font, BYTE rgb[3]) {
        offered = *font;
        std::memcpy(offeredRgb, rgb, 3);
        if (!choose)
            return false;
        std::strcpy(font->lfFaceName, "Lucida Console");
        rgb[0] = 200, rgb[1] = 100, rgb[2] = 50;
        return true;
    });
    p.Type(IDC_RED, "15");
    p.Control<QPushButton>(IDC_FONT)->click(); // cancelled
    EXPECT_STREQ(offered.lfFaceName, "Arial");
    EXPECT_EQ(offered.lfHeight, -12);
    EXPECT_EQ(offeredRgb[0], 15);
    p.page->Apply();
    EXPECT_EQ(filter->calls.back(), "SetColor(15,20,30)");

    choose = true;
    filter->calls.clear();
    p.Control<QPushButton>(IDC_FONT)->click();
    EXPECT_EQ(p.Control<QLineEdit>(IDC_RED)->text(), "200");
    EXPECT_EQ(p.page->IsPageDirty(), S_OK);
    p.page->Apply();
    ASSERT_GE(filter->calls.size(), 2u);
    EXPECT_EQ(filter->calls[filter->calls.size() - 2], "SetColor(200,100,50)");
    EXPECT_EQ(filter->calls.back(), "SetFont(Lucida Console)");
    SetFontChooser({});

    // LOGFONTA survives the trip through QFont.
    LOGFONTA lf{};
    lf.lfHeight = -16, lf.lfWeight = FW_BOLD, lf.lfItalic = 1, lf.lfUnderline = 1;
    std::strcpy(lf.lfFaceName, "Lucida Console");
    const LOGFONTA back = LogFontFromFont(FontFromLogFont(lf));
    EXPECT_EQ(back.lfHeight, -16);
    EXPECT_EQ(back.lfWeight, FW_BOLD);
    EXPECT_EQ(back.lfItalic, 1);
    EXPECT_EQ(back.lfUnderline, 1);
    EXPECT_EQ(back.lfStrikeOut, 0);
    EXPECT_STREQ(back.lfFaceName, "Lucida Console");
}

CMediaType Rgb32(LONG width, LONG height) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_RGB32);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = 40;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = -height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biSizeImage = GetBitmapSize(vih.bmiHeader);
    mt.AllocFormatBuffer(VIDEOINFOHEADER::kSize);
    vih.Write(mt.Format());
    mt.SetSampleSize(vih.bmiHeader.biSizeImage);
    return mt;
}

// The real filter, reached through its ISpecifyPropertyPages, draws what the page applied.
TEST(CaptivaPage, PicturesShowTheTextThePageApplied) {
    constexpr LONG kWidth = 160, kHeight = 48;
    HRESULT hr = S_OK;
    auto* filter = static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr));
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(filter));
    media::CFilterHarness harness(ref.Get());
    ALLOCATOR_PROPERTIES props{2, kWidth * kHeight * 4, 1, 0};
    ASSERT_EQ(harness.ConnectInput(Rgb32(kWidth, kHeight), props), S_OK);
    ASSERT_EQ(harness.ConnectOutput(nullptr, {}), S_OK);
    ASSERT_EQ(harness.Run(), S_OK);

    CAUUID pages{0, nullptr};
    ComPtr<ISpecifyPropertyPages> specify(static_cast<ISpecifyPropertyPages*>(filter));
    ASSERT_EQ(specify->GetPages(&pages), S_OK);
    ASSERT_EQ(pages.cElems, 1u);
    EXPECT_EQ(pages.pElems[0], CLSID_CaptivaPropertyPage);
    CoTaskMemFree(pages.pElems);

    const std::vector<BYTE> blank(std::size_t(kWidth) * kHeight * 4, 0x40);
    auto draw = [&] {
        std::size_t before = harness.ReceivedCount();
        EXPECT_EQ(harness.Push(blank.data(), LONG(blank.size())), S_OK);
        auto received = harness.Received();
        EXPECT_EQ(received.size(), before + 1);
        return received.back().data;
    };
    // Pixels painted red, as (x, y).
    auto red = [&](const std::vector<BYTE>& picture) {
        std::vector<std::pair<int, int>> out;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const BYTE* px = &picture[(std::size_t(y) * kWidth + x) * 4];
                if (px[2] == 255 && px[1] == 0 && px[0] == 0)
                    out.emplace_back(x, y);
            }
        return out;
    };

    Page p(static_cast<ICaptiva*>(filter));
    p.Control<QComboBox>(IDC_OVERLAY_TYPE)->setCurrentIndex(1); // "Static"
    p.Control<QRadioButton>(IDC_BY_COVER)->click();
    p.Type(IDC_TEXT0, "IIII");
    p.Type(IDC_X0, "20");
    p.Type(IDC_Y0, "10");
    p.Type(IDC_RED, "255");
    p.Type(IDC_GREEN, "0");
    p.Type(IDC_BLUE, "256"); // low byte: 0
    ASSERT_EQ(p.page->Apply(), S_OK);
    const auto first = red(draw());
    ASSERT_FALSE(first.empty());
    for (const auto& [x, y] : first) {
        EXPECT_GE(x, 20);
        EXPECT_GE(y, 10);
    }

    // Another text at another place: the next picture shows it instead.
    p.Type(IDC_TEXT0, "WWWWWWWW");
    p.Type(IDC_X0, "60");
    ASSERT_EQ(p.page->Apply(), S_OK);
    const auto second = red(draw());
    ASSERT_FALSE(second.empty());
    EXPECT_GT(second.size(), first.size());
    for (const auto& [x, y] : second)
        EXPECT_GE(x, 60);

    // Row 0 cleared: nothing is drawn.
    p.Type(IDC_TEXT0, "");
    ASSERT_EQ(p.page->Apply(), S_OK);
    EXPECT_TRUE(red(draw()).empty());
    harness.Stop();
}

// The frame reaches the page through the filter's ISpecifyPropertyPages; Apply lights up once the
// page is dirty, and OK applies it.
TEST(CaptivaPage, FrameShowsThePageTheFilterNames) {
    App();
    HRESULT hr = S_OK;
    auto* filter = static_cast<CFilterCaptiva*>(CFilterCaptiva::CreateInstance(nullptr, &hr));
    ComPtr<IBaseFilter> ref(static_cast<IBaseFilter*>(filter));
    bool applyWasOff = false, applyCameOn = false;
    QTimer::singleShot(0, [&] {
        auto* frame = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(frame, nullptr);
        auto* buttons = frame->findChild<QDialogButtonBox*>();
        QPushButton* apply = buttons->button(QDialogButtonBox::Apply);
        applyWasOff = !apply->isEnabled();
        auto* edit = frame->findChild<QLineEdit*>(QString::number(IDC_TEXT0 + 3));
        ASSERT_NE(edit, nullptr);
        edit->setText("from the frame");
        emit edit->textEdited(edit->text());
        applyCameOn = apply->isEnabled();
        buttons->button(QDialogButtonBox::Ok)->click();
    });
    ASSERT_EQ(ShowPropertyFrame(static_cast<IBaseFilter*>(filter), "Text Overlay Properties", nullptr), S_OK);
    EXPECT_TRUE(applyWasOff);
    EXPECT_TRUE(applyCameOn);
    char text[32] = {};
    int size = sizeof text;
    ASSERT_EQ(filter->GetText(3, text, &size), S_OK);
    EXPECT_STREQ(text, "from the frame");
}

} // namespace
} // namespace captiva_page
