// CFilterCaptiva: the text overlay, an in-place filter for uncompressed RGB video that draws up to five
// text items, or the PC's clock, into every picture. ICaptiva configures it.
#pragma once

#include <memory>

#include "captiva/icaptiva.h"
#include "captiva/overlay_controller.h"
#include "media/interfaces.h"
#include "media/transform.h"

class CFilterCaptiva : public CTransInPlaceFilter, public ISpecifyPropertyPages, public ICaptiva {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    CFilterCaptiva(LPUNKNOWN outer, HRESULT* phr);
    ~CFilterCaptiva() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // ISpecifyPropertyPages: the text overlay property page.
    HRESULT GetPages(CAUUID* pages) override;

    HRESULT CheckInputType(const CMediaType* in) override;
    HRESULT CompleteConnect(PIN_DIRECTION dir, IPin* receivePin) override;
    HRESULT Transform(IMediaSample* sample) override;

    // ICaptiva
    HRESULT SetOverlayType(int type) override;
    HRESULT GetOverlayType(int* type) override;
    HRESULT SetDrawMode(int paint) override;
    HRESULT GetDrawMode(int* paint) override;
    HRESULT SetText(UINT index, char* text, int length) override;
    HRESULT GetText(UINT index, char* buffer, int* size) override;
    HRESULT SetColor(BYTE red, BYTE green, BYTE blue) override;
    HRESULT GetColor(BYTE* red, BYTE* green, BYTE* blue) override;
    HRESULT SetTextPosition(UINT index, int x, int y) override;
    HRESULT GetTextPosition(UINT index, int* xy) override;
    HRESULT SetFont(LOGFONTA font) override;
    HRESULT GetFont(LOGFONTA* font) override;
    HRESULT SetTimeRange(double start, double end) override;
    HRESULT GetTimeRange(double* start, double* end) override;
    HRESULT SetVideoSize(int width, int height, int imageSize, int* result) override;

    // The current controller (for inspection).
    std::shared_ptr<COverlayController> Controller();

    // A new picture format for the connected pins: downstream is offered it first, then both pins take it
    // and the controller is configured for it. Nothing changes when downstream refuses.
    HRESULT ChangeFormat(const CMediaType& type);

protected:
    void CreatePins() override;

private:
    // Configures `controller` from the connected input type; S_OK when the input is not connected.
    HRESULT ConfigureLocked(COverlayController& controller);

    CCritSec m_csCaptiva; // guards everything below and the controller's settings and masks
    int m_overlayType = kOverlayStatic;
    std::shared_ptr<COverlayController> m_controller; // the streaming thread holds its own reference
    bool m_frameRateUnknown = false;
};
