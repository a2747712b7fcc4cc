// "AVI Mux" and "File writer".
//
// The multiplexer takes any number of streams (a new free input appears whenever one is connected) and
// writes an AVI 1.0 file through the writer: a placeholder header when streaming starts, every sample
// as a chunk of 'movi' in the order samples arrive (so video and audio interleave as they are
// produced), and at the end (all inputs at end of stream, or stop) the 'idx1' index and the final
// headers with the frame counts and rates measured from the stream. The writer's input pin offers
// positioned writes (IMuxFileSink) rather than samples, so the multiplexer can finish the file even
// after the writer has been stopped.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "avi_format.h"
#include "media/clsids.h"
#include "media/streams.h"
#include "platform/system.h"
#include "stock.h"

namespace {

// Positioned writes into the writer's file.
constexpr IID IID_IMuxFileSink = {
    0x7B2E5A10, 0x34C1, 0x4F8E, {0x9D, 0x02, 0x6A, 0xE1, 0x5B, 0x77, 0xC3, 0x19}};
struct IMuxFileSink : IUnknown {
    virtual HRESULT OpenFile() = 0;
    virtual HRESULT WriteAt(LONGLONG position, const BYTE* data, LONG length) = 0;
    virtual HRESULT CloseFile() = 0;
    // Names the next file and opens it, for an archive cut into several files.
    virtual HRESULT OpenFileNamed(const char* file) = 0;

protected:
    ~IMuxFileSink() = default;
};

// AVI keeps sizes in 32 bits, so a long archive is written as OpenDML: the first RIFF ('AVI ') with
// its legacy 'idx1', then 'AVIX' RIFFs, each movie list closed by a standard index ('ix##') per
// stream that a super index ('indx') in the stream's header lists. Each RIFF is kept below 1 GiB, as
// common writers do; $SCRYDE_AVI_RIFF_LIMIT (bytes) makes it smaller for tests. A file that fits one
// RIFF stays plain AVI 1.0: the room for the OpenDML headers stays a JUNK chunk.
constexpr LONGLONG kRiffLimit = 0x40000000LL;
constexpr DWORD kSuperEntries = 512; // RIFFs a file can have: 512 GiB at the usual limit
constexpr ULONG kSuperIndexBytes = 24 + 16 * kSuperEntries;
constexpr ULONG kDmlhBytes = 248;
constexpr ULONG kOdmlListBytes = 12 + 8 + kDmlhBytes;

LONGLONG RiffLimit() {
    if (const char* env = std::getenv("SCRYDE_AVI_RIFF_LIMIT"); env && *env) {
        const long long v = std::atoll(env);
        if (v >= 65536)
            return std::min<LONGLONG>(v, kRiffLimit);
    }
    return kRiffLimit;
}

// ---- File writer ------------------------------------------------------------------------------------------

class CFileWriter;

class CWriterInputPin : public CBasePin, public IMuxFileSink {
public:
    CWriterInputPin(CFileWriter* filter, CCritSec* lock);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IMuxFileSink)
            return GetInterface(static_cast<IMuxFileSink*>(this), ppv);
        return CBasePin::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return *pmt->Type() == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }
    HRESULT EndOfStream() override;
    HRESULT OpenFile() override;
    HRESULT WriteAt(LONGLONG position, const BYTE* data, LONG length) override;
    HRESULT CloseFile() override;
    HRESULT OpenFileNamed(const char* file) override;

    CFileWriter* m_writer;
};

class CFileWriter : public CBaseFilter, public IFileSinkFilter {
public:
    CFileWriter(LPUNKNOWN outer, HRESULT* phr)
        : CBaseFilter("File writer", outer, &m_lock, CLSID_FileWriter, phr), m_pin(this, &m_lock) {}
    ~CFileWriter() override {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IFileSinkFilter)
            return GetInterface(static_cast<IFileSinkFilter*>(this), ppv);
        return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    HRESULT SetFileName(const char* file, const AM_MEDIA_TYPE*) override {
        if (!file)
            return E_POINTER;
        CAutoLock lock(&m_lock);
        m_file = file;
        return S_OK;
    }
    HRESULT GetCurFile(char** file, AM_MEDIA_TYPE* pmt) override {
        if (!file)
            return E_POINTER;
        CAutoLock lock(&m_lock);
        *file = static_cast<char*>(CoTaskMemAlloc(m_file.size() + 1));
        if (!*file)
            return E_OUTOFMEMORY;
        std::memcpy(*file, m_file.c_str(), m_file.size() + 1);
        if (pmt) {
            CMediaType mt;
            mt.SetType(&MEDIATYPE_Stream);
            mt.SetSubtype(&MEDIASUBTYPE_Avi);
            CopyMediaType(pmt, &mt);
        }
        return S_OK;
    }

    HRESULT Stop() override {
        CAutoLock lock(&m_lock);
        std::lock_guard l(m_fileMutex);
        m_eos = false;
        m_State = State_Stopped;
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME start) override {
        CAutoLock lock(&m_lock);
        HRESULT hr = CBaseFilter::Run(start);
        bool complete = false;
        {
            std::lock_guard l(m_fileMutex);
            complete = m_eos && !m_eosSent;
            m_eosSent = m_eosSent || complete;
        }
        if (complete)
            NotifyEvent(EC_COMPLETE, S_OK, 0);
        return hr;
    }

    HRESULT StreamEnded() {
        bool complete = false;
        {
            std::lock_guard l(m_fileMutex);
            m_eos = true;
            complete = m_State == State_Running && !m_eosSent;
            m_eosSent = m_eosSent || complete;
        }
        if (complete)
            NotifyEvent(EC_COMPLETE, S_OK, 0);
        return S_OK;
    }

    HRESULT Open() {
        std::lock_guard l(m_fileMutex);
        if (m_fd >= 0)
            ::close(m_fd);
        m_eos = false;
        m_eosSent = false;
        m_fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(errno));
        return S_OK;
    }
    HRESULT Write(LONGLONG position, const BYTE* data, LONG length) {
        std::lock_guard l(m_fileMutex);
        if (m_fd < 0)
            return E_UNEXPECTED;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(length)) {
            ssize_t n = ::pwrite(m_fd, data + done, static_cast<std::size_t>(length) - done,
                                 static_cast<off_t>(position) + static_cast<off_t>(done));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(errno));
            }
            done += static_cast<std::size_t>(n);
        }
        return S_OK;
    }
    HRESULT Close() {
        std::lock_guard l(m_fileMutex);
        if (m_fd < 0)
            return S_FALSE;
        int rc = ::close(m_fd);
        m_fd = -1;
        return rc == 0 ? S_OK : E_FAIL;
    }

private:
    CCritSec m_lock;
    CWriterInputPin m_pin;
    std::mutex m_fileMutex;
    std::string m_file;
    int m_fd = -1;
    bool m_eos = false;
    bool m_eosSent = false;
};

CWriterInputPin::CWriterInputPin(CFileWriter* filter, CCritSec* lock)
    : CBasePin("writer input", filter, lock, nullptr, "in", PINDIR_INPUT), m_writer(filter) {}
HRESULT CWriterInputPin::EndOfStream() {
    return m_writer->StreamEnded();
}
HRESULT CWriterInputPin::OpenFile() {
    return m_writer->Open();
}
HRESULT CWriterInputPin::WriteAt(LONGLONG position, const BYTE* data, LONG length) {
    return m_writer->Write(position, data, length);
}
HRESULT CWriterInputPin::CloseFile() {
    return m_writer->Close();
}
HRESULT CWriterInputPin::OpenFileNamed(const char* file) {
    HRESULT hr = m_writer->SetFileName(file, nullptr);
    return FAILED(hr) ? hr : m_writer->Open();
}

// ---- Multiplexer
// -------------------------------------------------------------------------------------------

class CAviMux;

class CMuxInputPin : public CBaseInputPin {
public:
    CMuxInputPin(CAviMux* mux, CCritSec* lock, const std::string& name);
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
        props->cBuffers = 4;
        props->cbBuffer = 0;
        props->cbAlign = 1;
        props->cbPrefix = 0;
        return S_OK;
    }

    CAviMux* m_mux;
};

class CMuxOutputPin : public CBasePin {
public:
    CMuxOutputPin(CBaseFilter* mux, CCritSec* lock)
        : CBasePin("mux output", mux, lock, nullptr, "AVI Out", PINDIR_OUTPUT) {}
    HRESULT CheckConnect(IPin* pin) override {
        HRESULT hr = CBasePin::CheckConnect(pin);
        if (FAILED(hr))
            return hr;
        return pin->QueryInterface(IID_IMuxFileSink, m_sink.ReleaseAndGetVoidAddress());
    }
    HRESULT BreakConnect() override {
        m_sink.Reset();
        return S_OK;
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return (*pmt->Type() == MEDIATYPE_Stream && *pmt->Subtype() == MEDIASUBTYPE_Avi) ? S_OK : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        pmt->InitMediaType();
        pmt->SetType(&MEDIATYPE_Stream);
        pmt->SetSubtype(&MEDIASUBTYPE_Avi);
        pmt->SetFormatType(&FORMAT_None);
        return S_OK;
    }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

    ComPtr<IMuxFileSink> m_sink;
};

struct StreamState {
    CMuxInputPin* pin = nullptr;
    CMediaType type;
    bool video = false;
    bool compressed = false;
    DWORD frames = 0; // chunks
    LONGLONG bytes = 0;
    DWORD maxChunk = 0;
    bool timed = false;
    REFERENCE_TIME firstStart = 0;
    REFERENCE_TIME lastStart = 0;
    bool eos = false;
    // OpenDML: this RIFF's chunks (data offset from the movie list, size with bit 31 for a non-key
    // frame), the standard indexes written so far, and the chunks of the first RIFF.
    std::vector<std::pair<DWORD, DWORD>> chunks;
    struct IndexOfChunks {
        ULONGLONG offset;
        DWORD size, duration;
    };
    std::vector<IndexOfChunks> indexes;
    DWORD firstRiffFrames = 0;
};

class CAviMux : public CBaseFilter, public IAviMuxCut {
public:
    CAviMux(LPUNKNOWN outer, HRESULT* phr) : CBaseFilter("AVI Mux", outer, &m_lock, CLSID_AviDest, phr) {
        m_output = std::make_unique<CMuxOutputPin>(this, &m_lock);
        AddFreeInput();
    }
    ~CAviMux() override = default;
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IAviMuxCut)
            return GetInterface(static_cast<IAviMuxCut*>(this), ppv);
        return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
    }

    // A write in progress holds m_writeMutex to its end, so taking it is waiting for that write.
    HRESULT HoldAndFinish() override {
        std::lock_guard l(m_writeMutex);
        if (!m_started || m_finished || !m_output->m_sink)
            return VFW_E_WRONG_STATE;
        m_holding = true;
        FinishFileLocked();
        return m_output->m_sink->CloseFile();
    }
    HRESULT ContinueInto(const char* file) override {
        if (!file)
            return E_POINTER;
        HRESULT hr = S_OK;
        {
            std::lock_guard l(m_writeMutex);
            if (!m_holding || !m_output->m_sink)
                return VFW_E_WRONG_STATE;
            for (StreamState& st : m_streams) {
                StreamState fresh; // the counts start again with the file
                fresh.pin = st.pin;
                fresh.type = st.type;
                fresh.video = st.video;
                fresh.compressed = st.compressed;
                fresh.eos = st.eos;
                st = std::move(fresh);
            }
            m_index.clear();
            m_finished = false;
            hr = m_output->m_sink->OpenFileNamed(file);
            if (SUCCEEDED(hr))
                hr = BeginFileLocked();
            if (FAILED(hr))
                m_finished = true; // the waiting writes find no file and fail
            m_holding = false;
        }
        m_holdCond.notify_all();
        return hr;
    }

    int GetPinCount() override {
        CAutoLock lock(&m_lock);
        return static_cast<int>(m_inputs.size()) + 1;
    }
    CBasePin* GetPin(int n) override {
        CAutoLock lock(&m_lock);
        if (n >= 0 && n < static_cast<int>(m_inputs.size()))
            return m_inputs[static_cast<std::size_t>(n)].get();
        if (n == static_cast<int>(m_inputs.size()))
            return m_output.get();
        return nullptr;
    }

    void AddFreeInput() {
        char name[32];
        std::snprintf(name, sizeof name, "Input %02d", static_cast<int>(m_inputs.size()) + 1);
        m_inputs.push_back(std::make_unique<CMuxInputPin>(this, &m_lock, name));
    }
    // A connected input leaves a new free one behind.
    void InputConnected() {
        bool allUsed =
            std::all_of(m_inputs.begin(), m_inputs.end(), [](auto& p) { return p->IsConnected(); });
        if (allUsed)
            AddFreeInput();
    }

    HRESULT Pause() override {
        CAutoLock lock(&m_lock);
        if (m_State == State_Stopped) {
            HRESULT hr = StartFile();
            if (FAILED(hr))
                return hr;
        }
        return CBaseFilter::Pause();
    }

    HRESULT Stop() override {
        CAutoLock lock(&m_lock);
        HRESULT hr = CBaseFilter::Stop();
        {
            std::lock_guard l(m_writeMutex);
            m_holding = false; // held writes find the file finished
            FinishFileLocked();
            if (m_output->m_sink)
                m_output->m_sink->CloseFile();
        }
        m_holdCond.notify_all();
        return hr;
    }

    HRESULT Write(int stream, IMediaSample* sample) {
        std::unique_lock l(m_writeMutex);
        m_holdCond.wait(l, [this] { return !m_holding; });
        if (!m_started || m_finished || stream < 0 || stream >= static_cast<int>(m_streams.size()))
            return VFW_E_WRONG_STATE;
        StreamState& s = m_streams[static_cast<std::size_t>(stream)];
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        LONG length = sample->GetActualDataLength();
        if (length < 0)
            return E_UNEXPECTED;
        const LONGLONG chunkBytes = 8 + LONGLONG(length) + (length & 1);
        if (m_position + chunkBytes + ClosingBytes(1) > m_riffPos + RiffLimit()) {
            // Into the next RIFF; a sample that cannot fit even an empty one, or a file whose super
            // index is full, is an error, never a silent loss.
            // The current RIFF stays open when the super index has room for it only, so the file
            // is still completed when the graph stops.
            const bool empty = m_position == m_moviListPos + 4;
            const bool lastRiff = std::any_of(m_streams.begin(), m_streams.end(), [](const StreamState& st) {
                return st.indexes.size() + 1 >= kSuperEntries;
            });
            if (empty || lastRiff || !CloseRiff() || !BeginRiff() ||
                m_position + chunkBytes + ClosingBytes(1) > m_riffPos + RiffLimit())
                return E_FAIL;
        }
        DWORD id = avi::ChunkId(stream, s.video ? (s.compressed ? "dc" : "db") : "wb");
        BYTE head[8];
        platform::WriteLE32(head, id);
        platform::WriteLE32(head + 4, static_cast<DWORD>(length));
        HRESULT hr = m_output->m_sink->WriteAt(m_position, head, 8);
        if (SUCCEEDED(hr) && length > 0)
            hr = m_output->m_sink->WriteAt(m_position + 8, data, length);
        if (SUCCEEDED(hr) && (length & 1)) {
            const BYTE pad = 0;
            hr = m_output->m_sink->WriteAt(m_position + 8 + length, &pad, 1);
        }
        if (FAILED(hr))
            return hr;
        IndexEntry e;
        e.id = id;
        e.flags = (!s.video || sample->IsSyncPoint() == S_OK) ? avi::AVIIF_KEYFRAME : 0;
        e.offset = static_cast<DWORD>(m_position - m_moviListPos);
        e.length = static_cast<DWORD>(length);
        if (m_riffs == 1)
            m_index.push_back(e);
        s.chunks.emplace_back(static_cast<DWORD>(m_position + 8 - m_moviListPos),
                              static_cast<DWORD>(length) | (e.flags ? 0 : 0x80000000u));
        m_position += 8 + length + (length & 1);
        ++s.frames;
        s.bytes += length;
        s.maxChunk = std::max(s.maxChunk, static_cast<DWORD>(length));
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        if (SUCCEEDED(sample->GetTime(&start, &stop))) {
            if (!s.timed) {
                s.timed = true;
                s.firstStart = start;
            }
            s.lastStart = start;
        }
        return S_OK;
    }

    HRESULT StreamEnded(int stream) {
        bool all = false;
        {
            std::lock_guard l(m_writeMutex);
            if (stream >= 0 && stream < static_cast<int>(m_streams.size()))
                m_streams[static_cast<std::size_t>(stream)].eos = true;
            all = !m_streams.empty() &&
                  std::all_of(m_streams.begin(), m_streams.end(), [](const StreamState& s) { return s.eos; });
            if (all)
                FinishFileLocked();
        }
        if (all && m_output->GetConnected())
            m_output->GetConnected()->EndOfStream();
        return S_OK;
    }

    // A sample that could not be written stops its stream upstream; the graph hears of it once, so a
    // run waiting for its end is not left waiting.
    void WriteFailed(HRESULT hr) {
        if (!m_failureNotified.exchange(true))
            NotifyEvent(EC_ERRORABORT, hr, 0);
    }

    int StreamOf(CMuxInputPin* pin) {
        std::lock_guard l(m_writeMutex);
        for (std::size_t i = 0; i < m_streams.size(); ++i)
            if (m_streams[i].pin == pin)
                return static_cast<int>(i);
        return -1;
    }

private:
    struct IndexEntry {
        DWORD id;
        DWORD flags;
        DWORD offset;
        DWORD length;
    };

    static ULONG StrfSize(const StreamState& s) {
        return s.video ? BITMAPINFOHEADER::kSize : WAVEFORMATEX::kSize;
    }

    ULONG HeaderBytes() const {
        ULONG n = 12 + 12 + 8 + avi::kAvihSize;
        for (const StreamState& s : m_streams)
            n += StrlBytes(s);
        return n + kOdmlListBytes;
    }
    // A stream's header list with the room for its super index.
    static ULONG StrlBytes(const StreamState& s) {
        return 12 + 8 + avi::kStrhSize + 8 + StrfSize(s) + 8 + kSuperIndexBytes;
    }

    // What closing the current RIFF adds once `more` further chunks are in it: the standard indexes,
    // and in the first RIFF the legacy index.
    LONGLONG ClosingBytes(std::size_t more) const {
        LONGLONG n = 0;
        for (const StreamState& s : m_streams)
            n += 32 + 8 * LONGLONG(s.chunks.size() + more);
        if (m_riffs == 1)
            n += 8 + LONGLONG(m_index.size() + more) * avi::kIndexEntrySize;
        return n;
    }

    // Ends the current RIFF: a standard index per stream at the end of its movie list, then in the
    // first RIFF the legacy index, and the sizes of both lists.
    bool CloseRiff() {
        IMuxFileSink* sink = m_output->m_sink.Get();
        for (std::size_t i = 0; i < m_streams.size(); ++i) {
            StreamState& st = m_streams[i];
            if (st.chunks.empty())
                continue;
            if (st.indexes.size() == kSuperEntries)
                return false;
            const ULONG bytes = 32 + 8 * static_cast<ULONG>(st.chunks.size());
            std::vector<BYTE> ix(bytes, 0);
            char id[16];
            std::snprintf(id, sizeof id, "ix%02u", static_cast<unsigned>(i % 100));
            std::memcpy(ix.data(), id, 4);
            platform::WriteLE32(ix.data() + 4, bytes - 8);
            platform::WriteLE16(ix.data() + 8, 2); // longs per entry
            ix[10] = 0;                            // sub-type
            ix[11] = 1;                            // an index of chunks
            platform::WriteLE32(ix.data() + 12, static_cast<DWORD>(st.chunks.size()));
            platform::WriteLE32(ix.data() + 16, ChunkIdOf(i));
            platform::WriteLE64(ix.data() + 20, static_cast<ULONGLONG>(m_moviListPos));
            for (std::size_t k = 0; k < st.chunks.size(); ++k) {
                platform::WriteLE32(ix.data() + 32 + 8 * k, st.chunks[k].first);
                platform::WriteLE32(ix.data() + 36 + 8 * k, st.chunks[k].second);
            }
            if (FAILED(sink->WriteAt(m_position, ix.data(), static_cast<LONG>(bytes))))
                return false;
            DWORD duration = static_cast<DWORD>(st.chunks.size());
            if (!st.video) {
                WAVEFORMATEX wfx;
                GetWaveFormat(st.type, &wfx);
                LONGLONG sum = 0;
                for (const auto& c : st.chunks)
                    sum += c.second & 0x7FFFFFFFu;
                duration = static_cast<DWORD>(sum / std::max<WORD>(wfx.nBlockAlign, 1));
            }
            st.indexes.push_back({static_cast<ULONGLONG>(m_position), bytes, duration});
            m_position += bytes;
            st.chunks.clear();
        }
        BYTE size[4];
        platform::WriteLE32(size, static_cast<DWORD>(m_position - m_moviListPos));
        if (FAILED(sink->WriteAt(m_moviListPos - 4, size, 4)))
            return false;
        if (m_riffs == 1) {
            m_firstMoviBytes = m_position - m_moviListPos;
            if (!WriteLegacyIndex())
                return false;
            for (StreamState& st : m_streams)
                st.firstRiffFrames = st.frames;
            m_firstRiffEnd = m_position;
        }
        platform::WriteLE32(size, static_cast<DWORD>(m_position - m_riffPos - 8));
        return SUCCEEDED(sink->WriteAt(m_riffPos + 4, size, 4));
    }

    bool BeginRiff() {
        BYTE head[24];
        platform::WriteLE32(head, avi::kRIFF);
        platform::WriteLE32(head + 4, 0);
        std::memcpy(head + 8, "AVIX", 4);
        platform::WriteLE32(head + 12, avi::kLIST);
        platform::WriteLE32(head + 16, 0);
        platform::WriteLE32(head + 20, avi::kMovi);
        if (FAILED(m_output->m_sink->WriteAt(m_position, head, 24)))
            return false;
        m_riffPos = m_position;
        m_moviListPos = m_position + 20;
        m_position += 24;
        ++m_riffs;
        return true;
    }

    DWORD ChunkIdOf(std::size_t stream) const {
        const StreamState& s = m_streams[stream];
        return avi::ChunkId(static_cast<int>(stream), s.video ? (s.compressed ? "dc" : "db") : "wb");
    }

    // The first RIFF's 'idx1', after its movie list.
    bool WriteLegacyIndex() {
        std::vector<BYTE> idx(8 + m_index.size() * avi::kIndexEntrySize);
        platform::WriteLE32(idx.data(), avi::kIdx1);
        platform::WriteLE32(idx.data() + 4, static_cast<DWORD>(m_index.size() * avi::kIndexEntrySize));
        for (std::size_t i = 0; i < m_index.size(); ++i) {
            BYTE* p = idx.data() + 8 + i * avi::kIndexEntrySize;
            platform::WriteLE32(p, m_index[i].id);
            platform::WriteLE32(p + 4, m_index[i].flags);
            platform::WriteLE32(p + 8, m_index[i].offset);
            platform::WriteLE32(p + 12, m_index[i].length);
        }
        m_index.clear();
        if (FAILED(m_output->m_sink->WriteAt(m_position, idx.data(), static_cast<LONG>(idx.size()))))
            return false;
        m_position += static_cast<LONGLONG>(idx.size());
        return true;
    }

    HRESULT StartFile() {
        std::lock_guard l(m_writeMutex);
        m_streams.clear();
        m_index.clear();
        m_started = m_finished = false;
        m_failureNotified = false;
        // Without a writer or any stream there is no file to make: the filter pauses idle.
        if (!m_output->m_sink)
            return S_OK;
        for (auto& pin : m_inputs) {
            if (!pin->IsConnected())
                continue;
            StreamState s;
            s.pin = pin.get();
            s.type = pin->CurrentMediaType();
            s.video = s.type.majortype == MEDIATYPE_Video;
            VIDEOINFOHEADER vih;
            s.compressed = s.video && GetVideoInfo(s.type, &vih) && vih.bmiHeader.biCompression != BI_RGB;
            m_streams.push_back(std::move(s));
        }
        if (m_streams.empty())
            return S_OK;
        HRESULT hr = m_output->m_sink->OpenFile();
        if (FAILED(hr))
            return hr;
        hr = BeginFileLocked();
        if (FAILED(hr))
            return hr;
        m_started = true;
        return S_OK;
    }

    // Room for the headers, then the 'movi' list; both are completed when the file is finished.
    HRESULT BeginFileLocked() {
        ULONG header = HeaderBytes();
        std::vector<BYTE> blank(header + 12, 0);
        HRESULT hr = m_output->m_sink->WriteAt(0, blank.data(), static_cast<LONG>(blank.size()));
        if (FAILED(hr))
            return hr;
        m_moviListPos = header + 8; // the 'movi' four-letter code; index offsets count from here
        m_position = header + 12;
        m_riffPos = 0;
        m_riffs = 1;
        return S_OK;
    }

    // Frame duration of a video stream, from its sample times when it has them.
    static REFERENCE_TIME FrameDuration(const StreamState& s) {
        if (s.timed && s.frames > 1 && s.lastStart > s.firstStart)
            return (s.lastStart - s.firstStart) / (s.frames - 1);
        VIDEOINFOHEADER vih;
        if (GetVideoInfo(s.type, &vih) && vih.AvgTimePerFrame > 0)
            return vih.AvgTimePerFrame;
        return UNITS / 25;
    }

    void FinishFileLocked() {
        if (!m_started || m_finished)
            return;
        m_finished = true;
        IMuxFileSink* sink = m_output->m_sink.Get();
        if (!sink)
            return;
        // A single RIFF ends with its legacy index; a longer file closes its last RIFF as the others.
        const bool opendml = m_riffs > 1;
        if (opendml) {
            if (!CloseRiff())
                OutputDebugStringA("AVI Mux: the last RIFF could not be completed\n");
        } else {
            m_firstMoviBytes = m_position - m_moviListPos;
            WriteLegacyIndex();
            m_firstRiffEnd = m_position;
            for (StreamState& st : m_streams)
                st.firstRiffFrames = st.frames;
        }
        const LONGLONG end = m_firstRiffEnd;

        ULONG header = HeaderBytes();
        std::vector<BYTE> h(header + 12, 0);
        BYTE* p = h.data();
        platform::WriteLE32(p, avi::kRIFF);
        platform::WriteLE32(p + 4, static_cast<DWORD>(end - 8));
        platform::WriteLE32(p + 8, avi::kAVI);
        platform::WriteLE32(p + 12, avi::kLIST);
        platform::WriteLE32(p + 16, header - 20);
        platform::WriteLE32(p + 20, avi::kHdrl);
        platform::WriteLE32(p + 24, avi::kAvih);
        platform::WriteLE32(p + 28, avi::kAvihSize);

        avi::MainHeader mh;
        mh.dwFlags = avi::AVIF_HASINDEX | avi::AVIF_ISINTERLEAVED;
        mh.dwStreams = static_cast<DWORD>(m_streams.size());
        REFERENCE_TIME totalTime = 0;
        LONGLONG totalBytes = 0;
        for (const StreamState& s : m_streams) {
            mh.dwSuggestedBufferSize = std::max(mh.dwSuggestedBufferSize, s.maxChunk + 8);
            totalBytes += s.bytes;
            if (s.video && mh.dwTotalFrames == 0) {
                REFERENCE_TIME d = FrameDuration(s);
                VIDEOINFOHEADER vih;
                GetVideoInfo(s.type, &vih);
                mh.dwMicroSecPerFrame = static_cast<DWORD>(d / 10);
                mh.dwTotalFrames = s.firstRiffFrames; // the whole count is in 'dmlh'
                mh.dwWidth = static_cast<DWORD>(vih.bmiHeader.biWidth);
                mh.dwHeight = static_cast<DWORD>(std::abs(vih.bmiHeader.biHeight));
                totalTime = d * s.frames;
            }
        }
        if (totalTime > 0)
            mh.dwMaxBytesPerSec =
                static_cast<DWORD>(std::min<LONGLONG>(totalBytes * UNITS / totalTime, 0xFFFFFFFF));
        mh.Write(p + 32);

        std::size_t at = 32 + avi::kAvihSize;
        for (const StreamState& s : m_streams) {
            ULONG strf = StrfSize(s);
            platform::WriteLE32(p + at, avi::kLIST);
            platform::WriteLE32(p + at + 4, StrlBytes(s) - 8);
            platform::WriteLE32(p + at + 8, avi::kStrl);
            platform::WriteLE32(p + at + 12, avi::kStrh);
            platform::WriteLE32(p + at + 16, avi::kStrhSize);
            avi::StreamHeader sh;
            sh.dwLength = s.frames;
            sh.dwSuggestedBufferSize = s.maxChunk;
            BYTE* strfAt = p + at + 20 + avi::kStrhSize;
            platform::WriteLE32(strfAt, avi::kStrf);
            platform::WriteLE32(strfAt + 4, strf);
            if (s.video) {
                VIDEOINFOHEADER vih;
                GetVideoInfo(s.type, &vih);
                sh.fccType = avi::kVids;
                sh.fccHandler = vih.bmiHeader.biCompression ? vih.bmiHeader.biCompression
                                                            : MAKEFOURCC('D', 'I', 'B', ' ');
                sh.dwScale = static_cast<DWORD>(FrameDuration(s));
                sh.dwRate = static_cast<DWORD>(UNITS);
                sh.rcFrame[2] = static_cast<SHORT>(vih.bmiHeader.biWidth);
                sh.rcFrame[3] = static_cast<SHORT>(std::abs(vih.bmiHeader.biHeight));
                BITMAPINFOHEADER bih = vih.bmiHeader;
                bih.biSize = BITMAPINFOHEADER::kSize;
                bih.Write(strfAt + 8);
            } else {
                WAVEFORMATEX wfx;
                GetWaveFormat(s.type, &wfx);
                wfx.cbSize = 0;
                sh.fccType = avi::kAuds;
                sh.dwScale = std::max<DWORD>(wfx.nBlockAlign, 1);
                sh.dwRate = wfx.nAvgBytesPerSec;
                sh.dwSampleSize = wfx.nBlockAlign;
                sh.dwLength = static_cast<DWORD>(s.bytes / std::max<DWORD>(wfx.nBlockAlign, 1));
                wfx.Write(strfAt + 8);
            }
            sh.Write(p + at + 20);
            // The super index, or while the file is one RIFF the room kept for it.
            BYTE* indx = strfAt + 8 + strf;
            if (opendml) {
                const std::size_t stream = static_cast<std::size_t>(&s - m_streams.data());
                std::memcpy(indx, "indx", 4);
                platform::WriteLE32(indx + 4, kSuperIndexBytes);
                platform::WriteLE16(indx + 8, 4); // longs per entry
                indx[10] = 0;
                indx[11] = 0; // an index of indexes
                platform::WriteLE32(indx + 12, static_cast<DWORD>(s.indexes.size()));
                platform::WriteLE32(indx + 16, ChunkIdOf(stream));
                for (std::size_t k = 0; k < s.indexes.size(); ++k) {
                    platform::WriteLE64(indx + 32 + 16 * k, s.indexes[k].offset);
                    platform::WriteLE32(indx + 40 + 16 * k, s.indexes[k].size);
                    platform::WriteLE32(indx + 44 + 16 * k, s.indexes[k].duration);
                }
            } else {
                platform::WriteLE32(indx, avi::kJunk);
                platform::WriteLE32(indx + 4, kSuperIndexBytes);
            }
            at += StrlBytes(s);
        }
        // The extended header with the whole frame count, or the room for it.
        if (opendml) {
            platform::WriteLE32(p + at, avi::kLIST);
            platform::WriteLE32(p + at + 4, kOdmlListBytes - 8);
            std::memcpy(p + at + 8, "odml", 4);
            std::memcpy(p + at + 12, "dmlh", 4);
            platform::WriteLE32(p + at + 16, kDmlhBytes);
            for (const StreamState& s : m_streams)
                if (s.video) {
                    platform::WriteLE32(p + at + 20, s.frames);
                    break;
                }
        } else {
            platform::WriteLE32(p + at, avi::kJunk);
            platform::WriteLE32(p + at + 4, kOdmlListBytes - 8);
        }
        // The 'movi' list header.
        platform::WriteLE32(p + header, avi::kLIST);
        platform::WriteLE32(p + header + 4, static_cast<DWORD>(m_firstMoviBytes));
        platform::WriteLE32(p + header + 8, avi::kMovi);
        sink->WriteAt(0, h.data(), static_cast<LONG>(h.size()));
    }

    CCritSec m_lock;
    std::vector<std::unique_ptr<CMuxInputPin>> m_inputs;
    std::unique_ptr<CMuxOutputPin> m_output;

    std::mutex m_writeMutex; // the file layout below; taken by every input's streaming thread
    std::vector<StreamState> m_streams;
    std::vector<IndexEntry> m_index;
    LONGLONG m_position = 0;
    LONGLONG m_moviListPos = 0; // the current RIFF's 'movi' four-letter code
    LONGLONG m_riffPos = 0;     // the current RIFF's header
    int m_riffs = 1;
    LONGLONG m_firstMoviBytes = 0, m_firstRiffEnd = 0;
    bool m_started = false;
    bool m_finished = false;
    bool m_holding = false; // writes wait: the file was cut and the next one is not open yet
    std::atomic<bool> m_failureNotified{false};
    std::condition_variable m_holdCond;
};

CMuxInputPin::CMuxInputPin(CAviMux* mux, CCritSec* lock, const std::string& name)
    : CBaseInputPin("mux input", mux, lock, nullptr, name.c_str()), m_mux(mux) {}

HRESULT CMuxInputPin::CheckMediaType(const CMediaType* pmt) {
    if (*pmt->Type() == MEDIATYPE_Video) {
        VIDEOINFOHEADER vih;
        return GetVideoInfo(*pmt, &vih) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    if (*pmt->Type() == MEDIATYPE_Audio) {
        WAVEFORMATEX wfx;
        return GetWaveFormat(*pmt, &wfx) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CMuxInputPin::CompleteConnect(IPin* receivePin) {
    HRESULT hr = CBaseInputPin::CompleteConnect(receivePin);
    if (SUCCEEDED(hr))
        m_mux->InputConnected();
    return hr;
}

HRESULT CMuxInputPin::Receive(IMediaSample* sample) {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    hr = m_mux->Write(m_mux->StreamOf(this), sample);
    if (FAILED(hr))
        m_mux->WriteFailed(hr);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CMuxInputPin::EndOfStream() {
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    return m_mux->StreamEnded(m_mux->StreamOf(this));
}

} // namespace

CUnknown* CreateAviMux(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CAviMux(outer, phr);
}
CUnknown* CreateFileWriter(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CFileWriter(outer, phr);
}
