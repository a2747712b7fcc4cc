// CVTMJPEGDecFilter: turns video samples that each hold one complete JPEG image into 32-bit RGB frames,
// bottom-up or top-down as the output type says.
#pragma once

#include <memory>

#include "media/transform.h"
#include "mjpeg/jpeg_decoder.h"

class CVTMJPEGDecFilter : public CTransformFilter, public ISpecifyPropertyPages {
public:
    static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);

    CVTMJPEGDecFilter(LPUNKNOWN outer, HRESULT* phr);
    ~CVTMJPEGDecFilter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // ISpecifyPropertyPages: the filter has no property page.
    HRESULT GetPages(CAUUID* pages) override;

    HRESULT CheckInputType(const CMediaType* in) override;
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
    HRESULT Receive(IMediaSample* sample) override;

    // Largest picture the recorders produce: a full PAL frame.
    static constexpr LONG kMaxWidth = 720;
    static constexpr LONG kMaxHeight = 576;

private:
    // CheckTransform's checks; sizes and stride are stored only when the pair is accepted.
    HRESULT CheckOutputFor(const CMediaType* in, const CMediaType* out);
    // Decodes `length` bytes of JPEG into the output buffer in the negotiated row order. Rows the image
    // does not deliver keep what the buffer held.
    void DecodeInto(const BYTE* data, LONG length, BYTE* out);

    std::unique_ptr<mjpeg::jpeg_decoder_memory_stream> m_stream;
    LONG m_inputWidth = 0;
    LONG m_inputHeight = 0;
    LONG m_outputStride = 0; // pixels between output rows
    LONG m_decodeWidth = 0;  // the input width of the accepted pair: pixels decoded per row
    bool m_outputTopDown = false;
    LONG m_frameSize = 0; // bytes of one output frame; 0 until an output type is accepted
};
