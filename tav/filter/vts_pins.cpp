#include "vts_pins.h"

#include <algorithm>
#include <cstring>

#include "ivtsource.h"
#include "platform/system.h"
#include "tav/packet.h"
#include "vts_filter.h"

// ---- CVTSourcePin ------------------------------------------------------------------------------------

CVTSourcePin::CVTSourcePin(const char* objectName, HRESULT* phr, CVTSourceFilter* filter, const char* pinName,
                           int channel)
    : CSourceStream(objectName, phr, filter, pinName), m_vtFilter(filter), m_channel(channel) {}

tav::CVTSource* CVTSourcePin::Source() const {
    return m_vtFilter->Source();
}

HRESULT CVTSourcePin::OnThreadStartPlay() {
    m_stamps = tav::VTStampState{};
    m_lastLength = 0;
    return S_OK;
}

bool CVTSourcePin::ContinueAfterRefusal(HRESULT) {
    if (tav::CVTSource* src = Source())
        src->ClearDisplayCounters();
    m_ended.Set();
    return false;
}

void CVTSourcePin::OnStreamEnded(HRESULT) {
    m_ended.Set();
}

HRESULT CVTSourcePin::WaitForPacket(tav::CVTSource* src) {
    switch (src->WaitForData(*this, GetRequestHandle())) {
    case tav::CVTSource::PinWake::Data:
        return S_OK;
    case tav::CVTSource::PinWake::Command:
        return kFillPending;
    default:
        return S_FALSE;
    }
}

void CVTSourcePin::Stamp(tav::CVTSource* src, IMediaSample* sample, const BYTE* data, LONG length) {
    tav::StampSample(&m_stamps, data, length, src->SpeedFactor(), tav::CVTSource::ClockNow(),
                     src->ReferenceTime());
    REFERENCE_TIME start = m_stamps.start, stop = m_stamps.stop;
    sample->SetTime(&start, &stop);
}

HRESULT CVTSourcePin::SetOneBuffer(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request, LONG bytes) {
    if (!allocator || !request)
        return E_POINTER;
    request->cBuffers = 1;
    request->cbBuffer = bytes;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < bytes ? E_FAIL : S_OK;
}

// ---- CVTVideoPin -------------------------------------------------------------------------------------

CVTVideoPin::CVTVideoPin(HRESULT* phr, CVTSourceFilter* filter, int channel, const char* name)
    : CVTSourcePin("CVTVideoPin", phr, filter, name, channel) {}

void CVTVideoPin::OnFormat(WORD width, WORD height, BYTE code) {
    m_width = width;
    m_height = height;
    m_code = code;
}

HRESULT CVTVideoPin::GetMediaType(CMediaType* pmt) {
    if (!pmt)
        return E_POINTER;
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Stream);
    pmt->SetSubtype(&MEDIASUBTYPE_TavStream);
    pmt->SetFormatType(&FORMAT_VideoInfo);
    pmt->SetTemporalCompression(FALSE);
    pmt->SetSampleSize(kBufferBytes);
    VIDEOINFOHEADER vih;
    vih.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
    vih.bmiHeader.biWidth = m_width;
    vih.bmiHeader.biHeight = m_height;
    vih.dwBitRate = static_cast<DWORD>(m_channel);
    vih.dwBitErrorRate = m_code;
    return SetVideoInfo(*pmt, vih) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVTVideoPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    return SetOneBuffer(allocator, request, kBufferBytes);
}

HRESULT CVTVideoPin::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_cSharedState);
    tav::CVTSource* src = Source();
    if (!src)
        return S_FALSE;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const DWORD capacity = static_cast<DWORD>(sample->GetSize());
    HRESULT hr = WaitForPacket(src);
    if (hr != S_OK)
        return hr;
    LONG length = src->TextExportOn() ? src->GetFrameText(data, capacity, m_channel)
                                      : src->GetFrame(data, capacity, m_channel);
    src->Consumed();
    if (length <= 0)
        return E_FAIL;
    if (src->Timestamps() && src->StepCount() == 0)
        Stamp(src, sample, data, length);
    else
        sample->SetTime(nullptr, nullptr);
    sample->SetActualDataLength(length);
    sample->SetSyncPoint(TRUE);
    m_lastLength = length;
    return S_OK;
}

// ---- CVTAudioPin -------------------------------------------------------------------------------------

CVTAudioPin::CVTAudioPin(HRESULT* phr, CVTSourceFilter* filter)
    : CVTSourcePin("CVTAudioPin", phr, filter, "Audio PIN", 0) {}

HRESULT CVTAudioPin::GetMediaType(CMediaType* pmt) {
    if (!pmt)
        return E_POINTER;
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Audio);
    pmt->SetSubtype(&MEDIASUBTYPE_PCM);
    pmt->SetFormatType(&FORMAT_WaveFormatEx);
    pmt->SetTemporalCompression(FALSE);
    WAVEFORMATEX wfx;
    const int format = m_format;
    if (format == 6 || format == 7) {
        // G.711 passes through as 8-bit mono.
        wfx.wFormatTag = static_cast<WORD>(format);
        wfx.nChannels = 1;
        wfx.wBitsPerSample = 8;
    } else {
        wfx.wFormatTag = WAVE_FORMAT_PCM;
        wfx.nChannels = 2;
        wfx.wBitsPerSample = 16;
    }
    wfx.nBlockAlign = static_cast<WORD>(wfx.nChannels * wfx.wBitsPerSample / 8);
    wfx.nSamplesPerSec = 8000;
    wfx.nAvgBytesPerSec = wfx.nBlockAlign * 8000u;
    wfx.cbSize = 0;
    pmt->SetSampleSize(wfx.nBlockAlign);
    return SetWaveFormat(*pmt, wfx) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CVTAudioPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    return SetOneBuffer(allocator, request, kBufferBytes);
}

HRESULT CVTAudioPin::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_cSharedState);
    tav::CVTSource* src = Source();
    if (!src)
        return S_FALSE;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const DWORD capacity = static_cast<DWORD>(sample->GetSize());
    HRESULT hr = WaitForPacket(src);
    if (hr != S_OK)
        return hr;
    // The packet buffer grows to hold the whole read (packet and the 553 bytes behind it) and is kept.
    const DWORD need = src->CurrentPacket().size + tav::kPacketTail;
    if (need <= tav::kMaxPacketSize + tav::kPacketTail && m_packet.size() < need)
        m_packet.resize(need);
    LONG length = src->GetFrame(m_packet.data(), static_cast<DWORD>(m_packet.size()), 0);
    src->Consumed();
    if (length <= 0)
        return E_FAIL;
    DWORD out = tav::ConvertAudio(m_packet.data(), static_cast<DWORD>(length), m_format, data, capacity);
    sample->SetActualDataLength(static_cast<LONG>(out));
    Stamp(src, sample, m_packet.data(), length);
    sample->SetSyncPoint(TRUE);
    m_lastLength = static_cast<LONG>(out);
    return S_OK;
}
