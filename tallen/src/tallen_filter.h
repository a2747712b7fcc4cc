// CTallen: the double-height transform. Doubles every row of a field picture (720 × 240 or 288) so it
// shows at its true height, and draws up to five text lines into it with the filter's own 13 × 20 font:
// lines set by the application (mode 0), or, in record mode, the time, status, speed, GPS and camera
// texts read from the 553-byte status record the decoder appends to each picture.
#pragma once

#include <array>

#include "media/transform.h"
#include "tallen/itallen.h"
#include "tallen/text.h"

class CTallen : public CTransformFilter, public ITallen {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    CTallen(LPUNKNOWN outer, HRESULT* phr);

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckInputType(const CMediaType* in) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

    // ITallen
    HRESULT SetTextLine(UINT index, char* text, int x, int y, DWORD colour, int interlace) override;
    HRESULT SetRecordMode(int doubleHeight, int channel) override;
    HRESULT SetRecordText(int doubleHeight, int showTime, int showTitle, int showStatus, char* text,
                          DWORD timeColour, DWORD titleColour, DWORD statusColour, int interlace) override;
    HRESULT SetRecordDefaults(int doubleHeight, DWORD colour, int interlace) override;

    // A buffer never below this when samples vary in size.
    static constexpr LONG kMinBufferBytes = 100000;

private:
    // The settings the streaming thread works from, read whole under the lock.
    struct Settings {
        int mode = 0; // 0 plain doubling with the lines as set; 1 status-record mode
        bool doubling = false;
        bool showTime = false, showTitle = false, showStatus = false;
        int channel = 0;
        LONG width = 0, height = 0; // of the input picture
        std::array<tallen::TextLine, kTallenLines> lines;
    };

    // Mode 1 doubles only what a recorder stores as a field: 720 wide, 240 or 288 high.
    static bool DoublesField(const Settings& s);
    bool WillDouble() const;
    // Line x and y for the record layouts (rows 20, 40, … from the start of the buffer).
    void PlaceRecordLines(const std::array<int, 5>& rows, int titleMargin);

    CCritSec m_settingsLock;
    Settings m_s;
};
