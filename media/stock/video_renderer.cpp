#include <cstdio>
#include <new>

#include "renderers.h"
#include "stock.h"

CVideoRenderer::CVideoRenderer(LPUNKNOWN outer, HRESULT* phr)
    : CBaseRenderer(CLSID_VideoRenderer, "Video Renderer", outer, phr),
      m_backend(media::CreateVideoWindowBackend()) {
    m_bCanStep = true;
}

CVideoRenderer::~CVideoRenderer() = default;

CUnknown* CVideoRenderer::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CVideoRenderer(outer, phr);
}

HRESULT CVideoRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IVideoWindow)
        return GetInterface(static_cast<IVideoWindow*>(this), ppv);
    if (riid == IID_IVideoFrameStore)
        return GetInterface(static_cast<IVideoFrameStore*>(this), ppv);
    return CBaseRenderer::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CVideoRenderer::CheckMediaType(const CMediaType* pmt) {
    if (*pmt->Type() != MEDIATYPE_Video)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const GUID& s = *pmt->Subtype();
    if (s != MEDIASUBTYPE_RGB32 && s != MEDIASUBTYPE_RGB24 && s != MEDIASUBTYPE_RGB565 &&
        s != MEDIASUBTYPE_RGB555 && s != MEDIASUBTYPE_YUY2 && s != MEDIASUBTYPE_UYVY)
        return VFW_E_TYPE_NOT_ACCEPTED;
    VIDEOINFOHEADER vih;
    if (!GetVideoInfo(*pmt, &vih) || vih.bmiHeader.biWidth <= 0 || vih.bmiHeader.biHeight == 0)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CVideoRenderer::SetMediaType(const CMediaType* pmt) {
    VIDEOINFOHEADER vih;
    GetVideoInfo(*pmt, &vih);
    std::lock_guard lock(m_windowMutex);
    m_subtype = *pmt->Subtype();
    m_bih = vih.bmiHeader;
    return S_OK;
}

void CVideoRenderer::Present(IMediaSample* sample, bool count) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    LONG length = sample->GetActualDataLength();
    std::lock_guard lock(m_windowMutex);
    // Converted into the last frame's own storage: a picture of the same size needs no new allocation.
    // A sample that cannot be converted leaves the last frame as it was.
    if (!media::ConvertToFrame(m_subtype, m_bih, data, length, &m_last))
        return;
    if (count) {
        ++m_frames;
        m_plainFrames += media::IsPlainFrame(m_last) ? 1 : 0;
        if (!m_dumpFolder.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame%06d.png", static_cast<int>(m_frames));
            media::WritePng(m_dumpFolder + name, m_last);
        }
    }
    m_backend->Present(m_last);
    // A window with auto-show on appears with its first picture.
    if (m_autoShow != OAFALSE && m_visible == OAFALSE) {
        m_visible = OATRUE;
        m_backend->SetVisible(true);
    }
}

HRESULT CVideoRenderer::DoRenderSample(IMediaSample* sample) {
    Present(sample, true);
    return S_OK;
}

void CVideoRenderer::OnReceiveFirstSample(IMediaSample* sample) {
    // The picture a paused graph shows: on screen, but not counted as played.
    Present(sample, false);
}

HRESULT CVideoRenderer::put_Caption(const char* caption) {
    std::lock_guard lock(m_windowMutex);
    m_backend->SetCaption(caption ? caption : "");
    return S_OK;
}
HRESULT CVideoRenderer::put_WindowStyle(LONG style) {
    std::lock_guard lock(m_windowMutex);
    m_style = style;
    m_backend->SetWindowStyle(style);
    return S_OK;
}
HRESULT CVideoRenderer::get_WindowStyle(LONG* style) {
    if (!style)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *style = m_style;
    return S_OK;
}
HRESULT CVideoRenderer::put_AutoShow(LONG autoShow) {
    std::lock_guard lock(m_windowMutex);
    m_autoShow = autoShow ? OATRUE : OAFALSE;
    return S_OK;
}
HRESULT CVideoRenderer::get_AutoShow(LONG* autoShow) {
    if (!autoShow)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *autoShow = m_autoShow;
    return S_OK;
}
HRESULT CVideoRenderer::put_Visible(LONG visible) {
    std::lock_guard lock(m_windowMutex);
    m_visible = visible ? OATRUE : OAFALSE;
    m_backend->SetVisible(visible != OAFALSE);
    return S_OK;
}
HRESULT CVideoRenderer::get_Visible(LONG* visible) {
    if (!visible)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *visible = m_visible;
    return S_OK;
}
HRESULT CVideoRenderer::put_Owner(OAHWND owner) {
    std::lock_guard lock(m_windowMutex);
    m_owner = owner;
    m_backend->SetOwner(owner);
    return S_OK;
}
HRESULT CVideoRenderer::get_Owner(OAHWND* owner) {
    if (!owner)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *owner = m_owner;
    return S_OK;
}
HRESULT CVideoRenderer::put_MessageDrain(OAHWND drain) {
    std::lock_guard lock(m_windowMutex);
    m_drain = drain;
    return S_OK;
}
HRESULT CVideoRenderer::get_MessageDrain(OAHWND* drain) {
    if (!drain)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *drain = m_drain;
    return S_OK;
}
HRESULT CVideoRenderer::SetWindowPosition(LONG left, LONG top, LONG width, LONG height) {
    std::lock_guard lock(m_windowMutex);
    m_left = left;
    m_top = top;
    m_width = width;
    m_height = height;
    m_backend->SetWindowPosition(left, top, width, height);
    return S_OK;
}
HRESULT CVideoRenderer::GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) {
    if (!left || !top || !width || !height)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *left = m_left;
    *top = m_top;
    *width = m_width;
    *height = m_height;
    return S_OK;
}

HRESULT CVideoRenderer::GetFrameCount(LONG* count) {
    if (!count)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *count = m_frames;
    return S_OK;
}
HRESULT CVideoRenderer::GetPlainFrameCount(LONG* count) {
    if (!count)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    *count = m_plainFrames;
    return S_OK;
}
HRESULT CVideoRenderer::GetLastFrame(media::VideoFrame* frame) {
    if (!frame)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    if (m_last.pixels.empty())
        return VFW_E_NOT_FOUND;
    *frame = m_last;
    return S_OK;
}
HRESULT CVideoRenderer::SetDumpFolder(const char* folder) {
    std::lock_guard lock(m_windowMutex);
    m_dumpFolder = folder ? folder : "";
    return S_OK;
}
HRESULT CVideoRenderer::WriteLastFrame(const char* path) {
    if (!path)
        return E_POINTER;
    std::lock_guard lock(m_windowMutex);
    if (m_last.pixels.empty())
        return VFW_E_NOT_FOUND;
    return media::WritePng(path, m_last) ? S_OK : E_FAIL;
}

// ---- Null renderer ----------------------------------------------------------------------------------------

CNullRenderer::CNullRenderer(LPUNKNOWN outer, HRESULT* phr)
    : CBaseRenderer(CLSID_NullRenderer, "Null Renderer", outer, phr) {}

CUnknown* CNullRenderer::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CNullRenderer(outer, phr);
}

CUnknown* CreateVideoRenderer(LPUNKNOWN outer, HRESULT* phr) {
    return CVideoRenderer::CreateInstance(outer, phr);
}
CUnknown* CreateNullRenderer(LPUNKNOWN outer, HRESULT* phr) {
    return CNullRenderer::CreateInstance(outer, phr);
}
