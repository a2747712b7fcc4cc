#include "media/types.h"

#include <cstdlib>
#include <new>

#include "media/interfaces.h"
#include "platform/bytes.h"

void* CoTaskMemAlloc(std::size_t size) {
    return std::malloc(size ? size : 1);
}
void CoTaskMemFree(void* p) {
    std::free(p);
}

void FreeMediaType(AM_MEDIA_TYPE& mt) {
    if (mt.cbFormat != 0 || mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* dest, const AM_MEDIA_TYPE* src) {
    *dest = *src;
    if (src->cbFormat != 0) {
        dest->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src->cbFormat));
        if (!dest->pbFormat) {
            dest->cbFormat = 0;
            return E_OUTOFMEMORY;
        }
        std::memcpy(dest->pbFormat, src->pbFormat, src->cbFormat);
    } else {
        dest->pbFormat = nullptr;
    }
    if (dest->pUnk)
        dest->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src) {
    auto* p = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!p)
        return nullptr;
    if (FAILED(CopyMediaType(p, src))) {
        CoTaskMemFree(p);
        return nullptr;
    }
    return p;
}

// ---- CMediaType ------------------------------------------------------------------------------------------

CMediaType::CMediaType() {
    InitMediaType();
}

CMediaType::CMediaType(const GUID* type) {
    InitMediaType();
    majortype = *type;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& src) {
    InitMediaType();
    Set(src);
}

CMediaType::CMediaType(const CMediaType& src) : AM_MEDIA_TYPE() {
    InitMediaType();
    Set(src);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& src) {
    Set(src);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& src) {
    Set(src);
    return *this;
}

CMediaType::~CMediaType() {
    FreeMediaType(*this);
}

void CMediaType::InitMediaType() {
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    formattype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

HRESULT CMediaType::Set(const CMediaType& src) {
    return Set(static_cast<const AM_MEDIA_TYPE&>(src));
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& src) {
    if (&src == this)
        return S_OK;
    FreeMediaType(*this);
    HRESULT hr = CopyMediaType(this, &src);
    if (FAILED(hr))
        InitMediaType();
    return hr;
}

bool CMediaType::operator==(const CMediaType& o) const {
    return majortype == o.majortype && subtype == o.subtype && formattype == o.formattype &&
           cbFormat == o.cbFormat && (cbFormat == 0 || std::memcmp(pbFormat, o.pbFormat, cbFormat) == 0);
}

void CMediaType::SetSampleSize(ULONG size) {
    if (size == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = size;
    }
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
    if (cbFormat == length && pbFormat) {
        std::memset(pbFormat, 0, length);
        return pbFormat;
    }
    auto* p = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!p)
        return nullptr;
    std::memset(p, 0, length);
    CoTaskMemFree(pbFormat);
    pbFormat = p;
    cbFormat = length;
    return p;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
    auto* p = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!p)
        return nullptr;
    std::memset(p, 0, length);
    if (pbFormat)
        std::memcpy(p, pbFormat, std::min(length, cbFormat));
    CoTaskMemFree(pbFormat);
    pbFormat = p;
    cbFormat = length;
    return p;
}

BOOL CMediaType::SetFormat(const BYTE* format, ULONG length) {
    if (!AllocFormatBuffer(length))
        return FALSE;
    if (length)
        std::memcpy(pbFormat, format, length);
    return TRUE;
}

void CMediaType::ResetFormatBuffer() {
    CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

BOOL CMediaType::MatchesPartial(const CMediaType* partial) const {
    if (partial->majortype != GUID_NULL && majortype != partial->majortype)
        return FALSE;
    if (partial->subtype != GUID_NULL && subtype != partial->subtype)
        return FALSE;
    if (partial->formattype != GUID_NULL) {
        if (formattype != partial->formattype || cbFormat != partial->cbFormat)
            return FALSE;
        if (cbFormat && std::memcmp(pbFormat, partial->pbFormat, cbFormat) != 0)
            return FALSE;
    }
    return TRUE;
}

BOOL CMediaType::IsPartiallySpecified() const {
    return majortype == GUID_NULL || subtype == GUID_NULL || formattype == GUID_NULL;
}

// ---- Format records
// ----------------------------------------------------------------------------------------

BITMAPINFOHEADER BITMAPINFOHEADER::Read(const BYTE* p) {
    BITMAPINFOHEADER h;
    h.biSize = platform::ReadLE32(p + 0);
    h.biWidth = static_cast<LONG>(platform::ReadLE32(p + 4));
    h.biHeight = static_cast<LONG>(platform::ReadLE32(p + 8));
    h.biPlanes = platform::ReadLE16(p + 12);
    h.biBitCount = platform::ReadLE16(p + 14);
    h.biCompression = platform::ReadLE32(p + 16);
    h.biSizeImage = platform::ReadLE32(p + 20);
    h.biXPelsPerMeter = static_cast<LONG>(platform::ReadLE32(p + 24));
    h.biYPelsPerMeter = static_cast<LONG>(platform::ReadLE32(p + 28));
    h.biClrUsed = platform::ReadLE32(p + 32);
    h.biClrImportant = platform::ReadLE32(p + 36);
    return h;
}

void BITMAPINFOHEADER::Write(BYTE* p) const {
    platform::WriteLE32(p + 0, biSize);
    platform::WriteLE32(p + 4, static_cast<DWORD>(biWidth));
    platform::WriteLE32(p + 8, static_cast<DWORD>(biHeight));
    platform::WriteLE16(p + 12, biPlanes);
    platform::WriteLE16(p + 14, biBitCount);
    platform::WriteLE32(p + 16, biCompression);
    platform::WriteLE32(p + 20, biSizeImage);
    platform::WriteLE32(p + 24, static_cast<DWORD>(biXPelsPerMeter));
    platform::WriteLE32(p + 28, static_cast<DWORD>(biYPelsPerMeter));
    platform::WriteLE32(p + 32, biClrUsed);
    platform::WriteLE32(p + 36, biClrImportant);
}

namespace {
RECT ReadRect(const BYTE* p) {
    RECT r;
    r.left = static_cast<LONG>(platform::ReadLE32(p));
    r.top = static_cast<LONG>(platform::ReadLE32(p + 4));
    r.right = static_cast<LONG>(platform::ReadLE32(p + 8));
    r.bottom = static_cast<LONG>(platform::ReadLE32(p + 12));
    return r;
}
void WriteRect(BYTE* p, const RECT& r) {
    platform::WriteLE32(p, static_cast<DWORD>(r.left));
    platform::WriteLE32(p + 4, static_cast<DWORD>(r.top));
    platform::WriteLE32(p + 8, static_cast<DWORD>(r.right));
    platform::WriteLE32(p + 12, static_cast<DWORD>(r.bottom));
}
} // namespace

VIDEOINFOHEADER VIDEOINFOHEADER::Read(const BYTE* p) {
    VIDEOINFOHEADER v;
    v.rcSource = ReadRect(p + 0);
    v.rcTarget = ReadRect(p + 16);
    v.dwBitRate = platform::ReadLE32(p + 32);
    v.dwBitErrorRate = platform::ReadLE32(p + 36);
    v.AvgTimePerFrame = static_cast<REFERENCE_TIME>(platform::ReadLE32(p + 40) |
                                                    (std::uint64_t(platform::ReadLE32(p + 44)) << 32));
    v.bmiHeader = BITMAPINFOHEADER::Read(p + kHeaderOffset);
    return v;
}

void VIDEOINFOHEADER::Write(BYTE* p) const {
    WriteRect(p + 0, rcSource);
    WriteRect(p + 16, rcTarget);
    platform::WriteLE32(p + 32, dwBitRate);
    platform::WriteLE32(p + 36, dwBitErrorRate);
    auto t = static_cast<std::uint64_t>(AvgTimePerFrame);
    platform::WriteLE32(p + 40, static_cast<DWORD>(t));
    platform::WriteLE32(p + 44, static_cast<DWORD>(t >> 32));
    bmiHeader.Write(p + kHeaderOffset);
}

WAVEFORMATEX WAVEFORMATEX::Read(const BYTE* p) {
    WAVEFORMATEX w;
    w.wFormatTag = platform::ReadLE16(p + 0);
    w.nChannels = platform::ReadLE16(p + 2);
    w.nSamplesPerSec = platform::ReadLE32(p + 4);
    w.nAvgBytesPerSec = platform::ReadLE32(p + 8);
    w.nBlockAlign = platform::ReadLE16(p + 12);
    w.wBitsPerSample = platform::ReadLE16(p + 14);
    w.cbSize = platform::ReadLE16(p + 16);
    return w;
}

void WAVEFORMATEX::Write(BYTE* p) const {
    platform::WriteLE16(p + 0, wFormatTag);
    platform::WriteLE16(p + 2, nChannels);
    platform::WriteLE32(p + 4, nSamplesPerSec);
    platform::WriteLE32(p + 8, nAvgBytesPerSec);
    platform::WriteLE16(p + 12, nBlockAlign);
    platform::WriteLE16(p + 14, wBitsPerSample);
    platform::WriteLE16(p + 16, cbSize);
}

bool GetVideoInfo(const AM_MEDIA_TYPE& mt, VIDEOINFOHEADER* out) {
    if (mt.formattype != FORMAT_VideoInfo || mt.cbFormat < VIDEOINFOHEADER::kSize || !mt.pbFormat)
        return false;
    *out = VIDEOINFOHEADER::Read(mt.pbFormat);
    return true;
}

bool GetWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX* out) {
    // A PCM record may be the 16-byte form without cbSize.
    if (mt.formattype != FORMAT_WaveFormatEx || mt.cbFormat < 16 || !mt.pbFormat)
        return false;
    if (mt.cbFormat >= WAVEFORMATEX::kSize) {
        *out = WAVEFORMATEX::Read(mt.pbFormat);
    } else {
        BYTE tmp[WAVEFORMATEX::kSize] = {};
        std::memcpy(tmp, mt.pbFormat, 16);
        *out = WAVEFORMATEX::Read(tmp);
    }
    return true;
}

bool SetVideoInfo(CMediaType& mt, const VIDEOINFOHEADER& vih) {
    if (mt.cbFormat < VIDEOINFOHEADER::kSize && !mt.ReallocFormatBuffer(VIDEOINFOHEADER::kSize))
        return false;
    vih.Write(mt.pbFormat);
    mt.formattype = FORMAT_VideoInfo;
    return true;
}

bool SetWaveFormat(CMediaType& mt, const WAVEFORMATEX& wfx) {
    if (mt.cbFormat < WAVEFORMATEX::kSize && !mt.ReallocFormatBuffer(WAVEFORMATEX::kSize))
        return false;
    wfx.Write(mt.pbFormat);
    mt.formattype = FORMAT_WaveFormatEx;
    return true;
}

DWORD GetBitmapSize(const BITMAPINFOHEADER& bih) {
    std::uint64_t stride = ((std::uint64_t(std::abs(bih.biWidth)) * bih.biBitCount + 31) / 32) * 4;
    std::uint64_t size = stride * std::uint64_t(std::abs(bih.biHeight));
    return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
}

namespace media {

std::string GuidName(const GUID& g) {
    struct Named {
        const GUID* id;
        const char* name;
    };
    static const Named kNames[] = {
        {&MEDIATYPE_Video, "Video"},
        {&MEDIATYPE_Audio, "Audio"},
        {&MEDIATYPE_Stream, "Stream"},
        {&MEDIATYPE_Interleaved, "Interleaved"},
        {&MEDIASUBTYPE_RGB32, "RGB32"},
        {&MEDIASUBTYPE_RGB24, "RGB24"},
        {&MEDIASUBTYPE_RGB565, "RGB565"},
        {&MEDIASUBTYPE_RGB555, "RGB555"},
        {&MEDIASUBTYPE_RGB8, "RGB8"},
        {&MEDIASUBTYPE_YUY2, "YUY2"},
        {&MEDIASUBTYPE_UYVY, "UYVY"},
        {&MEDIASUBTYPE_MJPG, "MJPG"},
        {&MEDIASUBTYPE_PCM, "PCM"},
        {&MEDIASUBTYPE_Avi, "Avi"},
        {&FORMAT_VideoInfo, "VideoInfo"},
        {&FORMAT_VideoInfo2, "VideoInfo2"},
        {&FORMAT_WaveFormatEx, "WaveFormatEx"},
        {&FORMAT_None, "None"},
    };
    if (g == GUID_NULL)
        return "(any)";
    for (const Named& n : kNames)
        if (*n.id == g)
            return n.name;
    return platform::GuidToString(g);
}

} // namespace media
