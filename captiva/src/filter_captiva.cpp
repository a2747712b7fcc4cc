#include "captiva/filter_captiva.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/system.h"

namespace {

std::shared_ptr<COverlayController> MakeController(int type, CCritSec* lock) {
    if (type == kOverlaySystemTime)
        return std::make_shared<CSysTimeOverlayController>(lock);
    // Type 0 keeps a text controller too, so the settings can be made before the overlay is switched on.
    return std::make_shared<COverlayController>(lock);
}

// The input pin also takes a new format from the pin it is connected to, while connected, as renderers do,
// so an upstream decoder can change the picture size mid-stream.
class CCaptivaInputPin final : public CTransInPlaceInputPin {
public:
    CCaptivaInputPin(CFilterCaptiva* filter, HRESULT* phr)
        : CTransInPlaceInputPin("Text overlay input pin", filter, phr, "Input"), m_pCaptiva(filter) {}

    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override {
        if (connector && pmt && IsConnected() && GetConnected() == connector) {
            CMediaType mt(*pmt);
            if (mt == CurrentMediaType())
                return S_OK;
            return m_pCaptiva->ChangeFormat(mt);
        }
        return CTransInPlaceInputPin::ReceiveConnection(connector, pmt);
    }

private:
    CFilterCaptiva* m_pCaptiva;
};

} // namespace

CUnknown* CFilterCaptiva::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    auto* filter = new (std::nothrow) CFilterCaptiva(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CFilterCaptiva::CFilterCaptiva(LPUNKNOWN outer, HRESULT* phr)
    : CTransInPlaceFilter(kCaptivaName, outer, CLSID_FilterCaptiva, phr),
      m_controller(MakeController(kOverlayStatic, &m_csCaptiva)) {}

CFilterCaptiva::~CFilterCaptiva() = default;

void CFilterCaptiva::CreatePins() {
    HRESULT hr = S_OK;
    m_pInput = new (std::nothrow) CCaptivaInputPin(this, &hr);
    m_pOutput = new (std::nothrow) CTransInPlaceOutputPin("Text overlay output pin", this, &hr, "Output");
}

HRESULT CFilterCaptiva::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_ICaptiva)
        return GetInterface(static_cast<ICaptiva*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages)
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    return CTransInPlaceFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CFilterCaptiva::GetPages(CAUUID* pages) {
    if (!pages)
        return E_POINTER;
    pages->cElems = 1;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pages->pElems) {
        pages->cElems = 0;
        return E_OUTOFMEMORY;
    }
    pages->pElems[0] = CLSID_CaptivaPropertyPage;
    return S_OK;
}

std::shared_ptr<COverlayController> CFilterCaptiva::Controller() {
    CAutoLock lock(&m_csCaptiva);
    return m_controller;
}

// ---- Media types and streaming ---------------------------------------------------------------------------

HRESULT CFilterCaptiva::CheckInputType(const CMediaType* in) {
    if (!in || *in->Type() != MEDIATYPE_Video)
        return E_INVALIDARG;
    const GUID& s = *in->Subtype();
    if (s == MEDIASUBTYPE_RGB32 || s == MEDIASUBTYPE_RGB24 || s == MEDIASUBTYPE_RGB555 ||
        s == MEDIASUBTYPE_RGB565)
        return S_OK;
    return E_INVALIDARG;
}

HRESULT CFilterCaptiva::ConfigureLocked(COverlayController& controller) {
    if (!m_pInput || !m_pInput->IsConnected())
        return S_OK;
    bool known = false;
    HRESULT hr = controller.Configure(m_pInput->CurrentMediaType(), &known);
    if (SUCCEEDED(hr))
        m_frameRateUnknown = !known;
    return hr;
}

HRESULT CFilterCaptiva::CompleteConnect(PIN_DIRECTION dir, IPin* receivePin) {
    if (dir == PINDIR_INPUT) {
        CAutoLock lock(&m_csCaptiva);
        HRESULT hr = ConfigureLocked(*m_controller);
        if (FAILED(hr))
            return hr;
    }
    return CTransInPlaceFilter::CompleteConnect(dir, receivePin);
}

HRESULT CFilterCaptiva::Transform(IMediaSample* sample) {
    std::shared_ptr<COverlayController> controller;
    int type = kOverlayNone;
    {
        CAutoLock lock(&m_csCaptiva);
        // A format change travelling with the sample applies from this picture on.
        AM_MEDIA_TYPE* carried = nullptr;
        if (sample->GetMediaType(&carried) == S_OK && carried) {
            CMediaType mt(*carried);
            DeleteMediaType(carried);
            if (CheckInputType(&mt) == S_OK) {
                bool known = false;
                if (SUCCEEDED(m_controller->Configure(mt, &known)))
                    m_frameRateUnknown = !known;
            }
        }
        if (m_frameRateUnknown) {
            m_frameRateUnknown = false;
            REFERENCE_TIME start = 0;
            REFERENCE_TIME stop = 0;
            double fps = 25.0;
            if (sample->GetTime(&start, &stop) == S_OK && stop > start)
                fps = 10000000.0 / double(stop - start);
            m_controller->SetFrameRate(fps);
        }
        controller = m_controller;
        type = m_overlayType;
    }
    if (type != kOverlayNone) {
        BYTE* data = nullptr;
        if (SUCCEEDED(sample->GetPointer(&data)) && data)
            controller->Draw(data, sample->GetSize());
    }
    return S_OK;
}

// ---- ICaptiva --------------------------------------------------------------------------------------------

HRESULT CFilterCaptiva::SetOverlayType(int type) {
    CAutoLock lock(&m_csCaptiva);
    char text[32];
    std::snprintf(text, sizeof(text), "OverlayType:%d", type);
    OutputDebugStringA(text);
    if (type != m_overlayType) {
        auto controller = MakeController(type, &m_csCaptiva);
        ConfigureLocked(*controller);
        m_controller = std::move(controller);
        m_overlayType = type;
    }
    return S_OK;
}

HRESULT CFilterCaptiva::GetOverlayType(int* type) {
    if (!type)
        return E_POINTER;
    CAutoLock lock(&m_csCaptiva);
    *type = m_overlayType;
    return S_OK;
}

HRESULT CFilterCaptiva::SetDrawMode(int paint) {
    CAutoLock lock(&m_csCaptiva);
    m_controller->SetDrawMode(paint);
    return S_OK;
}

HRESULT CFilterCaptiva::GetDrawMode(int* paint) {
    if (!paint)
        return E_POINTER;
    CAutoLock lock(&m_csCaptiva);
    *paint = m_controller->GetDrawMode();
    return S_OK;
}

HRESULT CFilterCaptiva::SetText(UINT index, char* text, int length) {
    CAutoLock lock(&m_csCaptiva);
    return m_controller->SetText(index, text, length);
}

HRESULT CFilterCaptiva::GetText(UINT index, char* buffer, int* size) {
    CAutoLock lock(&m_csCaptiva);
    return m_controller->GetText(index, buffer, size);
}

HRESULT CFilterCaptiva::SetColor(BYTE red, BYTE green, BYTE blue) {
    CAutoLock lock(&m_csCaptiva);
    m_controller->SetColor(red, green, blue);
    return S_OK;
}

HRESULT CFilterCaptiva::GetColor(BYTE* red, BYTE* green, BYTE* blue) {
    if (!red || !green || !blue)
        return E_POINTER;
    CAutoLock lock(&m_csCaptiva);
    m_controller->GetColor(red, green, blue);
    return S_OK;
}

HRESULT CFilterCaptiva::SetTextPosition(UINT index, int x, int y) {
    CAutoLock lock(&m_csCaptiva);
    return m_controller->SetTextPosition(index, x, y);
}

HRESULT CFilterCaptiva::GetTextPosition(UINT index, int* xy) {
    CAutoLock lock(&m_csCaptiva);
    return m_controller->GetTextPosition(index, xy);
}

HRESULT CFilterCaptiva::SetFont(LOGFONTA font) {
    CAutoLock lock(&m_csCaptiva);
    m_controller->SetFont(font);
    return S_OK;
}

HRESULT CFilterCaptiva::GetFont(LOGFONTA* font) {
    if (!font)
        return E_POINTER;
    CAutoLock lock(&m_csCaptiva);
    m_controller->GetFont(font);
    return S_OK;
}

HRESULT CFilterCaptiva::SetTimeRange(double start, double end) {
    CAutoLock lock(&m_csCaptiva);
    m_controller->SetTimeRange(start, end);
    return S_OK;
}

HRESULT CFilterCaptiva::GetTimeRange(double* start, double* end) {
    if (!start || !end)
        return E_POINTER;
    CAutoLock lock(&m_csCaptiva);
    m_controller->GetTimeRange(start, end);
    return S_OK;
}

HRESULT CFilterCaptiva::SetVideoSize(int width, int height, int imageSize, int* result) {
    if (width <= 0 || height == 0 || height == -2147483647 - 1 || imageSize < 0)
        return E_INVALIDARG;
    CAutoLock lock(&m_csCaptiva);
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    CMediaType mt(m_pInput->CurrentMediaType());
    VIDEOINFOHEADER vih;
    if (*mt.FormatType() != FORMAT_VideoInfo || !GetVideoInfo(mt, &vih))
        return E_FAIL;
    const LONG rows = height < 0 ? -height : height;
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = vih.bmiHeader.biHeight < 0 ? -rows : rows; // the row order stays
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(imageSize);
    // Rectangles naming the old picture would crop or stretch the new one.
    auto resize = [&](RECT& r) {
        if (r.right > r.left && r.bottom > r.top)
            r = {0, 0, width, rows};
    };
    resize(vih.rcSource);
    resize(vih.rcTarget);
    if (!SetVideoInfo(mt, vih))
        return E_OUTOFMEMORY;
    if (mt.IsFixedSize())
        mt.SetSampleSize(static_cast<ULONG>(imageSize));
    HRESULT hr = ChangeFormat(mt);
    if (FAILED(hr))
        return hr;
    if (result)
        *result = imageSize;
    return S_OK;
}

HRESULT CFilterCaptiva::ChangeFormat(const CMediaType& type) {
    CAutoLock lock(&m_csCaptiva);
    if (!m_pInput || !m_pInput->IsConnected())
        return VFW_E_NOT_CONNECTED;
    CMediaType mt(type);
    HRESULT hr = CheckInputType(&mt);
    if (FAILED(hr))
        return VFW_E_TYPE_NOT_ACCEPTED;
    VIDEOINFOHEADER vih;
    if (*mt.FormatType() != FORMAT_VideoInfo || !GetVideoInfo(mt, &vih))
        return VFW_E_TYPE_NOT_ACCEPTED;
    // Downstream takes the new format first, as a renderer takes a format change from its upstream pin;
    // a refusal leaves everything as it was.
    IPin* downstream = m_pOutput ? m_pOutput->GetConnected() : nullptr;
    if (downstream) {
        hr = downstream->ReceiveConnection(m_pOutput, &mt);
        if (FAILED(hr))
            return hr;
        m_pOutput->SetMediaType(&mt);
    }
    hr = m_pInput->SetMediaType(&mt);
    if (FAILED(hr))
        return hr;
    return ConfigureLocked(*m_controller);
}
