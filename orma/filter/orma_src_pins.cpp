#include "orma_src_pins.h"

#include <algorithm>
#include <cstring>

#include "orma_src.h"
#include "platform/system.h"

// ---- Slots -------------------------------------------------------------------------------------------

COrmaSrcSlots::COrmaSrcSlots(COrmaSrc* filter) : m_filter(filter) {
    for (int ch = 0; ch < orma::kChannels; ++ch) {
        const std::size_t i = Index(ch);
        m_stagingBuffers[i].assign(orma::kSlotBytes, 0);
        m_staging[i].picture = m_stagingBuffers[i].data();
        m_staging[i].capacity = orma::kSlotBytes;
        m_delivery[i].picture.assign(orma::kSlotBytes, 0);
        m_ready[i] = std::make_unique<CAMEvent>(FALSE, FALSE);
        m_wanted[i] = std::make_unique<CAMEvent>(FALSE, FALSE);
    }
}

void COrmaSrcSlots::SetFrameReady(int channel) {
    const orma::COrmaSlot& from = m_staging[Index(channel)];
    Delivery& to = m_delivery[Index(channel)];
    {
        CAutoLock lock(&to.lock);
        const LONG length = std::min<LONG>(from.length, static_cast<LONG>(orma::kSlotBytes));
        if (length > 0)
            std::memcpy(to.picture.data(), from.picture, static_cast<std::size_t>(length));
        to.length = length;
        to.stamp = from.stamp;
        // Under the channel's lock, so a copy of the previous picture cannot count as taking this one.
        std::lock_guard hand(m_handMutex);
        m_untaken[Index(channel)] = true;
    }
    m_ready[Index(channel)]->Set();
}

bool COrmaSrcSlots::WaitFrameWanted(int channel, DWORD ms) {
    return m_wanted[Index(channel)]->Wait(ms) != FALSE;
}

void COrmaSrcSlots::BeginFlush() {
    ReleaseWaits(false);
    if (COrmaSrcAudio* audio = m_filter->AudioPin())
        audio->DeliverBeginFlush();
    for (int ch = 0; ch < orma::kChannels; ++ch)
        if (COrmaSrcVideo* video = m_filter->VideoPin(ch))
            video->DeliverBeginFlush();
}

void COrmaSrcSlots::EndFlush() {
    // The repositioning emptied the slots: what the video pins would deliver next is gone too.
    for (int ch = 0; ch < orma::kChannels; ++ch) {
        Delivery& d = m_delivery[Index(ch)];
        CAutoLock lock(&d.lock);
        d.length = m_staging[Index(ch)].length;
        d.stamp = m_staging[Index(ch)].stamp;
    }
    {
        std::lock_guard lock(m_handMutex);
        m_untaken.fill(false);
    }
    if (COrmaSrcAudio* audio = m_filter->AudioPin())
        audio->DeliverEndFlush();
    // A renderer forgets an end of stream when it is flushed; a channel whose stream has ended stays
    // ended at the new place (its thread has left the loop), so it says so again, or the graph would
    // wait for that channel for ever before it completes.
    for (int ch = 0; ch < orma::kChannels; ++ch)
        if (COrmaSrcVideo* video = m_filter->VideoPin(ch)) {
            video->DeliverEndFlush();
            if (video->Ended())
                video->DeliverEndOfStream();
        }
}

void COrmaSrcSlots::WakeAll() {
    for (auto& e : m_ready)
        e->Set();
}

void COrmaSrcSlots::ResetEvents() {
    for (int ch = 0; ch < orma::kChannels; ++ch) {
        m_ready[Index(ch)]->Reset();
        m_wanted[Index(ch)]->Reset();
    }
    m_stopping.Reset();
    std::lock_guard lock(m_handMutex);
    m_untaken.fill(false);
    m_waitsReleased = false;
}

void COrmaSrcSlots::SetStreaming(int channel, bool streaming) {
    {
        std::lock_guard lock(m_handMutex);
        m_streaming[Index(channel)] = streaming;
    }
    m_handCond.notify_all();
}

void COrmaSrcSlots::WaitTaken(int channel) {
    if (channel < 0 || channel >= orma::kChannels)
        return;
    const std::size_t i = Index(channel);
    std::unique_lock lock(m_handMutex);
    const unsigned flushes = m_flushes;
    m_handCond.wait(
        lock, [&] { return !m_untaken[i] || !m_streaming[i] || m_waitsReleased || m_flushes != flushes; });
}

void COrmaSrcSlots::ReleaseWaits(bool stopping) {
    {
        std::lock_guard lock(m_handMutex);
        ++m_flushes;
        if (stopping)
            m_waitsReleased = true;
    }
    m_handCond.notify_all();
}

bool COrmaSrcSlots::WaitFrameReady(int channel) {
    m_wanted[Index(channel)]->Set();
    const HANDLE events[2] = {m_ready[Index(channel)]->Handle(), m_stopping.Handle()};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
}

LONG COrmaSrcSlots::CopyPicture(int channel, BYTE* out, LONG capacity, DWORD* stamp) {
    Delivery& d = m_delivery[Index(channel)];
    CAutoLock lock(&d.lock);
    if (stamp)
        *stamp = d.stamp;
    if (out && d.length > 0)
        std::memcpy(out, d.picture.data(), static_cast<std::size_t>(std::min(d.length, capacity)));
    return d.length;
}

LONG COrmaSrcSlots::CopyWholePicture(int channel, BYTE* out, LONG capacity) {
    Delivery& d = m_delivery[Index(channel)];
    CAutoLock lock(&d.lock);
    if (out && d.length > 0 && d.length <= capacity)
        std::memcpy(out, d.picture.data(), static_cast<std::size_t>(d.length));
    return d.length;
}

LONG COrmaSrcSlots::TakePicture(int channel, BYTE* out, LONG capacity, DWORD* stamp) {
    Delivery& d = m_delivery[Index(channel)];
    LONG length = 0;
    {
        CAutoLock lock(&d.lock); // lock order: the channel's lock, then the hand-off's
        length = CopyPicture(channel, out, capacity, stamp);
        std::lock_guard hand(m_handMutex);
        m_untaken[Index(channel)] = false;
    }
    m_handCond.notify_all();
    return length;
}

// ---- Audio pin ---------------------------------------------------------------------------------------

COrmaSrcAudio::COrmaSrcAudio(HRESULT* phr, COrmaSrc* filter)
    : COrmaSrcStream("COrmaSrcAudio", phr, filter, "Audio Out"), m_src(filter) {}

void COrmaSrcAudio::BuildMediaType(CMediaType* pmt) const {
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Audio);
    pmt->SetSubtype(&MEDIASUBTYPE_PCM);
    pmt->SetFormatType(&FORMAT_WaveFormatEx);
    pmt->SetTemporalCompression(FALSE);
    const double factor = m_src->SpeedFactor();
    WAVEFORMATEX wfx;
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = static_cast<DWORD>(8820 / factor);
    wfx.nAvgBytesPerSec = static_cast<DWORD>(17640 / factor);
    wfx.nBlockAlign = 2;
    wfx.wBitsPerSample = 8;
    wfx.cbSize = 0;
    SetWaveFormat(*pmt, wfx);
}

HRESULT COrmaSrcAudio::GetMediaType(CMediaType* pmt) {
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(m_src->pStateLock());
    BuildMediaType(pmt);
    return S_OK;
}

HRESULT COrmaSrcAudio::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!allocator || !request)
        return E_POINTER;
    CAutoLock lock(m_src->pStateLock());
    request->cBuffers = 1;
    request->cbBuffer = kBufferBytes;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < kBufferBytes ? E_FAIL : S_OK;
}

HRESULT COrmaSrcAudio::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_cSharedState);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG size = sample->GetSize();

    HRESULT hr = E_FAIL;
    LONG length = 0;
    BYTE channel = 0;
    {
        CAutoLock disk(m_src->DiskLock());
        // A stored run without a frame carries no audio: read on, at most four frames in all.
        for (int call = 0; call < 4; ++call) {
            length = size;
            hr = m_src->Disk().GetFrame(data, &length, &channel);
            if (FAILED(hr) || length != 0)
                break;
        }
    }
    if (FAILED(hr)) {
        OutputDebugStringA("COrmaSrcAudio::FillBuffer() returned [S_FALSE]...\n");
        return S_FALSE;
    }
    // The next frame is read once this one's picture has reached its pin (outside the disk lock, so
    // positioning and the position queries go on meanwhile).
    m_src->Slots().WaitTaken(channel);
    // The recorder stores signed 8-bit samples; PCM of 8 bits is unsigned.
    for (LONG i = 0; i < length; ++i)
        data[i] ^= 0x80;
    sample->SetActualDataLength(length);

    const REFERENCE_TIME duration = m_src->FrameDuration();
    REFERENCE_TIME start = static_cast<REFERENCE_TIME>(m_src->Slots().m_audioStamp.load()) * duration;
    REFERENCE_TIME stop = start + duration * length / static_cast<REFERENCE_TIME>(m_src->AudioChunk());
    // Without time stamps the sample carries no start time, and a stop time alone is no time.
    if (m_src->Timestamps())
        sample->SetTime(&start, &stop);
    else
        sample->SetTime(nullptr, nullptr);
    sample->SetSyncPoint(TRUE);

    if (m_formatChanged.exchange(false)) {
        CMediaType mt;
        BuildMediaType(&mt);
        mt.SetSampleSize(2); // fixed-size samples of one stereo frame
        sample->SetMediaType(&mt);
        sample->SetDiscontinuity(TRUE);
    }
    return S_OK;
}

HRESULT COrmaSrcAudio::OnThreadStartPlay() {
    CAutoLock disk(m_src->DiskLock());
    if (!m_src->HasDrive())
        return E_FAIL;
    m_src->Slots().m_playing = true;
    m_src->Disk().StartPlayback();
    return S_OK;
}

HRESULT COrmaSrcAudio::OnThreadDestroy() {
    if (!m_src->HasDrive())
        return E_FAIL;
    m_src->Slots().m_playing = false;
    m_src->Slots().WakeAll();
    return S_OK;
}

// ---- Video pins --------------------------------------------------------------------------------------

COrmaSrcVideo::COrmaSrcVideo(HRESULT* phr, COrmaSrc* filter, int channel, const char* name)
    : COrmaSrcStream("COrmaSrcVideo", phr, filter, name), m_src(filter), m_channel(channel) {}

HRESULT COrmaSrcVideo::GetMediaType(CMediaType* pmt) {
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(m_src->pStateLock());
    pmt->InitMediaType();
    pmt->SetType(&MEDIATYPE_Video);
    pmt->SetSubtype(&MEDIASUBTYPE_MJPG);
    pmt->SetFormatType(&FORMAT_VideoInfo);
    pmt->SetVariableSize();
    pmt->SetTemporalCompression(FALSE);
    if (!pmt->AllocFormatBuffer(kFormatBytes))
        return E_OUTOFMEMORY;
    VIDEOINFOHEADER vih;
    vih.dwBitRate = static_cast<DWORD>(m_channel); // downstream filters read the channel from here
    vih.AvgTimePerFrame = 0;
    vih.bmiHeader.biSize = BITMAPINFOHEADER::kSize;
    vih.bmiHeader.biWidth = kWidth;
    vih.bmiHeader.biHeight = kHeight;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = MAKEFOURCC('M', 'J', 'P', 'G');
    vih.bmiHeader.biSizeImage = kSizeImage;
    vih.Write(pmt->Format());
    return S_OK;
}

HRESULT COrmaSrcVideo::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!allocator || !request)
        return E_POINTER;
    CAutoLock lock(m_src->pStateLock());
    request->cBuffers = 1;
    request->cbBuffer = static_cast<LONG>(kSizeImage);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < static_cast<LONG>(kSizeImage) ? E_FAIL : S_OK;
}

HRESULT COrmaSrcVideo::OnThreadStartPlay() {
    m_lastStamp = kNoStamp;
    m_ended = false;
    return S_OK;
}

HRESULT COrmaSrcVideo::DoBufferProcessingLoop() {
    m_src->Slots().SetStreaming(m_channel, true);
    HRESULT hr = COrmaSrcStream::DoBufferProcessingLoop();
    m_src->Slots().SetStreaming(m_channel, false);
    return hr;
}

HRESULT COrmaSrcVideo::FillBuffer(IMediaSample* sample) {
    CAutoLock lock(&m_cSharedState);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG capacity = sample->GetSize();
    COrmaSrcSlots& slots = m_src->Slots();

    LONG length = 0;
    DWORD stamp = 0;
    // A slot emptied by a repositioning holds nothing to deliver, and a channel signalled without a
    // new picture (a stored picture that was no JPEG) would repeat the last one: wait for the next.
    while (length == 0) {
        // The flag is raised before the loop delivers the end of stream, so a flush meanwhile repeats it.
        if (!slots.WaitFrameReady(m_channel) || !slots.m_playing) {
            m_ended = true;
            return S_FALSE;
        }
        length = slots.TakePicture(m_channel, data, capacity, &stamp);
        if (length < 0) {
            m_ended = true;
            return S_FALSE; // no picture for this channel: its stream ends
        }
        if (stamp == m_lastStamp)
            length = 0;
    }
    m_lastStamp = stamp;
    sample->SetActualDataLength(std::min(length, capacity));
    if (m_src->Timestamps()) {
        REFERENCE_TIME start = static_cast<REFERENCE_TIME>(stamp) * m_src->FrameDuration();
        REFERENCE_TIME stop = start + m_src->FrameDuration();
        sample->SetTime(&start, &stop);
    } else {
        sample->SetTime(nullptr, nullptr);
    }
    sample->SetSyncPoint(TRUE);
    return S_OK;
}
