#include "vts_filter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/debug.h"
#include "media/pin_names.h"
#include "platform/system.h"
#include "tav/disk_source.h"
#include "tav/file_source.h"

namespace {

constexpr DWORD kUnitsPerSecond = 10000000;
constexpr DWORD kDefaultFrameRate = 15;

} // namespace

CUnknown* CVTSourceFilter::CreateInstance(LPUNKNOWN outer, HRESULT* phr) {
    auto* filter = new (std::nothrow) CVTSourceFilter(outer, phr);
    if (!filter && phr)
        *phr = E_OUTOFMEMORY;
    return filter;
}

CVTSourceFilter::CVTSourceFilter(LPUNKNOWN outer, HRESULT* phr)
    : CSource("VTSourceFilter", outer, CLSID_VTSourceFilter, phr) {
    common::DebugOpen("TAV disk filter", "C:\\Program Files\\Scryde\\TAV.log");
    HRESULT hr = S_OK;
    for (int ch = 0; ch < tav::kChannels; ++ch) {
        const std::string name = media::VideoPinName(ch);
        m_video[static_cast<std::size_t>(ch)] = new (std::nothrow) CVTVideoPin(&hr, this, ch, name.c_str());
        if (!m_video[static_cast<std::size_t>(ch)])
            hr = E_OUTOFMEMORY;
    }
    m_audio = new (std::nothrow) CVTAudioPin(&hr, this);
    if (!m_audio)
        hr = E_OUTOFMEMORY;
    if (phr && FAILED(hr))
        *phr = hr;
}

CVTSourceFilter::~CVTSourceFilter() {
    // The pins' threads stop before the source goes (they read from it), and the source's reader thread
    // ends before the pins go (CSource deletes them afterwards).
    Stop();
    m_current = nullptr;
    m_source.reset();
}

HRESULT CVTSourceFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IVTSourceFilter)
        return GetInterface(static_cast<IVTSourceFilter*>(this), ppv);
    return CSource::NonDelegatingQueryInterface(riid, ppv);
}

// ---- state changes -----------------------------------------------------------------------------------

HRESULT CVTSourceFilter::Pause() {
    CAutoLock lock(&m_cStateLock);
    if (m_State == State_Stopped) {
        // Nothing of an earlier run may wake the new threads; then the reader thread runs first.
        for (CVTVideoPin* pin : m_video)
            if (pin)
                pin->ResetForRun();
        if (m_audio)
            m_audio->ResetForRun();
        if (tav::CVTSource* src = Source())
            src->Run();
    }
    return CSource::Pause();
}

HRESULT CVTSourceFilter::Stop() {
    CAutoLock lock(&m_cStateLock);
    if (m_State != State_Stopped)
        if (tav::CVTSource* src = Source())
            src->Stop();
    return CSource::Stop();
}

// ---- the source --------------------------------------------------------------------------------------

HRESULT CVTSourceFilter::CreateSource(SourceKind kind) {
    CAutoLock lock(&m_cStateLock);
    if (m_State != State_Stopped)
        return VFW_E_NOT_STOPPED;
    std::unique_ptr<tav::CVTSource> next;
    switch (kind) {
    case SourceKind::Disk:
        next = std::make_unique<tav::CTavDiskSource>();
        break;
    case SourceKind::File:
        next = std::make_unique<tav::CFileSource>();
        break;
    case SourceKind::Network:
        next = std::make_unique<CNetworkSource>();
        break;
    }
    if (!next)
        return E_NOTIMPL;
    m_current = nullptr;
    m_source.reset();
    m_source = std::move(next);
    tav::CVTPinLink* links[tav::kChannels];
    for (int c = 0; c < tav::kChannels; ++c)
        links[c] = m_video[static_cast<std::size_t>(c)];
    m_source->AttachPins(links, m_audio);
    ApplySettings(m_source.get());
    m_current = m_source.get();
    return S_OK;
}

void CVTSourceFilter::ApplySettings(tav::CVTSource* src) {
    src->SetDisplayOption(m_displayOption);
    src->SetChannelMask(m_channelMask);
    src->SetAudioChannel(m_audioChannel);
    src->SetPlayback(m_speed, m_direction, m_playValue);
    src->SetTimestamps(m_timestamps);
}

HRESULT CVTSourceFilter::Open(BYTE* request) {
    if (!request)
        return E_POINTER;
    const int kind = request[vtopen::kKind];
    if (kind < tav::kOpenDrive || kind > tav::kOpenStreamFile)
        return E_FAIL;
    CAutoLock lock(&m_cStateLock);
    HRESULT hr = CreateSource(kind == tav::kOpenStreamFile ? SourceKind::File : SourceKind::Disk);
    if (FAILED(hr))
        return hr;
    m_sourceKind = kind == tav::kOpenStreamFile ? 1 : 0;
    const char* path = reinterpret_cast<const char*>(request + vtopen::kPath);
    HRESULT result = m_source->Open(kind, request[vtopen::kDrive], path);
    // The pins offer what the probe found.
    for (CVTVideoPin* pin : m_video)
        pin->OnFormat(m_source->Width(), m_source->Height(), m_source->PacketCode());
    if (m_source->AudioPresent())
        m_audio->OnAudioFormat(m_source->AudioFormat());
    request[vtopen::kResult] = static_cast<BYTE>(static_cast<DWORD>(result) & 0xFF);
    return request[vtopen::kResult];
}

// ---- IVTSourceFilter ---------------------------------------------------------------------------------

#define VTS_SOURCE_OR_FAIL()                                                                                 \
    tav::CVTSource* src = Source();                                                                          \
    if (!src)                                                                                                \
    return E_FAIL

HRESULT CVTSourceFilter::GetInfo(BYTE item, DWORD* value) {
    VTS_SOURCE_OR_FAIL();
    if (!value)
        return E_FAIL;
    switch (item) {
    case vtinfo::kFirstTime:
        return src->GetTimeBound(0, value);
    case vtinfo::kLastTime:
        return src->GetTimeBound(1, value);
    case vtinfo::kCurrentTime:
        *value = src->CurrentTime();
        return S_OK;
    case vtinfo::kWidth:
        *value = src->Width();
        return S_OK;
    case vtinfo::kHeight:
        *value = src->Height();
        return S_OK;
    case vtinfo::kPacketCode:
        *value = src->PacketCode();
        return S_OK;
    case vtinfo::kAudioFormat:
        *value = static_cast<DWORD>(src->AudioFormat());
        return S_OK;
    case vtinfo::kRecorderKind:
        *value = static_cast<DWORD>(src->RecorderKind());
        return S_OK;
    default:
        return E_FAIL;
    }
}

HRESULT CVTSourceFilter::SetDisplayOption(BYTE option) {
    m_displayOption = option;
    if (tav::CVTSource* src = Source())
        src->SetDisplayOption(option);
    return S_OK;
}

HRESULT CVTSourceFilter::SetTextExport(HANDLE file, int flag) {
    VTS_SOURCE_OR_FAIL();
    src->SetTextExport(file, flag == 1);
    return S_OK;
}

HRESULT CVTSourceFilter::ExportImage(const char* path) {
    VTS_SOURCE_OR_FAIL();
    return src->ExportImage(path);
}

HRESULT CVTSourceFilter::EndExport() {
    VTS_SOURCE_OR_FAIL();
    src->EndExport();
    return S_OK;
}

HRESULT CVTSourceFilter::ExportSystemLog(const char* path) {
    VTS_SOURCE_OR_FAIL();
    return src->ExportSystemLog(path);
}

HRESULT CVTSourceFilter::WriteDiagnosticLog(const char* path) {
    VTS_SOURCE_OR_FAIL();
    return src->WriteDiagnosticLog(path);
}

HRESULT CVTSourceFilter::ClearDrive() {
    VTS_SOURCE_OR_FAIL();
    if (m_sourceKind != 0)
        return E_FAIL;
    return src->ClearDrive();
}

HRESULT CVTSourceFilter::GetSectionUnit(DWORD* unit) {
    VTS_SOURCE_OR_FAIL();
    if (!unit)
        return E_POINTER;
    *unit = src->SectionUnit();
    return S_OK;
}

HRESULT CVTSourceFilter::GetEventTimes(BYTE* records, DWORD* count) {
    VTS_SOURCE_OR_FAIL();
    if (!count)
        return E_POINTER;
    // A section may hold more events than its unit (up to 283 a segment): the answer for a null buffer
    // covers them all, and a buffer too small for them says so instead of dropping the rest unseen.
    const DWORD events = src->EventCount();
    if (!records) {
        *count = std::max(src->SectionUnit(), events);
        return S_OK;
    }
    *count = src->GetEventTimes(records, *count);
    if (*count < events) {
        char line[96];
        std::snprintf(line, sizeof line, "CVTSourceFilter::GetEventTimes: %u of %u events fit the buffer\n",
                      static_cast<unsigned>(*count), static_cast<unsigned>(events));
        OutputDebugStringA(line);
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CVTSourceFilter::GetAudioFormat(BYTE* format) {
    VTS_SOURCE_OR_FAIL();
    if (!format)
        return E_POINTER;
    *format = static_cast<BYTE>(src->AudioFormat());
    return S_OK;
}

HRESULT CVTSourceFilter::GetCurrentSection(LONG* section) {
    VTS_SOURCE_OR_FAIL();
    if (!section)
        return E_POINTER;
    *section = static_cast<SHORT>(src->CurrentSection());
    return S_OK;
}

HRESULT CVTSourceFilter::GetRecorderKind(BYTE* kind) {
    VTS_SOURCE_OR_FAIL();
    if (!kind)
        return E_POINTER;
    *kind = static_cast<BYTE>(src->RecorderKind());
    return S_OK;
}

HRESULT CVTSourceFilter::GetSegmentCounts(DWORD* segments, DWORD* valid) {
    VTS_SOURCE_OR_FAIL();
    if (segments)
        *segments = src->SegmentCount();
    if (valid)
        *valid = src->ValidSegmentCount();
    return S_OK;
}

HRESULT CVTSourceFilter::GetFrameRate(DWORD* rate) {
    VTS_SOURCE_OR_FAIL();
    if (!rate)
        return E_POINTER;
    REFERENCE_TIME d = src->VideoDuration();
    *rate = d > 0 ? static_cast<DWORD>(kUnitsPerSecond / d) : kDefaultFrameRate;
    return S_OK;
}

HRESULT CVTSourceFilter::GetStatusBlock(BYTE* buffer) {
    VTS_SOURCE_OR_FAIL();
    if (!buffer)
        return E_POINTER;
    const int kind = src->RecorderKind();
    tav::TavStatusState status = src->StatusCopy();
    if (kind == 1) {
        std::memcpy(buffer, status.kind1.data(), tav::kKind1RecordBytes);
    } else if (kind == 8) {
        std::memcpy(buffer, status.block.data(), 144);
    } else if (kind >= 2 && kind <= 7) {
        // 512 bytes from the status block on: the block, then zeros.
        std::memset(buffer, 0, kVTStatusBufferBytes);
        std::memcpy(buffer, status.block.data(), tav::kStatusBlockBytes);
    }
    return S_OK;
}

HRESULT CVTSourceFilter::GetFrameSize(DWORD* width, DWORD* height) {
    VTS_SOURCE_OR_FAIL();
    if (width)
        *width = src->Width();
    if (height)
        *height = src->Height();
    return S_OK;
}

// The interface header states the export buffer's size for its callers; it must be the source's.
static_assert(kVTExportBufferBytes == tav::kSampleBytes);

HRESULT CVTSourceFilter::ExportNextPacket(BYTE* buffer) {
    VTS_SOURCE_OR_FAIL();
    return src->ExportNextPacket(buffer, kVTExportBufferBytes) ? S_FALSE : S_OK;
}

HRESULT CVTSourceFilter::GetPosition(LONG* perMille, BYTE* zone, DWORD* time) {
    (void)zone;
    VTS_SOURCE_OR_FAIL();
    return src->GetPosition(perMille, time);
}

HRESULT CVTSourceFilter::GetSectionCount(DWORD* count) {
    VTS_SOURCE_OR_FAIL();
    if (!count)
        return E_POINTER;
    *count = static_cast<DWORD>(src->SectionCount());
    return S_OK;
}

HRESULT CVTSourceFilter::GetSections(BYTE* records) {
    VTS_SOURCE_OR_FAIL();
    return src->GetSections(records, static_cast<DWORD>(src->SectionCount()));
}

HRESULT CVTSourceFilter::GetProgress(LONG* perMille, int cancel) {
    VTS_SOURCE_OR_FAIL();
    return src->GetProgress(perMille, cancel);
}

HRESULT CVTSourceFilter::LoadIndex(int drive, const char* path) {
    (void)drive, (void)path;
    VTS_SOURCE_OR_FAIL();
    return src->LoadIndex();
}

HRESULT CVTSourceFilter::PrepareExport(BYTE* audioFormat, BYTE channel) {
    VTS_SOURCE_OR_FAIL();
    int format = 0;
    HRESULT hr = src->PrepareExport(&format, channel);
    if (audioFormat)
        *audioFormat = static_cast<BYTE>(format);
    return hr;
}

HRESULT CVTSourceFilter::MarkStart(DWORD* time) {
    VTS_SOURCE_OR_FAIL();
    return src->MarkStart(time);
}

HRESULT CVTSourceFilter::MarkEnd(DWORD* time) {
    VTS_SOURCE_OR_FAIL();
    return src->MarkEnd(time);
}

HRESULT CVTSourceFilter::SetChannelMask(DWORD mask) {
    m_channelMask = mask;
    if (tav::CVTSource* src = Source())
        src->SetChannelMask(mask);
    return S_OK;
}

HRESULT CVTSourceFilter::SetAudioChannel(BYTE channel) {
    m_audioChannel = channel;
    if (tav::CVTSource* src = Source())
        src->SetAudioChannel(channel);
    return S_OK;
}

HRESULT CVTSourceFilter::SelectSection(LONG section) {
    VTS_SOURCE_OR_FAIL();
    return src->SelectSection(static_cast<int>(section));
}

HRESULT CVTSourceFilter::SetPlayback(LONG speed, LONG direction, LONG value) {
    m_speed = speed;
    m_direction = direction;
    m_playValue = value;
    for (CVTVideoPin* pin : m_video)
        pin->SetPlaybackValue(value);
    m_audio->SetPlaybackValue(value);
    if (tav::CVTSource* src = Source())
        src->SetPlayback(speed, direction, value);
    return S_OK;
}

HRESULT CVTSourceFilter::SeekPerMille(LONG perMille) {
    VTS_SOURCE_OR_FAIL();
    return src->SeekToFraction(std::clamp<LONG>(perMille, 0, 1000), 1000);
}

HRESULT CVTSourceFilter::GoToEnds(int end) {
    VTS_SOURCE_OR_FAIL();
    return end == 0 ? src->GoToStart() : src->GoToEnd();
}

HRESULT CVTSourceFilter::SeekToTime(DWORD time) {
    VTS_SOURCE_OR_FAIL();
    return src->SeekToSectionTime(time);
}

HRESULT CVTSourceFilter::Step(LONG count) {
    VTS_SOURCE_OR_FAIL();
    src->Step(count);
    return S_OK;
}

HRESULT CVTSourceFilter::Reserved(LONG standard) {
    (void)standard;
    return S_OK;
}

HRESULT CVTSourceFilter::SetTimestamps(BYTE on) {
    m_timestamps = on != 0;
    if (tav::CVTSource* src = Source())
        src->SetTimestamps(on != 0);
    return S_OK;
}
