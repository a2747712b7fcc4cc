// Media types and format blocks of the filter framework: AM_MEDIA_TYPE and CMediaType, the major
// types, subtypes and format types with their registered GUID values, and the byte-exact
// BITMAPINFOHEADER (40 bytes), VIDEOINFOHEADER (88 bytes) and WAVEFORMATEX (18 bytes) records with
// explicit little-endian readers and writers.
#pragma once

#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/types.h"

// ---- Identifiers -------------------------------------------------------------------------------------

namespace media::detail {
// {XXXXXXXX-524F-11CE-9F53-0020AF0BA770}: the framework's own family of type and class ids.
constexpr GUID AmGuid(DWORD d1) {
    return GUID{d1, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
}
// {XXXXXXXX-0AD4-11CE-B03A-0020AF0BA770}: the core interface family.
constexpr GUID CoreIid(DWORD d1) {
    return GUID{d1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
}
} // namespace media::detail

constexpr DWORD MAKEFOURCC(char a, char b, char c, char d) {
    return DWORD(BYTE(a)) | (DWORD(BYTE(b)) << 8) | (DWORD(BYTE(c)) << 16) | (DWORD(BYTE(d)) << 24);
}

// Major types.
constexpr GUID MEDIATYPE_NULL = GUID_NULL;
constexpr GUID MEDIATYPE_Video = platform::FourCCGuid(MAKEFOURCC('v', 'i', 'd', 's'));
constexpr GUID MEDIATYPE_Audio = platform::FourCCGuid(MAKEFOURCC('a', 'u', 'd', 's'));
constexpr GUID MEDIATYPE_Interleaved = platform::FourCCGuid(MAKEFOURCC('i', 'a', 'v', 's'));
constexpr GUID MEDIATYPE_Stream = media::detail::AmGuid(0xE436EB83);

// Subtypes.
constexpr GUID MEDIASUBTYPE_NULL = GUID_NULL;
constexpr GUID MEDIASUBTYPE_None = media::detail::AmGuid(0xE436EB8E);
constexpr GUID MEDIASUBTYPE_RGB1 = media::detail::AmGuid(0xE436EB78);
constexpr GUID MEDIASUBTYPE_RGB4 = media::detail::AmGuid(0xE436EB79);
constexpr GUID MEDIASUBTYPE_RGB8 = media::detail::AmGuid(0xE436EB7A);
constexpr GUID MEDIASUBTYPE_RGB565 = media::detail::AmGuid(0xE436EB7B);
constexpr GUID MEDIASUBTYPE_RGB555 = media::detail::AmGuid(0xE436EB7C);
constexpr GUID MEDIASUBTYPE_RGB24 = media::detail::AmGuid(0xE436EB7D);
constexpr GUID MEDIASUBTYPE_RGB32 = media::detail::AmGuid(0xE436EB7E);
constexpr GUID MEDIASUBTYPE_Avi = media::detail::AmGuid(0xE436EB88);
constexpr GUID MEDIASUBTYPE_YUY2 = platform::FourCCGuid(MAKEFOURCC('Y', 'U', 'Y', '2'));
constexpr GUID MEDIASUBTYPE_UYVY = platform::FourCCGuid(MAKEFOURCC('U', 'Y', 'V', 'Y'));
constexpr GUID MEDIASUBTYPE_MJPG = platform::FourCCGuid(MAKEFOURCC('M', 'J', 'P', 'G'));
constexpr GUID MEDIASUBTYPE_PCM = platform::FourCCGuid(0x00000001);

// Format types.
constexpr GUID FORMAT_None = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID FORMAT_VideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID FORMAT_VideoInfo2 = {
    0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
constexpr GUID FORMAT_WaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// True for the uncompressed RGB subtypes {E436EB7x-524F-11CE-9F53-0020AF0BA770}.
constexpr bool IsRgbSubtype(const GUID& g) {
    GUID family = g;
    family.Data1 &= 0xFFFFFFF0u;
    return family == media::detail::AmGuid(0xE436EB70) && (g.Data1 & 0xF) >= 0x8 && (g.Data1 & 0xF) <= 0xE;
}

// ---- Times, merits, states, directions -----------------------------------------------------------------

constexpr REFERENCE_TIME UNITS = 10000000; // 100 ns units per second
constexpr REFERENCE_TIME MILLISECONDS = 10000;

constexpr DWORD MERIT_PREFERRED = 0x800000;
constexpr DWORD MERIT_NORMAL = 0x600000;
constexpr DWORD MERIT_UNLIKELY = 0x400000;
constexpr DWORD MERIT_DO_NOT_USE = 0x200000;
constexpr DWORD MERIT_SW_COMPRESSOR = 0x100000;
constexpr DWORD MERIT_HW_COMPRESSOR = 0x100050;

enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
using OAFilterState = LONG;

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

// Media event codes.
constexpr LONG EC_COMPLETE = 0x01;
constexpr LONG EC_USERABORT = 0x02;
constexpr LONG EC_ERRORABORT = 0x03;
constexpr LONG EC_TIME = 0x04;
constexpr LONG EC_REPAINT = 0x05;
constexpr LONG EC_STREAM_ERROR_STOPPED = 0x06;
constexpr LONG EC_STREAM_ERROR_STILLPLAYING = 0x07;
constexpr LONG EC_ERROR_STILLPLAYING = 0x08;
constexpr LONG EC_QUALITY_CHANGE = 0x0B;
constexpr LONG EC_PAUSED = 0x0E;
constexpr LONG EC_STEP_COMPLETE = 0x24;

// More media framework results not in the platform set.
constexpr HRESULT VFW_S_DUPLICATE_NAME = MakeHResult(0x0004022Du);
constexpr HRESULT VFW_E_DUPLICATE_NAME = MakeHResult(0x8004022Du);
constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = MakeHResult(0x8004022Fu);
constexpr HRESULT VFW_E_NO_TRANSPORT = MakeHResult(0x80040266u);
constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = MakeHResult(0x80040203u);
constexpr HRESULT VFW_E_FRAME_STEP_UNSUPPORTED = MakeHResult(0x8004028Eu);
constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = MakeHResult(0x80040249u);
constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = MakeHResult(0x80040251u);
constexpr HRESULT VFW_S_NO_STOP_TIME = MakeHResult(0x00040270u);

// ---- AM_MEDIA_TYPE and CMediaType ----------------------------------------------------------------------

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

// Frees what a media type owns (its format block), leaving it empty.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Frees a media type handed out on the heap (by enumerators and samples), and the type itself.
void DeleteMediaType(AM_MEDIA_TYPE* pmt);
// Copies a media type, format block included; E_OUTOFMEMORY when the block cannot be allocated.
HRESULT CopyMediaType(AM_MEDIA_TYPE* dest, const AM_MEDIA_TYPE* src);
// A heap copy for handing out; nullptr when out of memory.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src);

// A media type that owns its format block.
class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID* majortype);
    CMediaType(const AM_MEDIA_TYPE& src); // NOLINT: implicit, as the framework's users expect
    CMediaType(const CMediaType& src);
    CMediaType& operator=(const AM_MEDIA_TYPE& src);
    CMediaType& operator=(const CMediaType& src);
    ~CMediaType();

    bool operator==(const CMediaType& other) const;
    bool operator!=(const CMediaType& other) const { return !(*this == other); }

    HRESULT Set(const CMediaType& src);
    HRESULT Set(const AM_MEDIA_TYPE& src);
    BOOL IsValid() const { return !(majortype == GUID_NULL); }

    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* t) { majortype = *t; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* s) { subtype = *s; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* f) { formattype = *f; }

    BOOL IsFixedSize() const { return bFixedSizeSamples; }
    BOOL IsTemporalCompressed() const { return bTemporalCompression; }
    ULONG GetSampleSize() const { return bFixedSizeSamples ? lSampleSize : 0; }
    void SetSampleSize(ULONG size);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }

    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // Replaces the format block with a zeroed one of `length` bytes; nullptr when out of memory.
    BYTE* AllocFormatBuffer(ULONG length);
    // Grows or shrinks the block, keeping its leading bytes; nullptr when out of memory.
    BYTE* ReallocFormatBuffer(ULONG length);
    BOOL SetFormat(const BYTE* format, ULONG length);
    void ResetFormatBuffer();
    void InitMediaType();

    // True when every field of `partial` that is set (not GUID_NULL) equals ours.
    BOOL MatchesPartial(const CMediaType* partial) const;
    BOOL IsPartiallySpecified() const;
};

// ---- Format blocks: explicit byte layouts ----------------------------------------------------------------

struct RECT {
    LONG left = 0;
    LONG top = 0;
    LONG right = 0;
    LONG bottom = 0;
};

constexpr DWORD BI_RGB = 0;
constexpr DWORD BI_BITFIELDS = 3;

struct BITMAPINFOHEADER {
    DWORD biSize = 0;
    LONG biWidth = 0;
    LONG biHeight = 0;
    WORD biPlanes = 0;
    WORD biBitCount = 0;
    DWORD biCompression = 0;
    DWORD biSizeImage = 0;
    LONG biXPelsPerMeter = 0;
    LONG biYPelsPerMeter = 0;
    DWORD biClrUsed = 0;
    DWORD biClrImportant = 0;

    static constexpr ULONG kSize = 40;
    // Reads the 40-byte little-endian record at `p`.
    static BITMAPINFOHEADER Read(const BYTE* p);
    void Write(BYTE* p) const;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate = 0;
    DWORD dwBitErrorRate = 0;
    REFERENCE_TIME AvgTimePerFrame = 0;
    BITMAPINFOHEADER bmiHeader;

    static constexpr ULONG kSize = 88;
    static constexpr ULONG kHeaderOffset = 48; // offset of bmiHeader in the record
    static VIDEOINFOHEADER Read(const BYTE* p);
    void Write(BYTE* p) const;
};

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_ALAW = 6;
constexpr WORD WAVE_FORMAT_MULAW = 7;

struct WAVEFORMATEX {
    WORD wFormatTag = 0;
    WORD nChannels = 0;
    DWORD nSamplesPerSec = 0;
    DWORD nAvgBytesPerSec = 0;
    WORD nBlockAlign = 0;
    WORD wBitsPerSample = 0;
    WORD cbSize = 0;

    static constexpr ULONG kSize = 18;
    static WAVEFORMATEX Read(const BYTE* p);
    void Write(BYTE* p) const;
};

// Helpers over a media type's format block: false when the type does not carry that record.
bool GetVideoInfo(const AM_MEDIA_TYPE& mt, VIDEOINFOHEADER* out);
bool GetWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX* out);
// Writes the record into the type's format block (keeping a longer block's tail); false when out of memory.
bool SetVideoInfo(CMediaType& mt, const VIDEOINFOHEADER& vih);
bool SetWaveFormat(CMediaType& mt, const WAVEFORMATEX& wfx);

// Picture bytes of a bitmap header: rows padded to 4 bytes, times |height|.
DWORD GetBitmapSize(const BITMAPINFOHEADER& bih);

namespace media {
// "{...}" names of well-known GUIDs for descriptions ("Video", "RGB32", ...); the GUID text otherwise.
std::string GuidName(const GUID& g);
} // namespace media
