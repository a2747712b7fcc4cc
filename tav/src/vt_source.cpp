// CVTSource: the reader thread, its commands, the settings the filter passes in, and the operations
// every source shares (sections, marks, positions of a source without its own).
#include "tav/vt_source.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "platform/system.h"

namespace tav {

namespace {

// Counts the packets of one stream between its first change of time and the time two seconds on.
struct RateCounter {
    bool haveFirst = false, counting = false, done = false;
    DWORD firstTime = 0, refTime = 0, count = 0;
    REFERENCE_TIME duration = 0;
    void See(DWORD t) {
        if (done)
            return;
        if (!haveFirst) {
            haveFirst = true;
            firstTime = t;
        } else if (!counting) {
            if (t != firstTime) {
                counting = true;
                refTime = t;
                count = 1;
            }
        } else if (t == refTime + 2 || t + 2 == refTime) {
            duration = 20000000 / count;
            done = true;
        } else {
            ++count;
        }
    }
};

void ReadVersion(DWORD requested, DWORD* major, DWORD* minor) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    bool ok = GetVersionExA(&info) != FALSE;
    *major = requested ? requested : (ok ? info.dwMajorVersion : 0);
    *minor = ok ? info.dwMinorVersion : 0;
}

} // namespace

void StampSample(VTStampState* st, const BYTE* sample, LONG length, double factor, REFERENCE_TIME clockNow,
                 REFERENCE_TIME reference) {
    if (length < 4 || platform::ReadLE32(sample) == kPlaceholderWord) {
        st->start = st->stop = 0;
        ++st->count;
        return;
    }
    st->start = st->stop;
    // The packet time in 100-ns units, the unit of sample times (so 2 s is 20,000,000).
    ULONGLONG t = 0;
    if (length >= 28)
        t = (ULONGLONG(platform::ReadLE32(sample + 20)) * 1000000ull + platform::ReadLE32(sample + 24)) * 10;
    ULONGLONG delta = t > st->packetTime ? t - st->packetTime : st->packetTime - t;
    st->prevPacketTime = st->packetTime;
    st->packetTime = t;
    if (st->count > 0 && delta <= ULONGLONG(kMaxStampJump)) {
        st->stop = st->start + static_cast<REFERENCE_TIME>(static_cast<double>(delta) * factor);
        st->lastDelta = delta;
    } else {
        st->start = clockNow - reference;
        st->stop = st->start + static_cast<REFERENCE_TIME>(static_cast<double>(st->lastDelta) * factor);
    }
    ++st->count;
}

CVTSource::CVTSource(DWORD windowsMajor) {
    ReadVersion(windowsMajor, &m_winMajor, &m_winMinor);
    std::fill(std::begin(m_channelOn), std::end(m_channelOn), BYTE(1));
}

CVTSource::~CVTSource() {
    // A derived destructor has ended the thread already; this only covers the base on its own.
    CVTSource::Close();
}

REFERENCE_TIME CVTSource::ClockNow() {
    return static_cast<REFERENCE_TIME>(timeGetTime()) * kUnitsPerMs;
}

// ---- the reader thread -------------------------------------------------------------------------------

HRESULT CVTSource::StartReaderThread() {
    // The first section is counted on the caller's thread, which would only wait while the reader
    // thread counted it. The thread itself is made when a run first needs it: opening a drive to list
    // or check it then costs no thread, and closing it waits for none.
    InitSection();
    if (!m_timerRaised) {
        timeBeginPeriod(1);
        m_timerRaised = true;
    }
    m_indexLoaded = true;
    return S_OK;
}

HRESULT CVTSource::Run() {
    if (!m_indexLoaded || (!ThreadExists() && !Create()))
        return E_FAIL;
    return static_cast<HRESULT>(CallWorker(kCmdRun));
}

void CVTSource::Stop() {
    m_stop.Set();
    if (ThreadExists())
        CallWorker(kCmdStop);
}

void CVTSource::Close() {
    m_indexLoaded = false;
    if (ThreadExists()) {
        m_stop.Set();
        CallWorker(kCmdExit);
        CAMThread::Close();
    }
    if (m_timerRaised) {
        timeEndPeriod(1);
        m_timerRaised = false;
    }
    CloseDevice();
    CAutoLock pos(&m_posLock);
    CloseTextFile();
}

void CVTSource::CloseDevice() {
    CAutoLock pos(&m_posLock);
    CAutoLock disk(&m_diskLock);
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
}

DWORD CVTSource::ThreadProc() {
    for (;;) {
        DWORD command = GetRequest();
        switch (command) {
        case kCmdRun:
        case kCmdRun2:
            // Cleared before the reply, so a stop sent right after the run is never lost.
            m_consumed.Reset();
            m_stop.Reset();
            Reply(S_OK);
            if (m_exportMode)
                ExportLoop();
            else
                PlaybackLoop();
            break;
        case kCmdStop:
            Reply(S_OK);
            break;
        case kCmdExit:
            Reply(S_OK);
            return 0;
        default:
            Reply(static_cast<DWORD>(E_NOTIMPL));
            break;
        }
    }
}

bool CVTSource::Interrupted() {
    return CheckRequest(nullptr) || m_stop.Check();
}

bool CVTSource::WaitInterrupt(DWORD ms) {
    HANDLE h[2] = {m_stop.Handle(), GetRequestHandle()};
    return WaitForMultipleObjects(2, h, FALSE, ms) != WAIT_TIMEOUT;
}

bool CVTSource::Hand(CVTPinLink* link) {
    // A pin without a streaming thread, or one whose loop has given up, is passed over.
    if (!link || !link->Connected() || link->m_ended.Wait(0))
        return true;
    link->m_dataReady.Set();
    HANDLE h[4] = {m_stop.Handle(), GetRequestHandle(), m_consumed.Handle(), link->m_ended.Handle()};
    DWORD r = WaitForMultipleObjects(4, h, FALSE, INFINITE);
    return r == WAIT_OBJECT_0 + 2 || r == WAIT_OBJECT_0 + 3;
}

CVTSource::PinWake CVTSource::WaitForData(CVTPinLink& link, HANDLE command) {
    HANDLE h[3] = {link.m_stop.Handle(), link.m_dataReady.Handle(), command};
    DWORD r = WaitForMultipleObjects(command ? 3 : 2, h, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1)
        return PinWake::Data;
    if (r == WAIT_OBJECT_0 + 2)
        return PinWake::Command;
    return PinWake::Stop;
}

// ---- settings ----------------------------------------------------------------------------------------

void CVTSource::AttachPins(CVTPinLink* const* video, CVTPinLink* audio) {
    CAutoLock pos(&m_posLock);
    for (int c = 0; c < kChannels; ++c)
        m_video[c] = video ? video[c] : nullptr;
    m_audio = audio;
}

void CVTSource::SetPlayback(LONG speed, LONG direction, LONG option) {
    if (speed <= 0)
        speed = 1000;
    m_factor = 1000.0 / static_cast<double>(speed);
    m_dir = direction < 0 ? -1 : 1;
    int n = static_cast<int>(std::min<LONG>(speed / 1000, 255));
    m_n = n;
    if (n > 2) {
        CAutoLock pos(&m_posLock);
        std::fill(std::begin(m_fastCounter), std::end(m_fastCounter), static_cast<BYTE>(n / 4));
    }
    m_playOption = option;
}

void CVTSource::SetChannelMask(DWORD mask) {
    CAutoLock pos(&m_posLock);
    for (int c = 0; c < kChannels; ++c)
        m_channelOn[c] = (mask >> c) & 1;
}

void CVTSource::SetAudioChannel(BYTE channel) {
    CAutoLock pos(&m_posLock);
    m_audioChannel = channel;
}

void CVTSource::Step(LONG count) {
    {
        CAutoLock pos(&m_posLock);
        m_stepCount = (static_cast<LONG>(m_skipCounter) + 1) * count;
    }
    m_step.Set();
}

void CVTSource::SetDisplayCounter(int channel, WORD value) {
    CAutoLock pos(&m_posLock);
    m_displayCounter[channel & 15] = value;
}

void CVTSource::ClearDisplayCounters() {
    CAutoLock pos(&m_posLock);
    std::fill(std::begin(m_displayCounter), std::end(m_displayCounter), WORD(0));
    m_skipCounter = 0;
}

int CVTSource::CurrentSection() {
    CAutoLock pos(&m_posLock);
    return m_section;
}

REFERENCE_TIME CVTSource::VideoDuration() {
    CAutoLock pos(&m_posLock);
    return m_videoDuration;
}

REFERENCE_TIME CVTSource::AudioDuration() {
    CAutoLock pos(&m_posLock);
    return m_audioDuration;
}

int CVTSource::RecorderKind() {
    CAutoLock pos(&m_posLock);
    return m_recorderKind;
}

TavPacket CVTSource::CurrentPacket() {
    CAutoLock pos(&m_posLock);
    return m_pkt;
}

void CVTSource::ResetPinFormats() {
    WORD w, h;
    BYTE code;
    {
        CAutoLock pos(&m_posLock);
        w = m_width;
        h = m_height;
        code = m_code;
    }
    for (CVTPinLink* link : m_video)
        if (link)
            link->OnFormat(w, h, code);
}

void CVTSource::EndExport() {
    m_exportMode = false;
    ResetPinFormats();
    CAutoLock pos(&m_posLock);
    CloseTextFile();
}

// ---- sections, positions and marks of a source without its own ----------------------------------------

HRESULT CVTSource::Open(int kind, int drive, const char* path) {
    (void)kind, (void)drive, (void)path;
    return S_OK;
}

HRESULT CVTSource::GetSections(BYTE* records, DWORD maxRecords) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0 || !records)
        return E_FAIL;
    for (DWORD i = 0; i < DWORD(m_sectionsInUse) && i < maxRecords; ++i) {
        std::memset(records + 28 * i, 0, 28);
        platform::WriteLE32(records + 28 * i, m_sections[i].start);
        platform::WriteLE32(records + 28 * i + 12, m_sections[i].end);
    }
    return S_OK;
}

DWORD CVTSource::GetEventTimes(BYTE* records, DWORD maxRecords) {
    (void)records, (void)maxRecords;
    return 0;
}

HRESULT CVTSource::GetPosition(LONG* perMille, DWORD* time) {
    CAutoLock pos(&m_posLock);
    if (perMille)
        *perMille = 0;
    if (time)
        *time = m_curTime;
    return S_OK;
}

HRESULT CVTSource::SeekToFraction(LONG numerator, LONG denominator) {
    (void)numerator, (void)denominator;
    return S_OK;
}
HRESULT CVTSource::SeekToSectionTime(DWORD time) {
    (void)time;
    return S_OK;
}
HRESULT CVTSource::SeekToTime(DWORD time) {
    (void)time;
    return S_OK;
}

HRESULT CVTSource::GetTimeBound(int which, DWORD* time) {
    CAutoLock pos(&m_posLock);
    if (!time || m_sectionsInUse == 0)
        return E_FAIL;
    *time = which == 0 ? m_sections[0].start : m_sections[m_sectionsInUse - 1].end;
    return S_OK;
}

HRESULT CVTSource::GetProgress(LONG* perMille, int cancel) {
    if (cancel == 1)
        m_cancel = 1;
    if (perMille)
        *perMille = m_progress;
    return S_OK;
}

HRESULT CVTSource::SelectSection(int section) {
    CAutoLock pos(&m_posLock);
    if (m_sectionsInUse == 0)
        return E_FAIL;
    m_section = std::clamp(section, 0, m_sectionsInUse - 1);
    HRESULT hr = InitSection();
    BuildEventLists();
    return hr;
}

HRESULT CVTSource::Mark(TavMark* mark, DWORD* time) {
    CAutoLock pos(&m_posLock);
    mark->section = m_section;
    mark->segment = m_pkt.segment;
    mark->block = m_pkt.block;
    mark->entry = m_pkt.entry;
    mark->running = 0;
    mark->time = m_curTime;
    if (time)
        *time = mark->time;
    return S_OK;
}
HRESULT CVTSource::MarkStart(DWORD* time) {
    return Mark(&m_markStart, time);
}
HRESULT CVTSource::MarkEnd(DWORD* time) {
    return Mark(&m_markEnd, time);
}

void CVTSource::MeasureDurations(const std::function<bool(BYTE* type, BYTE* channel, DWORD* time)>& next) {
    RateCounter video, audio;
    BYTE type = 0, channel = 0;
    DWORD time = 0;
    for (int i = 0; i < 512 && !(video.done && audio.done) && next(&type, &channel, &time); ++i) {
        if ((type == kTypeKey || type == kTypePredicted) && channel == m_measureChannel)
            video.See(time);
        else if (type == kTypeAudio && channel == 0)
            audio.See(time);
    }
    // Without a measurement pictures last 1/32 s; neither lasts more than half a second.
    REFERENCE_TIME v = video.duration;
    if (v < 10)
        v = 312500;
    REFERENCE_TIME a = audio.duration;
    if (a < 10)
        a = 5000000;
    m_videoDuration = std::min<REFERENCE_TIME>(v, 5000000);
    m_audioDuration = std::min<REFERENCE_TIME>(a, 5000000);
}

} // namespace tav
