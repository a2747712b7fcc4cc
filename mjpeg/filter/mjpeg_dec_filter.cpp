#include "mjpeg_dec_filter.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "common/debug.h"
#include "vtmjpegdec.h"

namespace {

// Decodes of every instance in the process run one at a time.
CCritSec& DecodeLock() {
    static CCritSec lock;
    return lock;
}

// The filter keeps a log file but writes no lines of its own.
void OpenLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        common::DebugSetStyle(common::kTextOverlayDebugStyle); // no standard-error fallback
        common::DebugOpen("MJPG Dec filter", "C:\\Program Files\\Scryde\\mjpg.log");
        common::DebugSetLevel(3);
    });
}

} // namespace

CUnknown* CVTMJPEGDecFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    OpenLogOnce();
    auto* filter = new (std::nothrow) CVTMJPEGDecFilter(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CVTMJPEGDecFilter::CVTMJPEGDecFilter(LPUNKNOWN outer, HRESULT* phr)
    : CTransformFilter(kVTMjpegDecName, outer, CLSID_VTMjpegDec, phr),
      m_stream(std::make_unique<mjpeg::jpeg_decoder_memory_stream>()) {}

CVTMJPEGDecFilter::~CVTMJPEGDecFilter() = default;

HRESULT CVTMJPEGDecFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_ISpecifyPropertyPages)
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CVTMJPEGDecFilter::GetPages(CAUUID* pages) {
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return S_OK;
}

HRESULT CVTMJPEGDecFilter::CheckInputType(const CMediaType* in) {
    if (!in || *in->Type() != MEDIATYPE_Video || *in->Subtype() != MEDIASUBTYPE_MJPG ||
        *in->FormatType() != FORMAT_VideoInfo)
        return VFW_E_TYPE_NOT_ACCEPTED;
    VIDEOINFOHEADER vih;
    if (!GetVideoInfo(*in, &vih))
        return VFW_E_TYPE_NOT_ACCEPTED; // a format block too short to hold the record
    // Kept even when the size is then refused.
    m_inputWidth = vih.bmiHeader.biWidth;
    m_inputHeight = vih.bmiHeader.biHeight;
    if (m_inputWidth > kMaxWidth || m_inputHeight > kMaxHeight || m_inputWidth < 0 || m_inputHeight < 0)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CVTMJPEGDecFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
    // A refused pair leaves the sizes of the pair accepted before, so the frames decoded under that
    // pair keep their widths.
    const LONG keptWidth = m_inputWidth, keptHeight = m_inputHeight;
    HRESULT hr = CheckOutputFor(in, out);
    if (FAILED(hr)) {
        m_inputWidth = keptWidth;
        m_inputHeight = keptHeight;
    }
    return hr;
}

HRESULT CVTMJPEGDecFilter::CheckOutputFor(const CMediaType* in, const CMediaType* out) {
    HRESULT hr = CheckInputType(in);
    if (FAILED(hr))
        return hr;
    if (!out || in->FormatLength() < VIDEOINFOHEADER::kSize || out->FormatLength() < VIDEOINFOHEADER::kSize)
        return VFW_E_BUFFER_OVERFLOW;
    VIDEOINFOHEADER vout = VIDEOINFOHEADER::Read(out->Format());
    const BITMAPINFOHEADER& b = vout.bmiHeader;
    if (static_cast<std::int64_t>(b.biHeight) + m_inputHeight != 0 && b.biHeight != m_inputHeight)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (b.biWidth < m_inputWidth || b.biPlanes != 1)
        return VFW_E_TYPE_NOT_ACCEPTED;
    // The frame must be addressable with 32-bit sizes.
    std::int64_t frame = std::int64_t(b.biWidth) * m_inputHeight * 4;
    if (frame > 0x7FFFFFFF)
        return VFW_E_TYPE_NOT_ACCEPTED;
    m_outputTopDown = b.biHeight < 0;
    m_outputStride = b.biWidth;
    m_decodeWidth = m_inputWidth;
    m_frameSize = static_cast<LONG>(frame);
    return S_OK;
}

HRESULT CVTMJPEGDecFilter::GetMediaType(int position, CMediaType* pmt) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    if (!pmt)
        return E_POINTER;
    ULONG image = static_cast<ULONG>(m_inputWidth) * static_cast<ULONG>(m_inputHeight) * 4;
    pmt->ResetFormatBuffer(); // the caller may hand over a type that still holds a format block
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Video);
    pmt->SetSubtype(&MEDIASUBTYPE_RGB32);
    pmt->SetFormatType(&FORMAT_VideoInfo);
    pmt->SetSampleSize(image);
    pmt->SetTemporalCompression(FALSE);
    VIDEOINFOHEADER vih;
    vih.rcSource = {0, 0, m_inputWidth, m_inputHeight};
    vih.rcTarget = vih.rcSource;
    vih.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
    vih.bmiHeader.biWidth = m_inputWidth;
    vih.bmiHeader.biHeight = m_inputHeight; // positive: a bottom-up picture
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biCompression = BI_RGB;
    vih.bmiHeader.biSizeImage = image;
    if (!pmt->AllocFormatBuffer(VIDEOINFOHEADER::kSize))
        return E_OUTOFMEMORY;
    vih.Write(pmt->Format());
    return S_OK;
}

HRESULT CVTMJPEGDecFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    if (!allocator || !request)
        return E_POINTER;
    request->cBuffers = 1;
    request->cbBuffer = m_frameSize;
    request->cbPrefix = 0;
    if (m_frameSize == 0)
        return VFW_E_SIZENOTSET;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < 1 || actual.cbBuffer < m_frameSize)
        return E_FAIL;
    return S_OK;
}

void CVTMJPEGDecFilter::DecodeInto(const BYTE* data, LONG length, BYTE* out) {
    m_stream->open(data, length);
    mjpeg::jpeg_decoder decoder(m_stream.get());
    if (decoder.begin_decoding() != 0)
        return;
    const std::int64_t rowBytes = std::int64_t(m_outputStride) * 4;
    const std::int64_t lastRow = std::int64_t(m_frameSize) - rowBytes;
    std::int64_t offset = m_outputTopDown ? 0 : lastRow;
    const bool colour = decoder.get_num_components() == 3;
    // A picture narrower than the declared input stops each row at the end of its own line, and no
    // row ever runs past the output row it is written into.
    const int pixels = std::min({m_decodeWidth, static_cast<LONG>(decoder.get_width()), m_outputStride});
    for (;;) {
        if (m_outputTopDown ? offset > lastRow : offset < 0)
            break; // rows the buffer cannot hold are never decoded
        const void* line = nullptr;
        std::uint32_t lineBytes = 0;
        if (decoder.decode(&line, &lineBytes) != 0)
            break;
        if (!colour)
            continue; // a greyscale picture is drained, not written
        const BYTE* src = static_cast<const BYTE*>(line);
        BYTE* dst = out + offset;
        const int n = std::min<int>(pixels, static_cast<int>(lineBytes / 4));
        for (int x = 0; x < n; ++x) {
            dst[4 * x + 0] = src[4 * x + 2];
            dst[4 * x + 1] = src[4 * x + 1];
            dst[4 * x + 2] = src[4 * x + 0];
        }
        offset += m_outputTopDown ? rowBytes : -rowBytes;
    }
}

HRESULT CVTMJPEGDecFilter::Transform(IMediaSample* in, IMediaSample* out) {
    BYTE* src = nullptr;
    BYTE* dst = nullptr;
    HRESULT hr = in->GetPointer(&src);
    if (FAILED(hr))
        return hr;
    hr = out->GetPointer(&dst);
    if (FAILED(hr))
        return hr;
    if (out->GetSize() < m_frameSize)
        return VFW_E_BUFFER_OVERFLOW;
    LONG length = in->GetActualDataLength();

    CAutoLock lock(&DecodeLock());
    if (m_frameSize > 0)
        DecodeInto(src, length, dst);
    out->SetActualDataLength(m_frameSize);
    out->SetSyncPoint(FALSE);
    hr = in->IsDiscontinuity();
    if (hr == S_OK)
        out->SetDiscontinuity(TRUE);
    else if (hr == S_FALSE)
        out->SetDiscontinuity(FALSE);
    else
        return E_UNEXPECTED;
    return S_OK;
}

HRESULT CVTMJPEGDecFilter::Receive(IMediaSample* sample) {
    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(sample, &out);
    if (FAILED(hr))
        return hr;
    hr = Transform(sample, out);
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(out);
        m_bSampleSkipped = false;
    }
    out->Release();
    return hr;
}
