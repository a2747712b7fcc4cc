#include "tallen_filter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/debug.h"
#include "platform/bytes.h"

namespace {

// Where a format block keeps its bitmap header: behind the rectangles and rates of a VIDEOINFOHEADER,
// or the longer head of a VIDEOINFOHEADER2.
bool ReadBitmapHeader(const CMediaType& mt, BITMAPINFOHEADER* out) {
    ULONG at = 0;
    if (*mt.FormatType() == FORMAT_VideoInfo)
        at = VIDEOINFOHEADER::kHeaderOffset;
    else if (*mt.FormatType() == FORMAT_VideoInfo2)
        at = 72;
    else
        return false;
    if (!mt.Format() || mt.FormatLength() < at + BITMAPINFOHEADER::kSize)
        return false;
    *out = BITMAPINFOHEADER::Read(mt.Format() + at);
    return true;
}

bool WriteBitmapHeader(CMediaType& mt, const BITMAPINFOHEADER& bih) {
    const ULONG at = *mt.FormatType() == FORMAT_VideoInfo2 ? 72 : VIDEOINFOHEADER::kHeaderOffset;
    if (!mt.Format() || mt.FormatLength() < at + BITMAPINFOHEADER::kSize)
        return false;
    bih.Write(mt.Format() + at);
    return true;
}

// Colours come as 0x00BBGGRR; the picture holds 0x00RRGGBB.
DWORD ExchangeRedBlue(DWORD c) {
    return (c & 0xFF00FF00u) | ((c & 0xFF) << 16) | ((c >> 16) & 0xFF);
}

// The speed and GPS lines in record mode: chartreuse.
constexpr DWORD kRecordDataColour = 0x7FFF00;

void OpenLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        common::DebugSetStyle(common::kDoubleHeightDebugStyle);
        common::DebugOpen("Double height filter", "C:\\Program Files\\Scryde\\Tallen.log");
    });
}

} // namespace

CUnknown* CTallen::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    OpenLogOnce();
    auto* filter = new (std::nothrow) CTallen(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CTallen::CTallen(LPUNKNOWN outer, HRESULT* phr) : CTransformFilter(kTallenName, outer, CLSID_Tallen, phr) {}

HRESULT CTallen::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_ITallen)
        return GetInterface(static_cast<ITallen*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

bool CTallen::DoublesField(const Settings& s) {
    const LONG h = std::abs(s.height);
    return s.width == 720 && (h == 240 || h == 288);
}

bool CTallen::WillDouble() const {
    return m_s.mode == 0 || (m_s.doubling && DoublesField(m_s));
}

// ---- media types --------------------------------------------------------------------------------

HRESULT CTallen::CheckInputType(const CMediaType* in) {
    BITMAPINFOHEADER bih;
    if (!in || !IsRgbSubtype(*in->Subtype()) || !ReadBitmapHeader(*in, &bih))
        return VFW_E_TYPE_NOT_ACCEPTED;
    CAutoLock lock(&m_settingsLock);
    m_s.width = bih.biWidth;
    m_s.height = bih.biHeight;
    return S_OK;
}

HRESULT CTallen::CheckTransform(const CMediaType* in, const CMediaType* out) {
    BITMAPINFOHEADER bout;
    if (!in || !out || *in->Type() != *out->Type() || *in->Subtype() != *out->Subtype() ||
        !ReadBitmapHeader(*out, &bout) || bout.biCompression != 0)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CTallen::GetMediaType(int position, CMediaType* pmt) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    if (!pmt)
        return E_POINTER;
    *pmt = m_pInput->CurrentMediaType();
    BITMAPINFOHEADER bih;
    if (!ReadBitmapHeader(*pmt, &bih))
        return VFW_E_TYPE_NOT_ACCEPTED;
    bool doubled = false;
    {
        CAutoLock lock(&m_settingsLock);
        doubled = WillDouble();
    }
    if (doubled) {
        bih.biHeight *= 2;
        if (pmt->IsFixedSize())
            pmt->SetSampleSize(pmt->GetSampleSize() * 2);
    }
    bih.biSizeImage = 0;
    WriteBitmapHeader(*pmt, bih);
    return S_OK;
}

HRESULT CTallen::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (!allocator || !request)
        return E_POINTER;
    const CMediaType& in = m_pInput->CurrentMediaType();
    std::int64_t size = std::int64_t(in.GetSampleSize()) * 4;
    if (!in.IsFixedSize() && size < kMinBufferBytes)
        size = kMinBufferBytes;
    // Never less than the picture the filter puts out: samples of varying size may still carry a
    // whole field, which doubled is far more than 100,000 bytes.
    BITMAPINFOHEADER bih;
    if (ReadBitmapHeader(in, &bih)) {
        bool doubled = false;
        {
            CAutoLock lock(&m_settingsLock);
            doubled = WillDouble();
        }
        const std::int64_t picture = std::int64_t(bih.biBitCount) * std::max<LONG>(bih.biWidth, 0) / 8 *
                                     std::abs(std::int64_t(bih.biHeight)) * (doubled ? 2 : 1);
        size = std::max(size, picture);
    }
    if (size > 0x7FFFFFFF)
        return E_OUTOFMEMORY;
    request->cBuffers = 1;
    request->cbBuffer = static_cast<LONG>(size);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

// ---- the picture --------------------------------------------------------------------------------

HRESULT CTallen::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE* src = nullptr;
    BYTE* dst = nullptr;
    if (FAILED(in->GetPointer(&src)) || FAILED(out->GetPointer(&dst)) || !src || !dst)
        return E_UNEXPECTED;
    BITMAPINFOHEADER bih;
    if (!ReadBitmapHeader(m_pInput->CurrentMediaType(), &bih))
        return E_UNEXPECTED;
    Settings s;
    {
        CAutoLock lock(&m_settingsLock);
        s = m_s;
    }
    const std::int64_t rowBytes =
        std::int64_t(std::max<WORD>(bih.biBitCount, 0)) * std::max<LONG>(bih.biWidth, 0) / 8;
    const int rows = std::abs(bih.biHeight);
    const std::int64_t length = std::max<LONG>(in->GetActualDataLength(), 0);
    const std::int64_t capacity = out->GetSize();

    // Mode 1: the picture is what comes before the status record at the sample's end.
    const bool record = s.mode == 1;
    const std::int64_t picture = record ? std::max<std::int64_t>(length - kTallenRecordBytes, 0) : length;
    const bool doubling = s.mode == 0 || (s.doubling && DoublesField(s));
    const std::int64_t produced = doubling ? 2 * picture : picture;
    if (produced > capacity)
        return VFW_E_BUFFER_OVERFLOW;
    if (doubling) {
        // Input row r becomes output rows 2r and 2r + 1; rows the sample does not hold stay as they were.
        for (int r = 0; r < rows && rowBytes > 0 && std::int64_t(r + 1) * rowBytes <= picture; ++r) {
            const BYTE* from = src + std::int64_t(r) * rowBytes;
            std::memcpy(dst + 2 * std::int64_t(r) * rowBytes, from, static_cast<std::size_t>(rowBytes));
            std::memcpy(dst + (2 * std::int64_t(r) + 1) * rowBytes, from, static_cast<std::size_t>(rowBytes));
        }
    } else {
        std::memcpy(dst, src, static_cast<std::size_t>(picture));
    }
    out->SetActualDataLength(static_cast<LONG>(produced));

    // The glyphs are drawn as 32-bit pixels, into 32-bit pictures only.
    if (bih.biBitCount != 32 || rowBytes == 0)
        return S_OK;
    tallen::Picture canvas;
    canvas.data = dst;
    canvas.rowBytes = rowBytes;
    canvas.rows = static_cast<int>(std::min<std::int64_t>(produced / rowBytes, doubling ? 2 * rows : rows));
    canvas.topDown = bih.biHeight < 0;
    if (!record) {
        for (const tallen::TextLine& line : s.lines)
            tallen::DrawLine(canvas, line);
        return S_OK;
    }
    bool draw[kTallenLines] = {s.showTime, s.showStatus, false, false, s.showTitle};
    if (length >= kTallenRecordBytes) {
        const tallen::RecordTexts texts = tallen::ParseRecord(src + picture, s.channel);
        for (UINT k = 0; k < kTallenLines; ++k)
            if (texts.has[k])
                s.lines[k].text = texts.text[k];
        draw[2] = texts.has[2];
        draw[3] = texts.has[3];
    }
    for (UINT k = 0; k < kTallenLines; ++k)
        if (draw[k])
            tallen::DrawLine(canvas, s.lines[k]);
    return S_OK;
}

// ---- ITallen ------------------------------------------------------------------------------------

HRESULT CTallen::SetTextLine(UINT index, char* text, int x, int y, DWORD colour, int interlace) {
    CAutoLock lock(&m_settingsLock);
    if (index >= kTallenLines)
        return E_INVALIDARG;
    tallen::TextLine& line = m_s.lines[index];
    line.text = text ? std::string(text, strnlen(text, tallen::kMaxLineChars)) : std::string();
    line.x = x;
    // The status line sits 40 rows below the top of the doubled picture, wherever it was asked for.
    line.y = index == 1 ? 2 * std::abs(m_s.height) - 40 : y;
    line.colour = ExchangeRedBlue(colour);
    line.interlace = interlace != 0;
    return S_OK;
}

HRESULT CTallen::SetRecordMode(int doubleHeight, int channel) {
    CAutoLock lock(&m_settingsLock);
    m_s.doubling = doubleHeight != 0;
    m_s.mode = 1;
    m_s.channel = static_cast<BYTE>(channel);
    return S_OK;
}

void CTallen::PlaceRecordLines(const std::array<int, 5>& rows, int titleMargin) {
    const int x = m_s.width == 720 ? 30 : 8;
    const LONG h = std::abs(m_s.height);
    for (UINT k = 0; k < kTallenLines; ++k) {
        m_s.lines[k].x = x;
        m_s.lines[k].y = rows[k];
    }
    m_s.lines[4].y = static_cast<int>((m_s.doubling && DoublesField(m_s) ? 2 * h : h) - titleMargin);
}

HRESULT CTallen::SetRecordText(int doubleHeight, int showTime, int showTitle, int showStatus, char* text,
                               DWORD timeColour, DWORD titleColour, DWORD statusColour, int interlace) {
    CAutoLock lock(&m_settingsLock);
    m_s.mode = 1;
    m_s.doubling = doubleHeight != 0;
    m_s.showTime = showTime != 0;
    m_s.showTitle = showTitle != 0;
    m_s.showStatus = showStatus != 0;
    PlaceRecordLines({20, 40, 60, 80, 0}, 30);
    m_s.lines[0].colour = ExchangeRedBlue(timeColour);
    m_s.lines[1].colour = ExchangeRedBlue(statusColour);
    m_s.lines[4].colour = ExchangeRedBlue(titleColour);
    m_s.lines[2].colour = m_s.lines[3].colour = kRecordDataColour;
    if (showStatus)
        m_s.lines[1].text = text ? std::string(text, strnlen(text, tallen::kMaxLineChars)) : std::string();
    for (tallen::TextLine& line : m_s.lines)
        line.interlace = interlace != 0;
    return S_OK;
}

HRESULT CTallen::SetRecordDefaults(int doubleHeight, DWORD colour, int interlace) {
    CAutoLock lock(&m_settingsLock);
    m_s.mode = 1;
    m_s.doubling = doubleHeight != 0;
    m_s.showTime = m_s.showTitle = m_s.showStatus = true;
    PlaceRecordLines({20, 40, 80, 100, 0}, 40);
    for (tallen::TextLine& line : m_s.lines) {
        line.colour = colour;
        line.interlace = interlace != 0;
    }
    return S_OK;
}
