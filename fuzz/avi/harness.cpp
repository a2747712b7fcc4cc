#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "media/filter.h"
#include "media/harness.h"
#include "media/stock/stock.h"

namespace media::fuzz {

namespace {

// A stream of a small file ends within milliseconds; the bound only keeps a stalled stream from
// stopping the run.
constexpr DWORD kEndOfStreamWaitMs = 2000;
// More pins than any recorder file has; a crafted header list may ask for many.
constexpr int kMaxStreamsPlayed = 8;

template <class I> ComPtr<I> Make(CUnknown* (*create)(LPUNKNOWN, HRESULT*), REFIID iid) {
    HRESULT hr = S_OK;
    CUnknown* obj = create(nullptr, &hr);
    ComPtr<I> out;
    if (!obj)
        return out;
    obj->NonDelegatingAddRef();
    if (SUCCEEDED(hr))
        obj->NonDelegatingQueryInterface(iid, out.ReleaseAndGetVoidAddress());
    obj->NonDelegatingRelease();
    return out;
}

ComPtr<IPin> PinAt(IBaseFilter* filter, PIN_DIRECTION wanted, int skip) {
    ComPtr<IEnumPins> pins;
    if (filter->EnumPins(&pins) != S_OK)
        return {};
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        ComPtr<IPin> held;
        held.Attach(pin);
        PIN_DIRECTION dir;
        if (held->QueryDirection(&dir) == S_OK && dir == wanted && skip-- == 0)
            return held;
    }
    return {};
}

} // namespace

bool RunAviInput(const std::uint8_t* data, std::size_t size, const std::string& scratchPath) {
    {
        int fd = ::open(scratchPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        bool ok = ::write(fd, data, size) == static_cast<ssize_t>(size);
        ::close(fd);
        if (!ok)
            return false;
    }
    ComPtr<IBaseFilter> source = Make<IBaseFilter>(CreateFileSource, IID_IBaseFilter);
    ComPtr<IBaseFilter> splitter = Make<IBaseFilter>(CreateAviSplitter, IID_IBaseFilter);
    if (!source || !splitter)
        return false;
    ComPtr<IFileSourceFilter> file;
    if (source->QueryInterface(IID_IFileSourceFilter, file.ReleaseAndGetVoidAddress()) != S_OK ||
        file->Load(scratchPath.c_str(), nullptr) != S_OK)
        return false;
    ComPtr<IPin> out = PinAt(source.Get(), PINDIR_OUTPUT, 0);
    ComPtr<IPin> in = PinAt(splitter.Get(), PINDIR_INPUT, 0);
    if (!out || !in)
        return false;
    bool accepted = false;
    {
        CFilterHarness harness(splitter.Get());
        if (out->Connect(in.Get(), nullptr) == S_OK) {
            accepted = true;
            std::vector<int> captures;
            for (int i = 0; i < kMaxStreamsPlayed; ++i) {
                int index = -1;
                if (FAILED(harness.ConnectOutput(&index)) || index < 0)
                    break;
                captures.push_back(index);
            }
            if (harness.Run() == S_OK)
                for (int index : captures)
                    harness.WaitForEndOfStream(kEndOfStreamWaitMs, index);
            harness.Stop();
            out->Disconnect();
            in->Disconnect();
        }
    }
    return accepted;
}

} // namespace media::fuzz
