// The interfaces of the filter framework, in their classic slot order, with their registered ids.
// Names are plain UTF-8 strings (const char*) where the original took wide strings.
#pragma once

#include <string>

#include "media/types.h"

struct IPin;
struct IBaseFilter;
struct IFilterGraph;
struct IMediaSample;
struct IMemAllocator;
struct IReferenceClock;
struct IEnumPins;
struct IEnumMediaTypes;
struct IEnumFilters;

constexpr IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IPin = media::detail::CoreIid(0x56A86891);
constexpr IID IID_IEnumPins = media::detail::CoreIid(0x56A86892);
constexpr IID IID_IEnumFilters = media::detail::CoreIid(0x56A86893);
constexpr IID IID_IBaseFilter = media::detail::CoreIid(0x56A86895);
constexpr IID IID_IReferenceClock = media::detail::CoreIid(0x56A86897);
constexpr IID IID_IMediaFilter = media::detail::CoreIid(0x56A86899);
constexpr IID IID_IMediaSample = media::detail::CoreIid(0x56A8689A);
constexpr IID IID_IMemAllocator = media::detail::CoreIid(0x56A8689C);
constexpr IID IID_IMemInputPin = media::detail::CoreIid(0x56A8689D);
constexpr IID IID_IFilterGraph = media::detail::CoreIid(0x56A8689F);
constexpr IID IID_IMediaEventSink = media::detail::CoreIid(0x56A868A2);
constexpr IID IID_IFileSourceFilter = media::detail::CoreIid(0x56A868A6);
constexpr IID IID_IGraphBuilder = media::detail::CoreIid(0x56A868A9);
constexpr IID IID_IAsyncReader = media::detail::CoreIid(0x56A868AA);
constexpr IID IID_IMediaControl = media::detail::CoreIid(0x56A868B1);
constexpr IID IID_IBasicAudio = media::detail::CoreIid(0x56A868B3);
constexpr IID IID_IVideoWindow = media::detail::CoreIid(0x56A868B4);
constexpr IID IID_IMediaEvent = media::detail::CoreIid(0x56A868B6);
constexpr IID IID_IMediaEventEx = media::detail::CoreIid(0x56A868C0);
constexpr IID IID_IEnumMediaTypes = {
    0x89C31040, 0x846B, 0x11CE, {0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr IID IID_IVideoFrameStep = {
    0xE46A9787, 0x2B71, 0x444D, {0xA4, 0xB5, 0x1F, 0xAB, 0x7B, 0x70, 0x8D, 0x6A}};
constexpr IID IID_IAMAudioRendererStats = {
    0x22320CB2, 0xD41A, 0x11D2, {0xBF, 0x7C, 0xD7, 0xCB, 0x9D, 0xF0, 0xBF, 0x93}};
constexpr IID IID_ICaptureGraphBuilder2 = {
    0x93E5A4E0, 0x2D50, 0x11D2, {0xAB, 0xFA, 0x00, 0xA0, 0xC9, 0xC6, 0xE3, 0x8D}};
constexpr IID IID_IFileSinkFilter = {
    0xA2104830, 0x7C70, 0x11CF, {0x8B, 0xCE, 0x00, 0xAA, 0x00, 0xA3, 0xF1, 0xA6}};
constexpr IID IID_ICreateDevEnum = {
    0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr IID IID_IMoniker = {0x0000000F, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IEnumMoniker = {
    0x00000102, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IPropertyBag = {
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr IID IID_ISpecifyPropertyPages = {
    0xB196B28B, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// Our own: the AVI multiplexer's file cut while the graph runs.
constexpr IID IID_IAviMuxCut = {0x3F1C7A52, 0x9B0E, 0x4D61, {0xA8, 0x27, 0x5C, 0x90, 0x1E, 0x6B, 0xD4, 0x33}};

// ---- Core structures --------------------------------------------------------------------------------

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers = 0;
    LONG cbBuffer = 0;
    LONG cbAlign = 0;
    LONG cbPrefix = 0;
};

constexpr int MAX_PIN_NAME = 128;
constexpr int MAX_FILTER_NAME = 128;

struct PIN_INFO {
    IBaseFilter* pFilter; // holds a reference
    PIN_DIRECTION dir;
    char achName[MAX_PIN_NAME];
};

struct FILTER_INFO {
    char achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph; // holds a reference
};

constexpr DWORD AM_GBF_PREVFRAMESKIPPED = 1;
constexpr DWORD AM_GBF_NOTASYNCPOINT = 2;
constexpr DWORD AM_GBF_NOWAIT = 4;

// ---- Enumerators ------------------------------------------------------------------------------------

struct IEnumPins : IUnknown {
    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumPins** out) = 0;

protected:
    ~IEnumPins() = default;
};

struct IEnumMediaTypes : IUnknown {
    // Each type is handed out on the heap; free it with DeleteMediaType.
    virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMediaTypes** out) = 0;

protected:
    ~IEnumMediaTypes() = default;
};

struct IEnumFilters : IUnknown {
    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** out) = 0;

protected:
    ~IEnumFilters() = default;
};

// ---- Samples and allocators ---------------------------------------------------------------------------

struct IMediaSample : IUnknown {
    virtual HRESULT GetPointer(BYTE** buffer) = 0;
    virtual LONG GetSize() = 0;
    virtual HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
    virtual HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
    virtual HRESULT IsSyncPoint() = 0;
    virtual HRESULT SetSyncPoint(BOOL sync) = 0;
    virtual HRESULT IsPreroll() = 0;
    virtual HRESULT SetPreroll(BOOL preroll) = 0;
    virtual LONG GetActualDataLength() = 0;
    virtual HRESULT SetActualDataLength(LONG length) = 0;
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE** type) = 0;
    virtual HRESULT SetMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT IsDiscontinuity() = 0;
    virtual HRESULT SetDiscontinuity(BOOL discontinuity) = 0;
    virtual HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) = 0;
    virtual HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) = 0;

protected:
    ~IMediaSample() = default;
};

struct IMemAllocator : IUnknown {
    virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) = 0;
    virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT Commit() = 0;
    virtual HRESULT Decommit() = 0;
    virtual HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                              DWORD flags) = 0;
    virtual HRESULT ReleaseBuffer(IMediaSample* sample) = 0;

protected:
    ~IMemAllocator() = default;
};

// ---- Pins -------------------------------------------------------------------------------------------

struct IPin : IUnknown {
    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* dir) = 0;
    // The pin's id (its name) as a heap string; the caller frees it with CoTaskMemFree.
    virtual HRESULT QueryId(char** id) = 0;
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;
    virtual HRESULT QueryInternalConnections(IPin** pins, ULONG* count) = 0;
    virtual HRESULT EndOfStream() = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;

protected:
    ~IPin() = default;
};

struct IMemInputPin : IUnknown {
    virtual HRESULT GetAllocator(IMemAllocator** allocator) = 0;
    virtual HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) = 0;
    virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) = 0;
    virtual HRESULT Receive(IMediaSample* sample) = 0;
    virtual HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) = 0;
    virtual HRESULT ReceiveCanBlock() = 0;

protected:
    ~IMemInputPin() = default;
};

// Pull-mode byte access that a file source's output pin offers to a parser.
struct IAsyncReader : IUnknown {
    virtual HRESULT SyncRead(LONGLONG position, LONG length, BYTE* buffer) = 0;
    virtual HRESULT Length(LONGLONG* total, LONGLONG* available) = 0;

protected:
    ~IAsyncReader() = default;
};

// ---- Filters and clocks --------------------------------------------------------------------------------

struct IReferenceClock : IUnknown {
    virtual HRESULT GetTime(REFERENCE_TIME* time) = 0;
    virtual HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HANDLE event,
                               DWORD_PTR* cookie) = 0;
    virtual HRESULT AdvisePeriodic(REFERENCE_TIME start, REFERENCE_TIME period, HANDLE semaphore,
                                   DWORD_PTR* cookie) = 0;
    virtual HRESULT Unadvise(DWORD_PTR cookie) = 0;

protected:
    ~IReferenceClock() = default;
};

struct IPersist : IUnknown {
    virtual HRESULT GetClassID(CLSID* clsid) = 0;

protected:
    ~IPersist() = default;
};

struct IMediaFilter : IPersist {
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Run(REFERENCE_TIME start) = 0;
    virtual HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) = 0;
    virtual HRESULT SetSyncSource(IReferenceClock* clock) = 0;
    virtual HRESULT GetSyncSource(IReferenceClock** clock) = 0;

protected:
    ~IMediaFilter() = default;
};

struct IBaseFilter : IMediaFilter {
    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
    virtual HRESULT FindPin(const char* id, IPin** pin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, const char* name) = 0;
    virtual HRESULT QueryVendorInfo(char** info) = 0;

protected:
    ~IBaseFilter() = default;
};

struct IMediaEventSink : IUnknown {
    virtual HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

protected:
    ~IMediaEventSink() = default;
};

// ---- The graph --------------------------------------------------------------------------------------

struct IFilterGraph : IUnknown {
    virtual HRESULT AddFilter(IBaseFilter* filter, const char* name) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** filters) = 0;
    virtual HRESULT FindFilterByName(const char* name, IBaseFilter** filter) = 0;
    virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT Reconnect(IPin* pin) = 0;
    virtual HRESULT Disconnect(IPin* pin) = 0;
    virtual HRESULT SetDefaultSyncSource() = 0;

protected:
    ~IFilterGraph() = default;
};

struct IGraphBuilder : IFilterGraph {
    // Intelligent connect: directly, or through registered transform filters chosen by merit.
    virtual HRESULT Connect(IPin* out, IPin* in) = 0;
    virtual HRESULT Render(IPin* out) = 0;
    virtual HRESULT RenderFile(const char* file, const char* playList) = 0;
    virtual HRESULT AddSourceFilter(const char* file, const char* name, IBaseFilter** filter) = 0;
    virtual HRESULT SetLogFile(DWORD_PTR file) = 0;
    virtual HRESULT Abort() = 0;
    virtual HRESULT ShouldOperationContinue() = 0;

protected:
    ~IGraphBuilder() = default;
};

struct IMediaControl : IUnknown {
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    // VFW_S_STATE_INTERMEDIATE while a filter has not finished its transition within the time-out.
    virtual HRESULT GetState(LONG msTimeout, OAFilterState* state) = 0;
    virtual HRESULT StopWhenReady() = 0;

protected:
    ~IMediaControl() = default;
};

using OAEVENT = LONG_PTR;
using OAHWND = LONG_PTR;

struct IMediaEvent : IUnknown {
    virtual HRESULT GetEventHandle(OAEVENT* handle) = 0;
    virtual HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) = 0;
    virtual HRESULT WaitForCompletion(LONG msTimeout, LONG* code) = 0;
    virtual HRESULT CancelDefaultHandling(LONG code) = 0;
    virtual HRESULT RestoreDefaultHandling(LONG code) = 0;
    virtual HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

protected:
    ~IMediaEvent() = default;
};

struct IMediaEventEx : IMediaEvent {
    virtual HRESULT SetNotifyWindow(OAHWND hwnd, LONG message, LONG_PTR instanceData) = 0;
    virtual HRESULT SetNotifyFlags(LONG noNotifyFlags) = 0;
    virtual HRESULT GetNotifyFlags(LONG* noNotifyFlags) = 0;

protected:
    ~IMediaEventEx() = default;
};

struct IVideoFrameStep : IUnknown {
    virtual HRESULT Step(DWORD frames, IUnknown* stepObject) = 0;
    virtual HRESULT CanStep(LONG multiple, IUnknown* stepObject) = 0;
    virtual HRESULT CancelStep() = 0;

protected:
    ~IVideoFrameStep() = default;
};

constexpr LONG OATRUE = -1;
constexpr LONG OAFALSE = 0;
constexpr LONG WS_CHILD = 0x40000000;
constexpr LONG WS_CLIPSIBLINGS = 0x04000000;
constexpr LONG WS_CLIPCHILDREN = 0x02000000;

struct IVideoWindow : IUnknown {
    virtual HRESULT put_Caption(const char* caption) = 0;
    virtual HRESULT put_WindowStyle(LONG style) = 0;
    virtual HRESULT get_WindowStyle(LONG* style) = 0;
    virtual HRESULT put_AutoShow(LONG autoShow) = 0;
    virtual HRESULT get_AutoShow(LONG* autoShow) = 0;
    virtual HRESULT put_Visible(LONG visible) = 0;
    virtual HRESULT get_Visible(LONG* visible) = 0;
    virtual HRESULT put_Owner(OAHWND owner) = 0;
    virtual HRESULT get_Owner(OAHWND* owner) = 0;
    virtual HRESULT put_MessageDrain(OAHWND drain) = 0;
    virtual HRESULT get_MessageDrain(OAHWND* drain) = 0;
    virtual HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;
    virtual HRESULT GetWindowPosition(LONG* left, LONG* top, LONG* width, LONG* height) = 0;

protected:
    ~IVideoWindow() = default;
};

struct IBasicAudio : IUnknown {
    // Volume in hundredths of a decibel, -10000 (silence) to 0 (full).
    virtual HRESULT put_Volume(LONG volume) = 0;
    virtual HRESULT get_Volume(LONG* volume) = 0;
    virtual HRESULT put_Balance(LONG balance) = 0;
    virtual HRESULT get_Balance(LONG* balance) = 0;

protected:
    ~IBasicAudio() = default;
};

enum AM_AUDIO_RENDERER_STAT_PARAM {
    AM_AUDREND_STAT_PARAM_BREAK_COUNT = 1,
    AM_AUDREND_STAT_PARAM_SLAVE_MODE = 2,
    AM_AUDREND_STAT_PARAM_SILENCE_DUR = 3,
    AM_AUDREND_STAT_PARAM_LAST_BUFFER_DUR = 4,
    AM_AUDREND_STAT_PARAM_DISCONTINUITIES = 5,
    AM_AUDREND_STAT_PARAM_SLAVE_RATE = 6,
    AM_AUDREND_STAT_PARAM_SLAVE_DROPWRITE_DUR = 7,
    AM_AUDREND_STAT_PARAM_SLAVE_HIGHLOWERROR = 8,
    AM_AUDREND_STAT_PARAM_SLAVE_LASTHIGHLOWERROR = 9,
    AM_AUDREND_STAT_PARAM_SLAVE_ACCUMERROR = 10,
    AM_AUDREND_STAT_PARAM_BUFFERFULLNESS = 11,
    AM_AUDREND_STAT_PARAM_JITTER = 12,
    // Our renderer's own figure for headless runs: value1 = media samples rendered since the
    // renderer was created, value2 = audio frames (one sample per channel) they held.
    AM_AUDREND_STAT_PARAM_RENDERED = 0x100,
};

struct IAMAudioRendererStats : IUnknown {
    virtual HRESULT GetStatParam(DWORD param, DWORD* value1, DWORD* value2) = 0;

protected:
    ~IAMAudioRendererStats() = default;
};

struct IFileSinkFilter : IUnknown {
    virtual HRESULT SetFileName(const char* file, const AM_MEDIA_TYPE* pmt) = 0;
    // The name as a heap string (free with CoTaskMemFree).
    virtual HRESULT GetCurFile(char** file, AM_MEDIA_TYPE* pmt) = 0;

protected:
    ~IFileSinkFilter() = default;
};

// Ends the file being written without losing a sample, for an archive that goes on in a next file
// (another disc): the graph keeps running while the inputs wait.
struct IAviMuxCut : IUnknown {
    // Makes every input wait before its next write, completes the file (index and headers) and closes
    // it. Returns once no write is under way.
    virtual HRESULT HoldAndFinish() = 0;
    // Opens `file` as the next file of the archive and lets the waiting inputs go on into it.
    virtual HRESULT ContinueInto(const char* file) = 0;

protected:
    ~IAviMuxCut() = default;
};

struct IFileSourceFilter : IUnknown {
    virtual HRESULT Load(const char* file, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT GetCurFile(char** file, AM_MEDIA_TYPE* pmt) = 0;

protected:
    ~IFileSourceFilter() = default;
};

struct ICaptureGraphBuilder2 : IUnknown {
    virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
    virtual HRESULT GetFiltergraph(IGraphBuilder** graph) = 0;
    // Creates the multiplexer for `type` (MEDIASUBTYPE_Avi) and a file writer on `file`, connected.
    virtual HRESULT SetOutputFileName(const GUID* type, const char* file, IBaseFilter** mux,
                                      IFileSinkFilter** sink) = 0;
    virtual HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid,
                                  void** ppv) = 0;
    // Connects `source` (a filter or an output pin) through `intermediate` (optional) to `sink`.
    virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                                 IBaseFilter* intermediate, IBaseFilter* sink) = 0;

protected:
    ~ICaptureGraphBuilder2() = default;
};

// ---- Device enumeration ---------------------------------------------------------------------------------

using VARTYPE = WORD;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BSTR = 8;

// The small variant that property bags hand out: a string or a 32-bit integer.
struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    LONG lVal = 0;
    std::string bstrVal;
};
inline void VariantInit(VARIANT* v) {
    *v = VARIANT{};
}
inline void VariantClear(VARIANT* v) {
    *v = VARIANT{};
}

struct IPropertyBag : IUnknown {
    virtual HRESULT Read(const char* name, VARIANT* value, void* errorLog) = 0;
    virtual HRESULT Write(const char* name, VARIANT* value) = 0;

protected:
    ~IPropertyBag() = default;
};

struct IMoniker : IUnknown {
    virtual HRESULT BindToObject(void* bindContext, IMoniker* left, REFIID riid, void** ppv) = 0;
    virtual HRESULT BindToStorage(void* bindContext, IMoniker* left, REFIID riid, void** ppv) = 0;
    // "@device:sw:{category}\{clsid}" as a heap string (free with CoTaskMemFree).
    virtual HRESULT GetDisplayName(void* bindContext, IMoniker* left, char** name) = 0;

protected:
    ~IMoniker() = default;
};

struct IEnumMoniker : IUnknown {
    virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMoniker** out) = 0;

protected:
    ~IEnumMoniker() = default;
};

struct ICreateDevEnum : IUnknown {
    // S_FALSE (and no enumerator) when the category is empty.
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD flags) = 0;

protected:
    ~ICreateDevEnum() = default;
};

struct CAUUID {
    ULONG cElems;
    GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
    virtual HRESULT GetPages(CAUUID* pages) = 0;

protected:
    ~ISpecifyPropertyPages() = default;
};

// Heap memory handed across interfaces (pin ids, file names, property-page lists).
void* CoTaskMemAlloc(std::size_t size);
void CoTaskMemFree(void* p);
