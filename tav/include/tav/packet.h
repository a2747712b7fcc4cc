// What a stored TAV packet holds and how it becomes a sample: the MPEG-4 video-object-layer size
// parse, the PES-style time stamp, the recorder kind from the frame trailer, the sample header
// rewrite, the status block kept per source, and the audio conversion (IMA ADPCM stereo to 16-bit
// PCM, G.711 A-law and mu-law passed through).
#pragma once

#include <array>
#include <cstddef>

#include "platform/types.h"

namespace tav {

// Sample header tags by recorder kind.
constexpr DWORD kTagKind0 = 0x311F42C1;
constexpr DWORD kTagWeng = 0x57454E47; // 'WENG', kind 1
constexpr DWORD kTagKlto = 0x4B4C544F; // 'KLTO', kinds 2..7
constexpr DWORD kTagFabl = 0x4641424C; // 'FABL', kind 8
constexpr DWORD kTagRail = 0x5241494C; // 'RAIL', kind 32
constexpr DWORD kPlaceholderWord = 0x12345678;
constexpr DWORD kFrameTrailerTagA = 0x88221177;
constexpr DWORD kFrameTrailerTagB = 0x4D544130; // 'MTA0'

constexpr DWORD kStatusBlockBytes = 295;
constexpr DWORD kKind1RecordBytes = 32;

// ISO/IEC 14496-2 6.2.3 video_object_layer: width and height from the 64 bytes at packet offset 64.
// Status 0 success; -1 no VOL start code behind the VO start code; -2 fixed VOP rate; -4 no VO
// start code; -5 shape not rectangular. On failure width and height are left as they were.
int ParseVideoObjectLayer(const BYTE* es, std::size_t size, WORD* width, WORD* height);

// The 32-bit time stamp of packet bytes 41..45 (MPEG-2 PES PTS layout, top bit dropped).
DWORD PacketTimestamp(const BYTE* packet);
// Seconds and microseconds of a time stamp: x 108 / 10,000,000.
void TimestampToTime(DWORD timestamp, DWORD* seconds, DWORD* microseconds);

// The recorder kind told by a video key frame read with its trailer (`size` = packet data size);
// `kind` is left unchanged when nothing matches.
void DetectRecorderKind(const BYTE* packet, DWORD size, int* kind);

// The sample header tag of a recorder kind.
DWORD SampleTag(int kind);

// Status kept by the source and updated from each frame.
struct TavStatusState {
    std::array<BYTE, kStatusBlockBytes> block{};
    std::array<BYTE, kKind1RecordBytes> kind1{};
};

// Fields a sample header gets beside what the packet holds.
struct SampleFields {
    int kind = 0;
    BYTE displayOption = 0;
    BYTE code = 0;
    BYTE type = 0;
    DWORD size = 0; // packet data size (index entry)
};
// Rewrites the first 64 bytes of a packet read into `sample` into the sample header, then the status
// area at size + 41 by recorder kind, updating `state`. `sample` holds at least size + 553 bytes.
void RewriteSample(BYTE* sample, const SampleFields& f, TavStatusState* state);

// The 4-byte placeholder sample a switched-off or waiting channel receives.
void WritePlaceholder(BYTE* sample, BYTE code, BYTE channel);

// Converts an audio packet read by GetFrame (`packetLength` bytes, or 4 for a placeholder) into
// `out` (capacity `outCapacity`). Returns the output length. Format 6 and 7 pass through; anything
// else is IMA ADPCM stereo decoded to 16-bit PCM.
DWORD ConvertAudio(const BYTE* packet, DWORD packetLength, int audioFormat, BYTE* out, DWORD outCapacity);

// One IMA ADPCM code applied to a channel state (predictor, step index); returns the new sample.
struct AdpcmState {
    int predictor = 0;
    int index = 0;
};
int DecodeImaNibble(AdpcmState* state, int code);

} // namespace tav
