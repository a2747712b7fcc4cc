// "MJPEG Compressor": RGB32 or RGB24 pictures in, one baseline JPEG image per sample out (Video/MJPG),
// encoded by libturbojpeg. Listed in the video-compressor category.
#include <algorithm>
#include <mutex>
#include <new>

#include <turbojpeg.h>

#include "media/clsids.h"
#include "media/streams.h"
#include "stock.h"

namespace {

constexpr int kQuality = 85;
constexpr LONG kMaxSide = 8192; // larger pictures are refused before any buffer is sized for them

class CMjpegCompressor : public CTransformFilter {
public:
    CMjpegCompressor(LPUNKNOWN outer, HRESULT* phr)
        : CTransformFilter("MJPEG Compressor", outer, CLSID_MJPGEnc, phr), m_tj(tjInitCompress()) {
        if (!m_tj && phr)
            *phr = E_OUTOFMEMORY;
    }
    ~CMjpegCompressor() override {
        if (m_tj)
            tjDestroy(m_tj);
    }

    HRESULT CheckInputType(const CMediaType* in) override {
        if (*in->Type() != MEDIATYPE_Video ||
            (*in->Subtype() != MEDIASUBTYPE_RGB32 && *in->Subtype() != MEDIASUBTYPE_RGB24))
            return VFW_E_TYPE_NOT_ACCEPTED;
        VIDEOINFOHEADER vih;
        if (!GetVideoInfo(*in, &vih))
            return VFW_E_TYPE_NOT_ACCEPTED;
        LONG w = vih.bmiHeader.biWidth;
        LONG h = std::abs(vih.bmiHeader.biHeight);
        if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide)
            return VFW_E_TYPE_NOT_ACCEPTED;
        return S_OK;
    }

    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
        HRESULT hr = CheckInputType(in);
        if (FAILED(hr))
            return hr;
        VIDEOINFOHEADER vi;
        VIDEOINFOHEADER vo;
        if (*out->Type() != MEDIATYPE_Video || *out->Subtype() != MEDIASUBTYPE_MJPG ||
            !GetVideoInfo(*out, &vo))
            return VFW_E_TYPE_NOT_ACCEPTED;
        GetVideoInfo(*in, &vi);
        if (vo.bmiHeader.biWidth != vi.bmiHeader.biWidth ||
            std::abs(vo.bmiHeader.biHeight) != std::abs(vi.bmiHeader.biHeight))
            return VFW_E_TYPE_NOT_ACCEPTED;
        return S_OK;
    }

    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        if (!m_pInput->IsConnected())
            return VFW_E_NOT_CONNECTED;
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        VIDEOINFOHEADER in;
        GetVideoInfo(m_pInput->CurrentMediaType(), &in);
        VIDEOINFOHEADER out;
        LONG w = in.bmiHeader.biWidth;
        LONG h = std::abs(in.bmiHeader.biHeight);
        out.rcSource = out.rcTarget = RECT{0, 0, w, h};
        out.AvgTimePerFrame = in.AvgTimePerFrame;
        out.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
        out.bmiHeader.biWidth = w;
        out.bmiHeader.biHeight = h;
        out.bmiHeader.biPlanes = 1;
        out.bmiHeader.biBitCount = 24;
        out.bmiHeader.biCompression = MAKEFOURCC('M', 'J', 'P', 'G');
        out.bmiHeader.biSizeImage = static_cast<DWORD>(w * h * 3);
        pmt->InitMediaType();
        pmt->SetType(&MEDIATYPE_Video);
        pmt->SetSubtype(&MEDIASUBTYPE_MJPG);
        pmt->AllocFormatBuffer(VIDEOINFOHEADER::kSize);
        SetVideoInfo(*pmt, out);
        pmt->SetVariableSize();
        pmt->SetTemporalCompression(FALSE);
        return S_OK;
    }

    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        VIDEOINFOHEADER in;
        if (!GetVideoInfo(m_pInput->CurrentMediaType(), &in))
            return VFW_E_NOT_CONNECTED;
        unsigned long bound = tjBufSize(in.bmiHeader.biWidth, std::abs(in.bmiHeader.biHeight), TJSAMP_420);
        request->cBuffers = std::max<LONG>(request->cBuffers, 1);
        request->cbBuffer = std::max<LONG>(request->cbBuffer, static_cast<LONG>(bound));
        request->cbAlign = std::max<LONG>(request->cbAlign, 1);
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return (actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer) ? E_FAIL : S_OK;
    }

    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        VIDEOINFOHEADER vih;
        GetVideoInfo(m_pInput->CurrentMediaType(), &vih);
        const BITMAPINFOHEADER& bih = vih.bmiHeader;
        int bytesPerPixel = bih.biBitCount / 8;
        LONG w = bih.biWidth;
        LONG h = std::abs(bih.biHeight);
        int pitch = static_cast<int>((w * bytesPerPixel + 3) & ~3);
        BYTE* src = nullptr;
        BYTE* dst = nullptr;
        in->GetPointer(&src);
        out->GetPointer(&dst);
        if (in->GetActualDataLength() < pitch * h)
            return S_FALSE; // a short picture is dropped
        unsigned long size = static_cast<unsigned long>(out->GetSize());
        int flags = TJFLAG_NOREALLOC | (bih.biHeight > 0 ? TJFLAG_BOTTOMUP : 0);
        int rc;
        {
            std::lock_guard lock(m_tjMutex);
            rc = tjCompress2(m_tj, src, w, pitch, h, bytesPerPixel == 4 ? TJPF_BGRX : TJPF_BGR, &dst, &size,
                             TJSAMP_420, kQuality, flags);
        }
        if (rc != 0)
            return E_FAIL;
        out->SetActualDataLength(static_cast<LONG>(size));
        out->SetSyncPoint(TRUE);
        return S_OK;
    }

private:
    std::mutex m_tjMutex;
    tjhandle m_tj;
};

} // namespace

CUnknown* CreateMjpegCompressor(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CMjpegCompressor(outer, phr);
}
