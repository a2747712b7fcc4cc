// The MPEG-4 decoder filter's identifiers and its control interface IVTMP4Dec, shared by the plug-in
// and the programs that create it. The methods are declared in the order of their interface slots
// (after the three IUnknown slots).
#pragma once

#include "platform/com.h"
#include "platform/guid.h"
#include "platform/types.h"
#include "tav/filter/ivtsource.h"

// {53DF6A05-9CA0-42D4-82BA-CC72C01826AE}
constexpr CLSID CLSID_VTMp4Dec = {
    0x53DF6A05, 0x9CA0, 0x42D4, {0x82, 0xBA, 0xCC, 0x72, 0xC0, 0x18, 0x26, 0xAE}};
// {A361D3EF-6BF2-4CE2-91C1-E4230BBB10B8}
constexpr IID IID_IVTMP4Dec = {0xA361D3EF, 0x6BF2, 0x4CE2, {0x91, 0xC1, 0xE4, 0x23, 0x0B, 0xBB, 0x10, 0xB8}};
// The compressed-video subtype the decoder takes: the one the TAV source delivers.
constexpr GUID MEDIASUBTYPE_VTMp4Video = MEDIASUBTYPE_TavStream;

constexpr const char* kVTMp4DecName = "Veltrix Stavik MP4 Decoder";

// Bytes behind every output picture: the sample header or status record of the compressed frame.
constexpr int kVTMp4TrailerBytes = 553;

struct IVTMP4Dec : public IUnknown {
    // 3: the current picture size and the byte count of the BMP file image GetPictureBitmap writes.
    // Any pointer may be null.
    virtual HRESULT GetPictureInfo(int* width, int* height, int* bitmapBytes) = 0;
    // 4: writes a BMP file image of the last delivered picture; `buffer` holds the size
    // GetPictureInfo gave. Pictures 720 wide and under 480 high come out with every line twice.
    virtual HRESULT GetPictureBitmap(BYTE* buffer) = 0;
    // 5: the text overlay's ICaptiva, used for streams whose text the overlay draws. No reference is
    // taken: the caller keeps the overlay alive while the decoder runs.
    virtual HRESULT SetOverlayControl(void* overlay) = 0;

protected:
    ~IVTMP4Dec() = default;
};
