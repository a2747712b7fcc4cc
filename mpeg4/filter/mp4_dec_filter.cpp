#include "mp4_dec_filter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "common/debug.h"
#include "platform/bytes.h"
#include "platform/system.h"

namespace {

using platform::FourCC;
using platform::ReadLE16;
using platform::ReadLE32;
using platform::WriteLE32;

// Sample header tags (word 0), by the recorder family that wrote the stream.
constexpr std::uint32_t kTagPlain = 0x311F42C1;
constexpr std::uint32_t kTagKlto = FourCC("KLTO");
constexpr std::uint32_t kTagQrva = FourCC("QRVA");
constexpr std::uint32_t kTagZube = FourCC("ZUBE");
constexpr std::uint32_t kTagMoth = FourCC("MOTH");
constexpr std::uint32_t kTagWeng = FourCC("WENG");
constexpr std::uint32_t kTagFabl = FourCC("FABL");
// A 4-byte stand-in for a frame of a channel that is not shown: never decoded.
constexpr std::uint32_t kTagPlaceholder = 0x12345678;

constexpr BYTE kKeyFrame = 0x81;

// Sample header offsets.
constexpr int kHeaderWidth = 12;  // u16, tags QRVA, ZUBE, MOTH
constexpr int kHeaderHeight = 14; // u16
constexpr int kHeaderKind = 17;   // stream kind, tags 0x311F42C1 and KLTO
constexpr int kHeaderFrameType = 19;
constexpr int kHeaderDataLength = 28; // u32: MPEG-4 bytes from offset 64

// The stream probe looks at this many bytes of MPEG-4 data for the layer header.
constexpr int kProbeWindow = 64;
// Frames of a tall (two-field) picture are de-interlaced.
constexpr int kFieldHeight = 288;

bool TagCarriesKind(std::uint32_t tag) {
    return tag == kTagPlain || tag == kTagKlto;
}
bool TagCarriesSize(std::uint32_t tag) {
    return tag == kTagQrva || tag == kTagZube || tag == kTagMoth;
}
bool TagUsesOverlay(std::uint32_t tag) {
    return tag == kTagKlto || tag == kTagMoth;
}

bool ValidPictureSize(int width, int height) {
    return width > 0 && height > 0 && width <= CVTMP4DecFilter::kMaxWidth &&
           height <= CVTMP4DecFilter::kMaxHeight;
}

// Codec work of every decoder in the process, and the bitmap export, run one at a time.
CCritSec& ProcessLock() {
    static CCritSec lock;
    return lock;
}

// The filter keeps a log file but writes no lines of its own.
void OpenLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        common::DebugSetStyle(common::kTextOverlayDebugStyle); // an unopenable log leaves logging off
        common::DebugOpen("Mp4 Dec filter", "C:\\Program Files\\Scryde\\mp4.log");
        common::DebugSetLevel(3);
    });
}

// The first 64 bytes of a sample. A placeholder's length is 4 but the source writes its bytes 17 to
// 19 too, so the header is read from the buffer, not only from the data; bytes the buffer lacks read 0.
void ReadSampleHeader(IMediaSample* sample, const BYTE* data,
                      BYTE (&header)[CVTMP4DecFilter::kSampleHeaderBytes]) {
    std::memset(header, 0, sizeof header);
    LONG size = std::min<LONG>(sample->GetSize(), CVTMP4DecFilter::kSampleHeaderBytes);
    if (data && size > 0)
        std::memcpy(header, data, static_cast<std::size_t>(size));
}

void DestroyCodec(mpeg4::CMp4Codec* codec) {
    mpeg4::Destroy(codec);
}

bool SameLayout(const mp4dec::PictureLayout& a, const mp4dec::PictureLayout& b) {
    return a.width == b.width && a.height == b.height && a.stride == b.stride && a.format == b.format &&
           a.topDown == b.topDown;
}

// Reads the width and height of an MPEG-4 layer header from the start of a key frame: the data are
// scanned for start codes; a video object start code (ISO/IEC 14496-2 6.2.2, 00 00 01 00..1F) is
// followed by the layer header that the codec's probe reads; a VOP start code ends the scan.
bool ProbeStreamSize(const BYTE* data, LONG length, int* width, int* height) {
    const int window = static_cast<int>(std::min<LONG>(length, kProbeWindow));
    for (int i = 0; i + 3 < window; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1)
            continue;
        const BYTE code = data[i + 3];
        if (code == 0xB6)
            break;
        if (code > 0x1F)
            continue;
        const int available = static_cast<int>(std::min<LONG>(length - i, kProbeWindow));
        std::uint32_t packed;
        {
            CAutoLock lock(&ProcessLock());
            packed = mpeg4::ProbeSize(data + i, available);
        }
        if (packed == 0)
            continue;
        *width = static_cast<int>(packed >> 12);
        *height = static_cast<int>(packed & 0xFFF);
        return true;
    }
    return false;
}

} // namespace

// The output pin keeps the last picture readable once the allocator may free its buffers.
class CVTMP4DecOutputPin : public CTransformOutputPin {
public:
    CVTMP4DecOutputPin(CVTMP4DecFilter* filter, HRESULT* phr)
        : CTransformOutputPin("MP4 decoder output pin", filter, phr, "XForm Out"), m_decoder(filter) {}

    HRESULT Inactive() override {
        m_decoder->PreserveLastPicture();
        return CTransformOutputPin::Inactive();
    }

private:
    CVTMP4DecFilter* m_decoder;
};

CUnknown* CVTMP4DecFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    OpenLogOnce();
    auto* filter = new (std::nothrow) CVTMP4DecFilter(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CVTMP4DecFilter::CVTMP4DecFilter(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(kVTMp4DecName, outer, CLSID_VTMp4Dec, phr), m_codec(nullptr, &DestroyCodec) {
    CAutoLock lock(&ProcessLock());
    m_width = kMaxWidth;
    m_height = kMaxHeight;
    m_outputStride = kMaxWidth;
    RecreateCodec();
    // Until an input type says otherwise the picture has no size.
    m_width = 0;
    m_height = 0;
    m_outputStride = 0;
}

CVTMP4DecFilter::~CVTMP4DecFilter() {
    CAutoLock lock(&ProcessLock());
    HoldSample(nullptr);
    m_codec.reset();
}

void CVTMP4DecFilter::HoldSample(IMediaSample* sample) {
    if (sample)
        sample->AddRef();
    if (m_heldSample)
        m_heldSample->Release();
    m_heldSample = sample;
}

void CVTMP4DecFilter::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = new (std::nothrow) CTransformInputPin("MP4 decoder input pin", this, &hr, "XForm In");
    m_pOutput = new (std::nothrow) CVTMP4DecOutputPin(this, &hr);
}

HRESULT CVTMP4DecFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IVTMP4Dec)
        return GetInterface(static_cast<IVTMP4Dec*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages)
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CVTMP4DecFilter::GetPages(CAUUID* pages) {
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return S_OK;
}

// ---- Negotiation ------------------------------------------------------------------------------------------

HRESULT CVTMP4DecFilter::CheckInputType(const CMediaType* in) {
    if (!in || *in->Type() != MEDIATYPE_Stream || *in->Subtype() != MEDIASUBTYPE_VTMp4Video)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (*in->FormatType() != FORMAT_VideoInfo)
        return E_INVALIDARG;
    VIDEOINFOHEADER vih;
    if (!GetVideoInfo(*in, &vih))
        return E_INVALIDARG; // a format block too short to hold the record
    const LONG width = vih.bmiHeader.biWidth;
    const LONG height = vih.bmiHeader.biHeight;
    if (width > kMaxWidth || height > kMaxHeight || width < 0 || height < 0)
        return E_INVALIDARG;
    CAutoLock lock(&ProcessLock()); // the picture's layout changes together
    m_width = width;
    m_height = height;
    m_pendingWidth = width;
    m_pendingHeight = height;
    m_streamKind = static_cast<BYTE>(vih.dwBitErrorRate & 0xFF);
    return S_OK;
}

HRESULT CVTMP4DecFilter::SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt) {
    if (direction == PINDIR_INPUT && pmt) {
        VIDEOINFOHEADER vih;
        if (GetVideoInfo(*pmt, &vih)) {
            CAutoLock lock(&ProcessLock());
            m_width = vih.bmiHeader.biWidth;
            m_height = vih.bmiHeader.biHeight;
            m_pendingWidth = m_width;
            m_pendingHeight = m_height;
        }
    }
    return S_OK;
}

HRESULT CVTMP4DecFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
    HRESULT hr = CheckInputType(in);
    if (FAILED(hr))
        return hr;
    if (!out || *out->FormatType() != FORMAT_VideoInfo || in->FormatLength() < VIDEOINFOHEADER::kSize ||
        out->FormatLength() < VIDEOINFOHEADER::kSize)
        return E_INVALIDARG;
    const BITMAPINFOHEADER b = VIDEOINFOHEADER::Read(out->Format()).bmiHeader;
    const std::int64_t height = m_height;
    if (b.biHeight != height && b.biHeight != -height)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (b.biWidth < m_width || b.biPlanes != 1)
        return VFW_E_TYPE_NOT_ACCEPTED;
    // A picture and its trailer must be addressable with 32-bit sizes.
    if (std::int64_t(b.biWidth) * height * 4 + kVTMp4TrailerBytes > 0x7FFFFFFF)
        return VFW_E_TYPE_NOT_ACCEPTED;
    CAutoLock lock(&ProcessLock());
    m_topDown = b.biHeight < 0;
    if (m_outputReady) {
        MapOutputFormat(*out->Subtype(), false); // an unknown subtype is refused when it connects
        m_outputStride = b.biWidth;
        m_pictureBytes = std::int64_t(m_bytesPerPixel) * m_height * m_outputStride;
        RecreateCodec();
    }
    return S_OK;
}

HRESULT CVTMP4DecFilter::MapOutputFormat(const GUID& subtype, bool report) {
    const bool topDown = m_topDown;
    int code;
    int bytes;
    if (subtype == MEDIASUBTYPE_YUY2) {
        code = mpeg4::kYuy2, bytes = 2;
    } else if (subtype == MEDIASUBTYPE_UYVY) {
        code = mpeg4::kUyvy, bytes = 2;
    } else if (subtype == MEDIASUBTYPE_RGB565 || subtype == MEDIASUBTYPE_RGB555) {
        code = topDown ? mpeg4::kRgb565 : mpeg4::kRgb565BottomUp, bytes = 2;
    } else if (subtype == MEDIASUBTYPE_RGB24) {
        code = topDown ? mpeg4::kRgb24 : mpeg4::kRgb24BottomUp, bytes = 3;
    } else if (subtype == MEDIASUBTYPE_RGB32) {
        code = topDown ? mpeg4::kRgb32 : mpeg4::kRgb32BottomUp, bytes = 4;
    } else {
        if (report) {
            char text[64];
            std::snprintf(text, sizeof text, "Unsupported output color format %d",
                          static_cast<int>(subtype.Data1));
            MessageBoxA(nullptr, text, "MP4 Decoder", MB_OK);
        }
        return E_UNEXPECTED;
    }
    m_formatCode = code;
    m_bytesPerPixel = bytes;
    return S_OK;
}

bool CVTMP4DecFilter::ApplyOutputType(const CMediaType& out) {
    VIDEOINFOHEADER vih;
    if (!GetVideoInfo(out, &vih))
        return false;
    m_topDown = vih.bmiHeader.biHeight < 0;
    m_outputStride = vih.bmiHeader.biWidth;
    return true;
}

HRESULT CVTMP4DecFilter::CompleteConnect(PIN_DIRECTION direction, IPin*) {
    if (direction != PINDIR_OUTPUT)
        return S_OK;
    const CMediaType& mt = m_pOutput->CurrentMediaType();
    CAutoLock lock(&ProcessLock());
    ApplyOutputType(mt);
    HRESULT hr = MapOutputFormat(*mt.Subtype(), true);
    m_pictureBytes = std::int64_t(m_bytesPerPixel) * m_height * m_outputStride;
    RecreateCodec();
    m_outputReady = true;
    return hr;
}

HRESULT CVTMP4DecFilter::BreakConnect(PIN_DIRECTION direction) {
    if (direction == PINDIR_OUTPUT) {
        PreserveLastPicture(); // the allocator goes with the connection
        m_outputReady = false;
    }
    return S_OK;
}

HRESULT CVTMP4DecFilter::GetMediaType(int position, CMediaType* pmt) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 1)
        return VFW_S_NO_MORE_ITEMS;
    if (!pmt)
        return E_POINTER;
    const LONG width = m_width;
    const LONG height = m_height;
    const int bytes = position == 0 ? 4 : 3;
    const ULONG image = static_cast<ULONG>(width) * static_cast<ULONG>(height) * static_cast<ULONG>(bytes);
    pmt->ResetFormatBuffer(); // a type handed in again keeps no earlier block
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Video);
    pmt->SetSubtype(position == 0 ? &MEDIASUBTYPE_RGB32 : &MEDIASUBTYPE_RGB24);
    pmt->SetFormatType(&FORMAT_VideoInfo);
    pmt->SetSampleSize(image);
    VIDEOINFOHEADER vih;
    vih.rcSource = {0, 0, width, height};
    vih.rcTarget = vih.rcSource;
    vih.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height; // positive: a bottom-up picture
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = static_cast<WORD>(bytes * 8);
    vih.bmiHeader.biSizeImage = image;
    if (!pmt->AllocFormatBuffer(VIDEOINFOHEADER::kSize))
        return E_OUTOFMEMORY;
    vih.Write(pmt->Format());
    return S_OK;
}

HRESULT CVTMP4DecFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (!allocator || !request)
        return E_POINTER;
    const std::int64_t picture = m_pictureBytes;
    if (picture == 0)
        return E_UNEXPECTED;
    // Room for the trailer behind the picture: a row's worth at the usual widths, and never less than
    // the trailer itself for narrow pictures.
    request->cBuffers = 2; // one is held as the last picture while the next one is decoded
    request->cbBuffer = static_cast<LONG>(picture + std::max<int>(m_outputStride, kVTMp4TrailerBytes));
    request->cbPrefix = 0;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer)
        return E_FAIL;
    return S_OK;
}

// ---- Codec
// -------------------------------------------------------------------------------------------------

void CVTMP4DecFilter::RecreateCodec() {
    m_codec.reset();
    m_lastPicture = nullptr; // the picture's layout may have changed with the codec
    HoldSample(nullptr);
    m_codecWidth = m_width;
    m_codecHeight = m_height;
    mpeg4::CMp4Codec* codec = nullptr;
    if (mpeg4::Create(m_codecWidth, m_codecHeight, &codec) == mpeg4::kOk)
        m_codec.reset(codec);
    m_params = mpeg4::DecodeParams{};
    m_params.width = m_codecWidth;
    m_params.height = m_codecHeight;
    // Tall pictures hold two fields; field pictures are shown as they are.
    m_params.deinterlace = m_codecHeight > kFieldHeight ? mpeg4::kDeinterlaceBlend : mpeg4::kDeinterlaceNone;
}

mp4dec::PictureLayout CVTMP4DecFilter::Layout() const {
    return {m_width.load(), m_height.load(), m_outputStride.load(), m_formatCode.load(), m_topDown.load()};
}

void CVTMP4DecFilter::PreserveLastPicture() {
    CAutoLock lock(&ProcessLock());
    if (!m_lastPicture || m_lastPicture == m_savedPicture.data())
        return;
    const std::int64_t bytes = mp4dec::PictureBytes(m_lastLayout);
    m_savedPicture.assign(m_lastPicture, m_lastPicture + bytes);
    m_lastPicture = m_savedPicture.data();
    HoldSample(nullptr);
}

// ---- Streaming
// ---------------------------------------------------------------------------------------------

HRESULT CVTMP4DecFilter::Receive(IMediaSample* sample) {
    HRESULT hr = InspectSample(sample);
    if (FAILED(hr))
        return hr;
    return CTransformFilter::Receive(sample);
}

HRESULT CVTMP4DecFilter::InspectSample(IMediaSample* sample) {
    BYTE* data = nullptr;
    HRESULT hr = sample->GetPointer(&data);
    if (FAILED(hr))
        return hr;
    BYTE header[kSampleHeaderBytes];
    ReadSampleHeader(sample, data, header);
    const std::uint32_t tag = ReadLE32(header);

    if (TagCarriesKind(tag) && header[kHeaderKind] != m_streamKind) {
        m_streamKind = header[kHeaderKind];
        m_changePending = true;
    }
    if (TagCarriesSize(tag)) {
        const int width = ReadLE16(header + kHeaderWidth);
        const int height = ReadLE16(header + kHeaderHeight);
        // A size no recorder writes is damage, not a change.
        if ((width != m_width || height != m_height) && ValidPictureSize(width, height)) {
            m_changePending = true;
            m_pendingWidth = width;
            m_pendingHeight = height;
        }
    }

    const bool keyFrame = header[kHeaderFrameType] == kKeyFrame;
    if (m_changePending && keyFrame) {
        if (TagCarriesKind(tag)) {
            const LONG length = sample->GetActualDataLength() - kSampleHeaderBytes;
            int width = 0;
            int height = 0;
            if (length > 0 && ProbeStreamSize(data + kSampleHeaderBytes, length, &width, &height) &&
                ValidPictureSize(width, height)) {
                m_pendingWidth = width;
                m_pendingHeight = height;
            }
        }
        {
            CAutoLock lock(&ProcessLock());
            m_width = m_pendingWidth;
            m_height = m_pendingHeight;
            if (m_outputReady) {
                m_outputStride = m_width.load();
                m_pictureBytes = std::int64_t(m_bytesPerPixel) * m_height * m_outputStride;
                RecreateCodec();
                if (TagCarriesSize(tag) && m_codec)
                    mpeg4::SetHeaderPresets(m_codec.get(), m_height > kFieldHeight, 30000, 5, 1, 0);
            }
        }
        hr = RenegotiateOutput(tag);
        m_changePending = false;
        if (FAILED(hr))
            return hr;
    }

    m_waitingForKeyFrame = ((m_changePending || m_waitingForKeyFrame) && !keyFrame) || tag == kTagPlaceholder;
    return S_OK;
}

HRESULT CVTMP4DecFilter::SetOverlayLayout(ICaptiva* overlay) {
    const int width = m_width;
    const int height = m_height;
    int result = 0;
    HRESULT hr = overlay->SetVideoSize(width, height, static_cast<int>(m_pictureBytes.load()), &result);
    // Status lines from the bottom up, the title line near the top; tall pictures get larger text.
    const bool field = height <= kFieldHeight;
    const int x = width <= 352 ? 20 : 40;
    const int rows[5] = {
        height - (field ? 32 : 64),  height - (field ? 48 : 96), height - (field ? 64 : 128), field ? 22 : 54,
        height - (field ? 80 : 160),
    };
    char empty[1] = {0};
    for (UINT line = 0; line < 5; ++line) {
        overlay->SetTextPosition(line, x, rows[line]);
        overlay->SetText(line, empty, 0);
    }
    LOGFONTA font{};
    font.lfHeight = field ? -16 : -32;
    font.lfWidth = width <= 352 ? 10 : 20;
    font.lfWeight = 400;
    font.lfCharSet = 1;
    font.lfQuality = 1;
    font.lfPitchAndFamily = 1;
    std::snprintf(font.lfFaceName, sizeof font.lfFaceName, "%s", "Lucida Console");
    overlay->SetFont(font);
    return hr;
}

HRESULT CVTMP4DecFilter::RenegotiateOutput(std::uint32_t tag) {
    if (!m_pOutput || !m_pOutput->IsConnected())
        return S_OK;
    const LONG width = m_width;
    const LONG height = m_height;
    const std::int64_t picture = m_pictureBytes;
    HRESULT hr;
    ICaptiva* overlay = m_overlay;
    if (TagUsesOverlay(tag) && overlay) {
        hr = SetOverlayLayout(overlay);
    } else {
        // Without an overlay the new size goes to the downstream pin as a new type.
        CMediaType mt = m_pOutput->CurrentMediaType();
        VIDEOINFOHEADER vih;
        if (!GetVideoInfo(mt, &vih))
            return E_UNEXPECTED;
        mt.SetSampleSize(static_cast<ULONG>(picture));
        vih.rcSource = {0, 0, width, height};
        vih.rcTarget = vih.rcSource;
        vih.bmiHeader.biWidth = width;
        // The row order stays what the codec writes.
        vih.bmiHeader.biHeight = m_topDown ? -height : height;
        vih.bmiHeader.biSizeImage = static_cast<DWORD>(picture);
        vih.Write(mt.Format());
        hr = m_pOutput->GetConnected()->ReceiveConnection(m_pOutput, &mt);
        if (SUCCEEDED(hr))
            m_pOutput->SetMediaType(&mt);
    }
    if (FAILED(hr))
        return hr;
    IMemAllocator* allocator = m_pOutput->Allocator();
    IMemInputPin* pin = m_pOutput->ConnectedInputPin();
    if (!allocator || !pin)
        return hr;
    HRESULT ar = allocator->Decommit();
    if (FAILED(ar))
        return ar;
    ALLOCATOR_PROPERTIES props{};
    pin->GetAllocatorRequirements(&props);
    if (props.cbAlign == 0)
        props.cbAlign = 1;
    ar = DecideBufferSize(allocator, &props);
    if (SUCCEEDED(ar))
        ar = allocator->Commit();
    if (SUCCEEDED(ar))
        ar = pin->NotifyAllocator(allocator, FALSE);
    return FAILED(ar) ? ar : hr;
}

void CVTMP4DecFilter::FillTrailer(std::uint32_t tag, const BYTE* header, const BYTE* sample, LONG length,
                                  BYTE* trailer) const {
    if (tag == kTagPlain || tag == kTagQrva || tag == kTagZube) {
        std::memcpy(trailer, header, 32);
        return;
    }
    if (tag != kTagKlto && tag != kTagFabl && tag != kTagWeng)
        return;
    if (length < kStatusRecordBytes)
        return; // no status record to pass on
    const BYTE* status = sample + length - kStatusRecordBytes;
    if (tag == kTagWeng) {
        std::memcpy(trailer, status, 64);
        WriteLE32(trailer + 44, ReadLE32(header + 0));
        WriteLE32(trailer + 48, ReadLE32(header + 4));
        WriteLE32(trailer + 52, ReadLE32(header + 20));
        WriteLE32(trailer + 56, ReadLE32(header + 24));
        WriteLE32(trailer + 60, ReadLE32(header + 28));
    } else {
        std::memcpy(trailer, status, kStatusRecordBytes);
        WriteLE32(trailer + 22, ReadLE32(header + 0));
        WriteLE32(trailer + 26, ReadLE32(header + 4));
    }
}

HRESULT CVTMP4DecFilter::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE* src = nullptr;
    BYTE* dst = nullptr;
    HRESULT hr = in->GetPointer(&src);
    if (FAILED(hr))
        return hr;
    hr = out->GetPointer(&dst);
    if (FAILED(hr))
        return hr;
    // One reading of the layout sizes, fills and exports this picture.
    const mp4dec::PictureLayout layout = Layout();
    const std::int64_t picture = mp4dec::PictureBytes(layout);
    // The picture and its trailer must both fit.
    if (out->GetSize() < picture + kVTMp4TrailerBytes) {
        m_waitingForKeyFrame = true;
        return S_FALSE;
    }
    BYTE header[kSampleHeaderBytes];
    ReadSampleHeader(in, src, header);
    const LONG length = in->GetActualDataLength();
    const std::int64_t blankPixels = std::int64_t(layout.stride) * layout.height;
    {
        CAutoLock lock(&ProcessLock());
        bool decoded = false;
        if (!m_waitingForKeyFrame) {
            if (!m_codec) {
                MessageBoxA(nullptr, "Decoder NULL\n", "Veltrix MPEG4 Decoder Filter Error", MB_ICONERROR);
                hr = HRESULT_FROM_WIN32(GetLastError());
                // Never deliver a buffer nothing was written into.
                return FAILED(hr) ? hr : E_UNEXPECTED;
            }
            // The stated length never reaches past the sample's data.
            const LONG available = length - kSampleHeaderBytes;
            const LONG stated = static_cast<LONG>(ReadLE32(header + kHeaderDataLength) & 0x7FFFFFFF);
            // The codec writes its own size's rows; they must be the buffer's.
            const bool fits = m_codecWidth == layout.width && m_codecHeight == layout.height &&
                              layout.stride >= m_codecWidth && picture > 0;
            if (available > 0 && fits) {
                m_params.data = src + kSampleHeaderBytes;
                m_params.length = std::min(stated, available);
                m_params.output = dst;
                m_params.format = layout.format;
                m_params.stride = layout.stride;
                decoded = mpeg4::DecodeFrame(m_codec.get(), m_params) == mpeg4::kOk;
            }
            if (decoded) {
                FillTrailer(ReadLE32(header), header, src, length, dst + picture);
                ++m_decodedFrames;
            } else {
                // Damaged data: blank pictures until the next key frame rebuilds the reference.
                m_waitingForKeyFrame = true;
            }
        }
        if (!decoded)
            mp4dec::FillBlankPicture(dst, mp4dec::FormatBytesPerPixel(layout.format), blankPixels);
        m_lastPicture = dst;
        m_lastLayout = layout;
        HoldSample(out);
    }

    out->SetActualDataLength(static_cast<LONG>(picture + kVTMp4TrailerBytes));
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    if (in->GetTime(&start, &stop) == S_OK)
        out->SetTime(&start, &stop);
    out->SetSyncPoint(TRUE);
    hr = in->IsDiscontinuity();
    if (hr == S_OK)
        out->SetDiscontinuity(TRUE);
    else if (hr == S_FALSE)
        out->SetDiscontinuity(FALSE);
    else
        return E_UNEXPECTED;
    return S_OK;
}

// ---- IVTMP4Dec
// ---------------------------------------------------------------------------------------------

HRESULT CVTMP4DecFilter::GetPictureInfo(int* width, int* height, int* bitmapBytes) {
    mp4dec::PictureLayout layout;
    {
        CAutoLock lock(&ProcessLock()); // a layout read whole, never half before a change
        layout = Layout();
    }
    if (width)
        *width = layout.width;
    if (height)
        *height = layout.height;
    if (bitmapBytes)
        *bitmapBytes = static_cast<int>(mp4dec::PictureBitmapBytes(layout));
    return S_OK;
}

HRESULT CVTMP4DecFilter::GetPictureBitmap(BYTE* buffer) {
    if (!buffer)
        return E_POINTER;
    CAutoLock lock(&ProcessLock());
    // The image has the size GetPictureInfo reports now; a picture kept from before a change of
    // layout no longer fits it and is left out.
    const mp4dec::PictureLayout layout = Layout();
    const bool current = m_lastPicture && SameLayout(m_lastLayout, layout);
    mp4dec::WritePictureBitmap(layout, current ? m_lastPicture : nullptr, buffer);
    return S_OK;
}

HRESULT CVTMP4DecFilter::SetOverlayControl(void* overlay) {
    m_overlay = static_cast<ICaptiva*>(overlay);
    return S_OK;
}
