// "DirectSound Renderer Filter" on SDL2 audio.
//
// Takes PCM (8 or 16 bit), A-law and mu-law (ITU-T G.711) with one or two channels, turns every sample
// into signed 16-bit PCM scaled by the volume, and queues it on an SDL audio device opened when the
// filter leaves the stopped state. Delivery is paced by the device: while more than half a second is
// queued the streaming thread waits (released by stop, flush or a state change). Paused, it holds no
// sample: what arrives is queued while there is room and dropped otherwise. The statistics of
// IAMAudioRendererStats come from this queue.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <new>
#include <vector>

#include "media/clsids.h"
#include "media/streams.h"
#include "stock.h"

namespace {

// G.711 expansion to 16-bit linear.
std::int16_t AlawToLinear(BYTE a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else
        t = (t + 0x108) << (seg - 1);
    return static_cast<std::int16_t>((a & 0x80) ? t : -t);
}

std::int16_t UlawToLinear(BYTE u) {
    u = static_cast<BYTE>(~u);
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return static_cast<std::int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
}

class CAudioRenderer : public CBaseRenderer, public IBasicAudio, public IAMAudioRendererStats {
public:
    CAudioRenderer(LPUNKNOWN outer, HRESULT* phr)
        : CBaseRenderer(CLSID_DSoundRender, "Audio Renderer", outer, phr) {
        // Without an audio device there is no renderer: creating it fails (the caller reports "no audio
        // device"). The default device is opened once to find out, and closed again.
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            if (phr)
                *phr = E_FAIL;
            return;
        }
        m_sdl = true;
        SDL_AudioSpec probe{};
        probe.freq = 8000;
        probe.format = AUDIO_S16SYS;
        probe.channels = 1;
        probe.samples = 1024;
        SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &probe, nullptr, 0);
        if (!device) {
            if (phr)
                *phr = E_FAIL;
            return;
        }
        SDL_CloseAudioDevice(device);
    }
    ~CAudioRenderer() override {
        CloseDevice();
        if (m_sdl)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IBasicAudio)
            return GetInterface(static_cast<IBasicAudio*>(this), ppv);
        if (riid == IID_IAMAudioRendererStats)
            return GetInterface(static_cast<IAMAudioRendererStats*>(this), ppv);
        return CBaseRenderer::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT CheckMediaType(const CMediaType* pmt) override {
        WAVEFORMATEX wfx;
        if (*pmt->Type() != MEDIATYPE_Audio || !GetWaveFormat(*pmt, &wfx))
            return VFW_E_TYPE_NOT_ACCEPTED;
        if (wfx.nChannels < 1 || wfx.nChannels > 2 || wfx.nSamplesPerSec < 1000 ||
            wfx.nSamplesPerSec > 192000)
            return VFW_E_TYPE_NOT_ACCEPTED;
        if (wfx.wFormatTag == WAVE_FORMAT_PCM && (wfx.wBitsPerSample == 8 || wfx.wBitsPerSample == 16))
            return S_OK;
        if ((wfx.wFormatTag == WAVE_FORMAT_ALAW || wfx.wFormatTag == WAVE_FORMAT_MULAW) &&
            wfx.wBitsPerSample == 8)
            return S_OK;
        return VFW_E_TYPE_NOT_ACCEPTED;
    }

    // A new format while streaming (a sample carrying a changed rate) reopens the device for it.
    HRESULT SetMediaType(const CMediaType* pmt) override {
        std::lock_guard lock(m_audioMutex);
        WAVEFORMATEX wfx;
        GetWaveFormat(*pmt, &wfx);
        bool changed = wfx.nSamplesPerSec != m_format.nSamplesPerSec || wfx.nChannels != m_format.nChannels;
        m_format = wfx;
        if (m_device && changed) {
            SDL_CloseAudioDevice(m_device);
            m_device = 0;
            OpenDeviceLocked();
            if (m_device && m_State == State_Running)
                SDL_PauseAudioDevice(m_device, 0);
        }
        return S_OK;
    }

    bool SchedulesByClock() const override { return false; }

    HRESULT OnStartStreaming() override {
        std::lock_guard lock(m_audioMutex);
        if (m_device)
            return S_OK;
        OpenDeviceLocked();
        m_breaks = 0;
        m_lastBufferMs = 0;
        m_started = false;
        return S_OK;
    }

    // Opens the device for the current format. A device that went away since creation leaves none:
    // the stream is then consumed silently rather than failing the whole graph.
    void OpenDeviceLocked() {
        SDL_AudioSpec want{};
        want.freq = static_cast<int>(m_format.nSamplesPerSec);
        want.format = AUDIO_S16SYS;
        want.channels = static_cast<Uint8>(m_format.nChannels);
        want.samples = 1024;
        SDL_AudioSpec have{};
        m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        m_bytesPerSecond = static_cast<DWORD>(want.freq) * want.channels * 2;
    }

    HRESULT OnStopStreaming() override {
        CloseDevice();
        return S_OK;
    }

    HRESULT Run(REFERENCE_TIME start) override {
        HRESULT hr = CBaseRenderer::Run(start);
        std::lock_guard lock(m_audioMutex);
        if (m_device)
            SDL_PauseAudioDevice(m_device, 0);
        return hr;
    }

    HRESULT Pause() override {
        HRESULT hr = CBaseRenderer::Pause();
        std::lock_guard lock(m_audioMutex);
        if (m_device)
            SDL_PauseAudioDevice(m_device, 1);
        return hr;
    }

    HRESULT BeginFlush() override {
        {
            std::lock_guard lock(m_audioMutex);
            if (m_device)
                SDL_ClearQueuedAudio(m_device);
        }
        return CBaseRenderer::BeginFlush();
    }

    // The stream is complete once the device has played what is queued (or the wait is cut short by
    // a stop, flush or state change).
    HRESULT EndOfStream() override {
        {
            std::unique_lock l(m_mutex);
            unsigned gen = m_generation;
            while (m_generation == gen && m_renderState == State_Running && QueuedBytes() > 0)
                m_cond.wait_for(l, std::chrono::milliseconds(10));
        }
        return CBaseRenderer::EndOfStream();
    }

    // A sound device's buffer takes audio while the graph is paused (and while its video renderers
    // step): the sample goes onto the paused device's queue while that holds less than half a second,
    // and is dropped when it is full. So the paused renderer never holds up the thread that delivers
    // the sound, which may be the one that reads every picture as well. The first sample completes the
    // pause, as a held one would.
    HRESULT Receive(IMediaSample* sample) override {
        {
            std::unique_lock l(m_mutex);
            if (m_renderState == State_Paused && !m_bEOS && !m_bFlushing) {
                m_bHaveSample = true;
                {
                    std::lock_guard lock(m_audioMutex);
                    if (m_device && SDL_GetQueuedAudioSize(m_device) <= m_bytesPerSecond / 2)
                        QueueLocked(sample);
                }
                l.unlock();
                m_cond.notify_all();
                return S_OK;
            }
        }
        return CBaseRenderer::Receive(sample);
    }

    HRESULT DoRenderSample(IMediaSample* sample) override {
        SDL_AudioDeviceID device;
        DWORD bytesPerSecond;
        {
            std::lock_guard lock(m_audioMutex);
            device = m_device;
            bytesPerSecond = m_bytesPerSecond;
            if (!QueueLocked(sample))
                return S_OK;
        }
        // Pace delivery by the device: while more than half a second is queued, look again every 10 ms
        // (SDL signals nothing as its queue drains); a stop, flush or state change ends the wait.
        std::unique_lock l(m_mutex);
        unsigned gen = m_generation;
        while (m_generation == gen && SDL_GetQueuedAudioSize(device) > bytesPerSecond / 2)
            m_cond.wait_for(l, std::chrono::milliseconds(10));
        return S_OK;
    }

    // IBasicAudio
    HRESULT put_Volume(LONG volume) override {
        if (volume < -10000 || volume > 0)
            return E_INVALIDARG;
        std::lock_guard lock(m_audioMutex);
        m_volume = volume;
        return S_OK;
    }
    HRESULT get_Volume(LONG* volume) override {
        if (!volume)
            return E_POINTER;
        std::lock_guard lock(m_audioMutex);
        *volume = m_volume;
        return S_OK;
    }
    HRESULT put_Balance(LONG balance) override {
        if (balance < -10000 || balance > 10000)
            return E_INVALIDARG;
        std::lock_guard lock(m_audioMutex);
        m_balance = balance;
        return S_OK;
    }
    HRESULT get_Balance(LONG* balance) override {
        if (!balance)
            return E_POINTER;
        std::lock_guard lock(m_audioMutex);
        *balance = m_balance;
        return S_OK;
    }

    // IAMAudioRendererStats
    HRESULT GetStatParam(DWORD param, DWORD* value1, DWORD* value2) override {
        if (!value1)
            return E_POINTER;
        std::lock_guard lock(m_audioMutex);
        *value1 = 0;
        if (value2)
            *value2 = 0;
        switch (param) {
        case AM_AUDREND_STAT_PARAM_BREAK_COUNT:
            *value1 = m_breaks;
            return S_OK;
        case AM_AUDREND_STAT_PARAM_SLAVE_MODE:
            return S_OK; // not slaved to another clock
        case AM_AUDREND_STAT_PARAM_SLAVE_RATE:
            *value1 = m_format.nSamplesPerSec;
            return S_OK;
        case AM_AUDREND_STAT_PARAM_LAST_BUFFER_DUR:
            *value1 = m_lastBufferMs;
            return S_OK;
        case AM_AUDREND_STAT_PARAM_BUFFERFULLNESS:
            if (m_device && m_bytesPerSecond)
                *value1 =
                    std::min<DWORD>(100, SDL_GetQueuedAudioSize(m_device) * 100 / (m_bytesPerSecond / 2));
            return S_OK;
        case AM_AUDREND_STAT_PARAM_RENDERED:
            *value1 = m_renderedSamples;
            if (value2)
                *value2 = m_renderedFrames;
            return S_OK;
        case AM_AUDREND_STAT_PARAM_SILENCE_DUR:
        case AM_AUDREND_STAT_PARAM_DISCONTINUITIES:
        case AM_AUDREND_STAT_PARAM_SLAVE_DROPWRITE_DUR:
        case AM_AUDREND_STAT_PARAM_SLAVE_HIGHLOWERROR:
        case AM_AUDREND_STAT_PARAM_SLAVE_LASTHIGHLOWERROR:
        case AM_AUDREND_STAT_PARAM_SLAVE_ACCUMERROR:
        case AM_AUDREND_STAT_PARAM_JITTER:
            return S_OK;
        default:
            return E_INVALIDARG;
        }
    }

private:
    // Converts the sample and queues it on the device; false when there is no device or no data.
    // Called with m_audioMutex held.
    bool QueueLocked(IMediaSample* sample) {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const LONG length = sample->GetActualDataLength();
        if (!m_device || length <= 0)
            return false;
        std::vector<std::int16_t> pcm;
        Convert(data, length, pcm);
        ++m_renderedSamples;
        m_renderedFrames += static_cast<DWORD>(pcm.size() / std::max<WORD>(m_format.nChannels, 1));
        // An empty queue after the first buffer means the device ran dry: a break.
        if (m_started && SDL_GetQueuedAudioSize(m_device) == 0)
            ++m_breaks;
        m_started = true;
        SDL_QueueAudio(m_device, pcm.data(), static_cast<Uint32>(pcm.size() * 2));
        m_lastBufferMs =
            static_cast<DWORD>(std::uint64_t(pcm.size()) * 2 * 1000 / std::max<DWORD>(m_bytesPerSecond, 1));
        return true;
    }

    Uint32 QueuedBytes() {
        std::lock_guard lock(m_audioMutex);
        return m_device ? SDL_GetQueuedAudioSize(m_device) : 0;
    }

    void CloseDevice() {
        std::lock_guard lock(m_audioMutex);
        if (m_device) {
            SDL_CloseAudioDevice(m_device);
            m_device = 0;
        }
    }

    // Called with m_audioMutex held.
    void Convert(const BYTE* data, LONG length, std::vector<std::int16_t>& out) {
        double gain = m_volume <= -10000 ? 0.0 : std::pow(10.0, m_volume / 2000.0);
        auto scale = [gain](int v) {
            double s = v * gain;
            return static_cast<std::int16_t>(std::clamp(s, -32768.0, 32767.0));
        };
        if (m_format.wFormatTag == WAVE_FORMAT_PCM && m_format.wBitsPerSample == 16) {
            out.resize(static_cast<std::size_t>(length) / 2);
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = scale(static_cast<std::int16_t>(data[2 * i] | data[2 * i + 1] << 8));
        } else {
            out.resize(static_cast<std::size_t>(length));
            for (std::size_t i = 0; i < out.size(); ++i) {
                int v = m_format.wFormatTag == WAVE_FORMAT_ALAW    ? AlawToLinear(data[i])
                        : m_format.wFormatTag == WAVE_FORMAT_MULAW ? UlawToLinear(data[i])
                                                                   : (int(data[i]) - 128) << 8;
                out[i] = scale(v);
            }
        }
    }

    std::mutex m_audioMutex;
    bool m_sdl = false;
    SDL_AudioDeviceID m_device = 0;
    WAVEFORMATEX m_format;
    DWORD m_bytesPerSecond = 0;
    LONG m_volume = 0;
    LONG m_balance = 0;
    DWORD m_breaks = 0;
    DWORD m_renderedSamples = 0, m_renderedFrames = 0;
    DWORD m_lastBufferMs = 0;
    bool m_started = false;
};

} // namespace

CUnknown* CreateAudioRenderer(LPUNKNOWN outer, HRESULT* phr) {
    auto* r = new (std::nothrow) CAudioRenderer(outer, phr);
    return r;
}
