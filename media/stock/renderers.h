// The stock renderers: "Video Renderer Filter" (window backend, frame store, IVideoWindow, frame
// stepping), "Null Renderer Filter" (discards), "DirectSound Renderer Filter" (SDL2 audio, IBasicAudio,
// IAMAudioRendererStats).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "media/streams.h"
#include "media/videowindow.h"

class CVideoRenderer : public CBaseRenderer, public IVideoWindow, public IVideoFrameStore {
public:
    CVideoRenderer(LPUNKNOWN outer, HRESULT* phr);
    ~CVideoRenderer() override;
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    void OnReceiveFirstSample(IMediaSample* sample) override;

    // IVideoWindow
    HRESULT put_Caption(const char* caption) override;
    HRESULT put_WindowStyle(LONG style) override;
    HRESULT get_WindowStyle(LONG* style) override;
    HRESULT put_AutoShow(LONG autoShow) override;
    HRESULT get_AutoShow(LONG* autoShow) override;
    HRESULT put_Visible(LONG visible) override;
    HRESULT get_Visible(LONG* visible) override;
    HRESULT put_Owner(OAHWND owner) override;
    HRESULT get_Owner(OAHWND* owner) override;
    HRESULT put_MessageDrain(OAHWND drain) override;
    HRESULT get_MessageDrain(OAHWND* drain) override;
    HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override;
    HRESULT GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) override;

    // IVideoFrameStore
    HRESULT GetFrameCount(LONG* count) override;
    HRESULT GetPlainFrameCount(LONG* count) override;
    HRESULT GetLastFrame(media::VideoFrame* frame) override;
    HRESULT SetDumpFolder(const char* folder) override;
    HRESULT WriteLastFrame(const char* path) override;

private:
    void Present(IMediaSample* sample, bool count);

    std::mutex m_windowMutex; // window settings, the frame store and the backend
    std::unique_ptr<media::IVideoWindowBackend> m_backend;
    media::VideoFrame m_last;
    LONG m_frames = 0;
    LONG m_plainFrames = 0;
    std::string m_dumpFolder;
    GUID m_subtype = GUID_NULL;
    BITMAPINFOHEADER m_bih;
    LONG m_style = 0;
    LONG m_autoShow = OATRUE;
    LONG m_visible = OAFALSE;
    OAHWND m_owner = 0;
    OAHWND m_drain = 0;
    LONG m_left = 0, m_top = 0, m_width = 0, m_height = 0;
};

class CNullRenderer : public CBaseRenderer {
public:
    CNullRenderer(LPUNKNOWN outer, HRESULT* phr);
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }
    // Samples are discarded as they come.
    bool SchedulesByClock() const override { return false; }
};
