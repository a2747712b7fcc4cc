// "File Source (Async.)" and "AVI Splitter".
//
// The file source opens a file read-only and offers its bytes through IAsyncReader on its one output
// pin (type Stream, subtype Avi when the file starts with "RIFF....AVI "). The splitter's input pulls
// the AVI headers and index from it when connected and creates one output pin per stream ("Stream 00",
// "Stream 01", ...), each a streaming thread that delivers its stream's chunks in index order with
// times from the stream's rate. Bad or truncated files are refused at connection (VFW_E_INVALID_FILE_FORMAT)
// and chunks that point outside the file end the stream; nothing is read out of bounds.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "avi_format.h"
#include "media/clsids.h"
#include "media/streams.h"
#include "platform/system.h"
#include "stock.h"

namespace {

// Largest chunk a stream may declare: a sanity bound against corrupt indexes (64 MiB).
constexpr DWORD kMaxChunk = 64u << 20;
// Largest number of index entries read (16 bytes each, 256 MiB of index at most).
constexpr std::size_t kMaxEntries = 16u << 20;

// ---- File source ------------------------------------------------------------------------------------------

class CFileSource;

class CAsyncOutputPin : public CBasePin, public IAsyncReader {
public:
    CAsyncOutputPin(CBaseFilter* filter, CCritSec* lock)
        : CBasePin("file source output", filter, lock, nullptr, "Output", PINDIR_OUTPUT) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IAsyncReader)
            return GetInterface(static_cast<IAsyncReader*>(this), ppv);
        return CBasePin::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return (*pmt->Type() == MEDIATYPE_Stream &&
                (*pmt->Subtype() == m_subtype || *pmt->Subtype() == GUID_NULL))
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0 || m_fd < 0)
            return VFW_S_NO_MORE_ITEMS;
        pmt->InitMediaType();
        pmt->SetType(&MEDIATYPE_Stream);
        pmt->SetSubtype(&m_subtype);
        pmt->SetFormatType(&FORMAT_None);
        return S_OK;
    }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

    HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer) override {
        if (!buffer || length < 0 || position < 0)
            return E_INVALIDARG;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(length)) {
            ssize_t n = ::pread(m_fd, buffer + done, static_cast<std::size_t>(length) - done,
                                static_cast<off_t>(position) + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(errno));
            if (n == 0)
                return S_FALSE; // short: the file ends first
            done += static_cast<std::size_t>(n);
        }
        return S_OK;
    }
    HRESULT Length(LONGLONG* total, LONGLONG* available) override {
        if (!total || !available)
            return E_POINTER;
        *total = *available = m_size;
        return S_OK;
    }

    int m_fd = -1;
    LONGLONG m_size = 0;
    GUID m_subtype = GUID_NULL;
};

class CFileSource : public CBaseFilter, public IFileSourceFilter {
public:
    CFileSource(LPUNKNOWN outer, HRESULT* phr)
        : CBaseFilter("File Source", outer, &m_lock, CLSID_AsyncReader, phr), m_pin(this, &m_lock) {}
    ~CFileSource() override {
        if (m_pin.m_fd >= 0)
            ::close(m_pin.m_fd);
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IFileSourceFilter)
            return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
        return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    HRESULT Load(const char* file, const AM_MEDIA_TYPE*) override {
        if (!file)
            return E_POINTER;
        CAutoLock lock(&m_lock);
        if (m_pin.IsConnected())
            return VFW_E_ALREADY_CONNECTED;
        int fd = ::open(file, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return HRESULT_FROM_WIN32(platform::Win32ErrorFromErrno(errno));
        struct stat st {};
        ::fstat(fd, &st);
        if (m_pin.m_fd >= 0)
            ::close(m_pin.m_fd);
        m_pin.m_fd = fd;
        m_pin.m_size = st.st_size;
        m_file = file;
        BYTE head[12] = {};
        m_pin.m_subtype = GUID_NULL;
        if (m_pin.SyncRead(0, 12, head) == S_OK && platform::ReadLE32(head) == avi::kRIFF &&
            platform::ReadLE32(head + 8) == avi::kAVI)
            m_pin.m_subtype = MEDIASUBTYPE_Avi;
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
            m_pin.GetMediaType(0, &mt);
            CopyMediaType(pmt, &mt);
        }
        return S_OK;
    }

private:
    CCritSec m_lock;
    CAsyncOutputPin m_pin;
    std::string m_file;
};

// ---- AVI parsing
// --------------------------------------------------------------------------------------------

struct Entry {
    LONGLONG position; // of the chunk data
    DWORD length;
    bool key;
};

struct AviStream {
    avi::StreamHeader header;
    std::vector<BYTE> format; // the 'strf' bytes
    std::vector<Entry> entries;
    DWORD maxChunk = 0;
};

class CAviParser {
public:
    explicit CAviParser(IAsyncReader* reader) : m_reader(reader) { reader->Length(&m_size, &m_size); }

    HRESULT Parse(std::vector<AviStream>& streams) {
        BYTE head[12];
        if (Read(0, 12, head) != S_OK || platform::ReadLE32(head) != avi::kRIFF ||
            platform::ReadLE32(head + 8) != avi::kAVI)
            return VFW_E_INVALID_FILE_FORMAT;
        LONGLONG end = std::min<LONGLONG>(m_size, 8 + LONGLONG(platform::ReadLE32(head + 4)));
        LONGLONG moviList = -1;
        LONGLONG moviEnd = -1;
        std::vector<BYTE> idx1;
        for (LONGLONG pos = 12; pos + 8 <= end;) {
            BYTE ck[12];
            if (Read(pos, 8, ck) != S_OK)
                break;
            DWORD id = platform::ReadLE32(ck);
            LONGLONG size = platform::ReadLE32(ck + 4);
            LONGLONG next = pos + 8 + size + (size & 1);
            if (id == avi::kLIST && size >= 4 && Read(pos + 8, 4, ck + 8) == S_OK) {
                DWORD type = platform::ReadLE32(ck + 8);
                if (type == avi::kHdrl) {
                    HRESULT hr = ParseHdrl(pos + 12, std::min(pos + 8 + size, end), streams);
                    if (FAILED(hr))
                        return hr;
                } else if (type == avi::kMovi) {
                    moviList = pos + 8;
                    moviEnd = std::min(pos + 8 + size, end);
                }
            } else if (id == avi::kIdx1 && size <= LONGLONG(kMaxEntries) * avi::kIndexEntrySize) {
                idx1.resize(static_cast<std::size_t>(size));
                if (Read(pos + 8, static_cast<LONG>(size), idx1.data()) != S_OK)
                    idx1.resize(0);
            }
            if (next <= pos)
                break;
            pos = next;
        }
        if (streams.empty() || moviList < 0)
            return VFW_E_INVALID_FILE_FORMAT;
        if (!idx1.empty())
            UseIndex(idx1, moviList, streams);
        else
            WalkMovi(moviList + 4, moviEnd, streams);
        for (AviStream& s : streams)
            for (const Entry& e : s.entries)
                s.maxChunk = std::max(s.maxChunk, e.length);
        return S_OK;
    }

private:
    HRESULT Read(LONGLONG pos, LONG length, BYTE* out) {
        if (pos < 0 || length < 0 || pos + length > m_size)
            return S_FALSE;
        return m_reader->SyncRead(pos, length, out);
    }

    HRESULT ParseHdrl(LONGLONG pos, LONGLONG end, std::vector<AviStream>& streams) {
        while (pos + 8 <= end) {
            BYTE ck[12];
            if (Read(pos, 8, ck) != S_OK)
                return VFW_E_INVALID_FILE_FORMAT;
            DWORD id = platform::ReadLE32(ck);
            LONGLONG size = platform::ReadLE32(ck + 4);
            if (id == avi::kLIST && size >= 4 && Read(pos + 8, 4, ck + 8) == S_OK &&
                platform::ReadLE32(ck + 8) == avi::kStrl) {
                AviStream s;
                bool haveHeader = false;
                for (LONGLONG p = pos + 12; p + 8 <= std::min(pos + 8 + size, end);) {
                    BYTE sub[8];
                    if (Read(p, 8, sub) != S_OK)
                        break;
                    DWORD sid = platform::ReadLE32(sub);
                    LONGLONG ssize = platform::ReadLE32(sub + 4);
                    if (sid == avi::kStrh && ssize >= avi::kStrhSize) {
                        BYTE raw[avi::kStrhSize];
                        if (Read(p + 8, avi::kStrhSize, raw) == S_OK) {
                            s.header = avi::StreamHeader::Read(raw);
                            haveHeader = true;
                        }
                    } else if (sid == avi::kStrf && ssize > 0 && ssize < 65536) {
                        s.format.resize(static_cast<std::size_t>(ssize));
                        if (Read(p + 8, static_cast<LONG>(ssize), s.format.data()) != S_OK)
                            s.format.clear();
                    }
                    p += 8 + ssize + (ssize & 1);
                }
                if (haveHeader && streams.size() < 100)
                    streams.push_back(std::move(s));
            }
            LONGLONG next = pos + 8 + size + (size & 1);
            if (next <= pos)
                break;
            pos = next;
        }
        return S_OK;
    }

    void UseIndex(const std::vector<BYTE>& idx1, LONGLONG moviList, std::vector<AviStream>& streams) {
        std::size_t n = idx1.size() / avi::kIndexEntrySize;
        // Offsets count from the 'movi' code in most files, from the file start in some.
        bool absolute = false;
        if (n > 0) {
            DWORD first = platform::ReadLE32(idx1.data() + 8);
            BYTE probe[4];
            absolute = !(Read(moviList + first, 4, probe) == S_OK &&
                         platform::ReadLE32(probe) == platform::ReadLE32(idx1.data()));
        }
        for (std::size_t i = 0; i < n; ++i) {
            const BYTE* e = idx1.data() + i * avi::kIndexEntrySize;
            int stream = avi::ChunkStream(platform::ReadLE32(e));
            if (stream < 0 || stream >= static_cast<int>(streams.size()))
                continue;
            LONGLONG at = (absolute ? 0 : moviList) + LONGLONG(platform::ReadLE32(e + 8)) + 8;
            DWORD length = platform::ReadLE32(e + 12);
            if (length > kMaxChunk || at + length > m_size)
                continue;
            streams[static_cast<std::size_t>(stream)].entries.push_back(
                {at, length, (platform::ReadLE32(e + 4) & avi::AVIIF_KEYFRAME) != 0});
        }
    }

    void WalkMovi(LONGLONG pos, LONGLONG end, std::vector<AviStream>& streams) {
        std::size_t count = 0;
        while (pos + 8 <= end && count < kMaxEntries) {
            BYTE ck[8];
            if (Read(pos, 8, ck) != S_OK)
                break;
            DWORD id = platform::ReadLE32(ck);
            DWORD size = platform::ReadLE32(ck + 4);
            int stream = avi::ChunkStream(id);
            if (id != avi::kLIST && stream >= 0 && stream < static_cast<int>(streams.size()) &&
                size <= kMaxChunk && pos + 8 + size <= m_size) {
                streams[static_cast<std::size_t>(stream)].entries.push_back({pos + 8, size, true});
                ++count;
            }
            // A 'rec ' list is entered, anything else skipped.
            pos += (id == avi::kLIST) ? 12 : 8 + LONGLONG(size) + (size & 1);
        }
    }

    IAsyncReader* m_reader;
    LONGLONG m_size = 0;
};

// ---- Splitter
// ------------------------------------------------------------------------------------------------

class CAviSplitter;

class CSplitterStream : public CSourceStream {
public:
    CSplitterStream(CAviSplitter* filter, HRESULT* phr, const std::string& name, AviStream stream,
                    IAsyncReader* reader);

    HRESULT GetMediaType(CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
        request->cBuffers = std::max<LONG>(request->cBuffers, 2);
        request->cbBuffer =
            std::max<LONG>(request->cbBuffer, static_cast<LONG>(std::max<DWORD>(m_stream.maxChunk, 1)));
        request->cbAlign = std::max<LONG>(request->cbAlign, 1);
        ALLOCATOR_PROPERTIES actual;
        HRESULT hr = allocator->SetProperties(request, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
    }
    HRESULT OnThreadStartPlay() override {
        DeliverNewSegment(0, 0x7FFFFFFFFFFFFFFFLL, 1.0);
        return S_OK;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        CAutoLock lock(&m_cSharedState);
        if (m_next >= m_stream.entries.size())
            return S_FALSE;
        const Entry& e = m_stream.entries[m_next];
        if (static_cast<LONG>(e.length) > sample->GetSize())
            return S_FALSE;
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        if (e.length && m_reader->SyncRead(e.position, static_cast<LONG>(e.length), p) != S_OK)
            return S_FALSE;
        sample->SetActualDataLength(static_cast<LONG>(e.length));
        REFERENCE_TIME start;
        REFERENCE_TIME stop;
        const avi::StreamHeader& h = m_stream.header;
        if (h.fccType == avi::kAuds) {
            DWORD rate = std::max<DWORD>(AvgBytesPerSec(), 1);
            start = m_bytes * UNITS / rate;
            m_bytes += e.length;
            stop = m_bytes * UNITS / rate;
        } else {
            REFERENCE_TIME frame = (h.dwRate ? LONGLONG(h.dwScale) * UNITS / h.dwRate : UNITS / 25);
            start = LONGLONG(m_next) * frame;
            stop = start + frame;
        }
        sample->SetTime(&start, &stop);
        sample->SetSyncPoint(e.key);
        sample->SetDiscontinuity(m_next == 0);
        ++m_next;
        return S_OK;
    }

    DWORD AvgBytesPerSec() const {
        return m_stream.format.size() >= 16 ? platform::ReadLE32(m_stream.format.data() + 8) : 0;
    }

private:
    AviStream m_stream;
    IAsyncReader* m_reader; // held by the splitter's input pin
    std::size_t m_next = 0;
    LONGLONG m_bytes = 0;
};

class CSplitterInputPin : public CBasePin {
public:
    CSplitterInputPin(CAviSplitter* filter, CCritSec* lock);
    HRESULT CheckMediaType(const CMediaType* pmt) override {
        return (*pmt->Type() == MEDIATYPE_Stream &&
                (*pmt->Subtype() == MEDIASUBTYPE_Avi || *pmt->Subtype() == GUID_NULL))
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT CheckConnect(IPin* pin) override {
        HRESULT hr = CBasePin::CheckConnect(pin);
        if (FAILED(hr))
            return hr;
        return pin->QueryInterface(IID_IAsyncReader, m_reader.ReleaseAndGetVoidAddress()) == S_OK
                   ? S_OK
                   : VFW_E_NO_TRANSPORT;
    }
    HRESULT CompleteConnect(IPin* receivePin) override;
    HRESULT BreakConnect() override;
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }

    CAviSplitter* m_splitter;
    ComPtr<IAsyncReader> m_reader;
};

class CAviSplitter : public CSource {
public:
    CAviSplitter(LPUNKNOWN outer, HRESULT* phr)
        : CSource("AVI Splitter", outer, CLSID_AviSplitter, phr), m_input(this, &m_cStateLock) {}
    ~CAviSplitter() override {
        RemoveOutputs();
        for (CSourceStream* pin : m_retired)
            delete pin;
    }

    // The input pin comes first, then the stream pins.
    int GetPinCount() override { return CSource::GetPinCount() + 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : CSource::GetPin(n - 1); }

    HRESULT CreateOutputs(IAsyncReader* reader) {
        std::vector<AviStream> streams;
        CAviParser parser(reader);
        HRESULT hr = parser.Parse(streams);
        if (FAILED(hr))
            return hr;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Stream %02d", static_cast<int>(i));
            HRESULT phr = S_OK;
            new CSplitterStream(this, &phr, name, std::move(streams[i]), reader); // the pin adds itself
        }
        return S_OK;
    }
    // The stream pins leave the filter when the input disconnects. Others may still hold them (pin
    // references count on the filter), so they are kept until the filter itself goes.
    void RemoveOutputs() {
        while (!m_paStreams.empty()) {
            CSourceStream* pin = m_paStreams.back();
            if (IPin* peer = pin->GetConnected()) {
                peer->Disconnect();
                pin->Disconnect();
            }
            RemovePin(pin);
            m_retired.push_back(pin);
        }
    }

private:
    CSplitterInputPin m_input;
    std::vector<CSourceStream*> m_retired;
};

CSplitterStream::CSplitterStream(CAviSplitter* filter, HRESULT* phr, const std::string& name,
                                 AviStream stream, IAsyncReader* reader)
    : CSourceStream("AVI splitter stream", phr, filter, name.c_str()), m_stream(std::move(stream)),
      m_reader(reader) {}

HRESULT CSplitterStream::GetMediaType(CMediaType* pmt) {
    pmt->InitMediaType();
    const avi::StreamHeader& h = m_stream.header;
    if (h.fccType == avi::kVids) {
        if (m_stream.format.size() < BITMAPINFOHEADER::kSize)
            return E_UNEXPECTED;
        VIDEOINFOHEADER vih;
        vih.bmiHeader = BITMAPINFOHEADER::Read(m_stream.format.data());
        vih.AvgTimePerFrame = h.dwRate ? LONGLONG(h.dwScale) * UNITS / h.dwRate : 0;
        pmt->SetType(&MEDIATYPE_Video);
        GUID sub = platform::FourCCGuid(vih.bmiHeader.biCompression);
        if (vih.bmiHeader.biCompression == BI_RGB)
            sub = vih.bmiHeader.biBitCount == 32   ? MEDIASUBTYPE_RGB32
                  : vih.bmiHeader.biBitCount == 24 ? MEDIASUBTYPE_RGB24
                                                   : MEDIASUBTYPE_RGB555;
        pmt->SetSubtype(&sub);
        pmt->AllocFormatBuffer(VIDEOINFOHEADER::kSize);
        SetVideoInfo(*pmt, vih);
        pmt->SetTemporalCompression(FALSE);
        if (vih.bmiHeader.biCompression == BI_RGB)
            pmt->SetSampleSize(GetBitmapSize(vih.bmiHeader));
        else
            pmt->SetVariableSize();
        return S_OK;
    }
    if (h.fccType == avi::kAuds) {
        if (m_stream.format.size() < 16)
            return E_UNEXPECTED;
        pmt->SetType(&MEDIATYPE_Audio);
        GUID sub = platform::FourCCGuid(platform::ReadLE16(m_stream.format.data()));
        pmt->SetSubtype(&sub);
        pmt->SetFormatType(&FORMAT_WaveFormatEx);
        pmt->SetFormat(m_stream.format.data(), static_cast<ULONG>(m_stream.format.size()));
        pmt->SetSampleSize(std::max<ULONG>(platform::ReadLE16(m_stream.format.data() + 12), 1));
        return S_OK;
    }
    return E_UNEXPECTED;
}

CSplitterInputPin::CSplitterInputPin(CAviSplitter* filter, CCritSec* lock)
    : CBasePin("AVI splitter input", filter, lock, nullptr, "input pin", PINDIR_INPUT), m_splitter(filter) {}

HRESULT CSplitterInputPin::CompleteConnect(IPin*) {
    return m_splitter->CreateOutputs(m_reader.Get());
}

HRESULT CSplitterInputPin::BreakConnect() {
    m_splitter->RemoveOutputs();
    m_reader.Reset();
    return S_OK;
}

} // namespace

CUnknown* CreateFileSource(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CFileSource(outer, phr);
}
CUnknown* CreateAviSplitter(LPUNKNOWN outer, HRESULT* phr) {
    return new (std::nothrow) CAviSplitter(outer, phr);
}
