// CVTMP4DecFilter: decodes the TAV source's compressed video samples (a 64-byte sample header, then
// one MPEG-4 Visual frame) into RGB or packed YUV pictures, each followed by a 553-byte trailer that
// carries the sample's header or status record on to the double-height filter. It follows size and
// stream-kind changes at key frames, shows a blank picture while it waits for one, and hands out the
// last picture as a BMP file image through IVTMP4Dec.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "captiva/icaptiva.h"
#include "ivtmp4dec.h"
#include "media/transform.h"
#include "mpeg4/mpeg4_core.h"
#include "picture_bitmap.h"

class CVTMP4DecFilter : public CTransformFilter, public IVTMP4Dec, public ISpecifyPropertyPages {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    CVTMP4DecFilter(LPUNKNOWN outer, HRESULT* phr);
    ~CVTMP4DecFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IVTMP4Dec
    HRESULT GetPictureInfo(int* width, int* height, int* bitmapBytes) override;
    HRESULT GetPictureBitmap(BYTE* buffer) override;
    HRESULT SetOverlayControl(void* overlay) override;

    // ISpecifyPropertyPages: the filter has no property page.
    HRESULT GetPages(CAUUID* pages) override;

    // CTransformFilter
    HRESULT CheckInputType(const CMediaType* in) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt) override;
    HRESULT BreakConnect(PIN_DIRECTION direction) override;
    HRESULT CompleteConnect(PIN_DIRECTION direction, IPin* receivePin) override;
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

    // Largest picture the recorders produce: a full PAL frame.
    static constexpr LONG kMaxWidth = 720;
    static constexpr LONG kMaxHeight = 576;
    // The sample header in front of every compressed frame.
    static constexpr LONG kSampleHeaderBytes = 64;
    // Samples tagged KLTO, FABL and WENG end with a status record of this size.
    static constexpr LONG kStatusRecordBytes = 512;

    // Frames the codec has decoded since the filter was made.
    long DecodedFrames() const { return m_decodedFrames.load(); }

protected:
    void CreatePins() override;

private:
    friend class CVTMP4DecOutputPin;
    using CodecPtr = std::unique_ptr<mpeg4::CMp4Codec, void (*)(mpeg4::CMp4Codec*)>;

    // Sample inspection before every transform: stream-kind and size changes, the key frame that
    // applies them, and the waiting-for-key-frame flag.
    HRESULT InspectSample(IMediaSample* sample);
    // Sets the format code and bytes per pixel for an output subtype; E_UNEXPECTED (after telling the
    // user) for a subtype the codec cannot write.
    HRESULT MapOutputFormat(const GUID& subtype, bool report);
    // Takes the row order, stride and picture bytes from an accepted output type.
    bool ApplyOutputType(const CMediaType& out);
    // Creates the codec for the current size; the caller holds the process-wide lock.
    void RecreateCodec();
    // Offers the new picture size downstream and sizes the allocator again.
    HRESULT RenegotiateOutput(std::uint32_t tag);
    HRESULT SetOverlayLayout(ICaptiva* overlay);
    // The output buffers may be freed: the last picture moves into a buffer of our own.
    void PreserveLastPicture();
    void FillTrailer(std::uint32_t tag, const BYTE* header, const BYTE* sample, LONG length,
                     BYTE* trailer) const;
    mp4dec::PictureLayout Layout() const;

    CodecPtr m_codec;
    mpeg4::DecodeParams m_params;
    int m_codecWidth = 0;
    int m_codecHeight = 0;

    // Read by GetPictureInfo on the application's thread without the lock.
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::atomic<int> m_formatCode{mpeg4::kRgb32BottomUp};
    std::atomic<int> m_outputStride{0}; // pixels
    std::atomic<std::int64_t> m_pictureBytes{0};
    std::atomic<bool> m_topDown{false};

    int m_pendingWidth = 0;
    int m_pendingHeight = 0;
    BYTE m_streamKind = 0;
    int m_bytesPerPixel = 4;
    bool m_outputReady = false;
    bool m_changePending = false;
    bool m_waitingForKeyFrame = false;

    // The picture GetPictureBitmap exports (guarded by the process-wide lock): an output buffer, or
    // m_savedPicture once the buffers have been released.
    const BYTE* m_lastPicture = nullptr;
    mp4dec::PictureLayout m_lastLayout; // how m_lastPicture was written
    std::vector<BYTE> m_savedPicture;
    // The output sample m_lastPicture lies in, referenced so that its buffer outlives the downstream
    // pin's decommit at Stop (the renderers stop before the decoders) until the picture is saved.
    IMediaSample* m_heldSample = nullptr;
    void HoldSample(IMediaSample* sample);

    std::atomic<ICaptiva*> m_overlay{nullptr}; // not owned
    std::atomic<long> m_decodedFrames{0};
};
