// The AVI 1.0 RIFF layout (Microsoft "AVI RIFF File Reference"): the main header 'avih', per-stream
// 'strh' and 'strf', the 'movi' list of '##dc' / '##db' / '##wb' chunks and the 'idx1' index, with
// explicit little-endian readers and writers for the fixed-size records.
#pragma once

#include <string>

#include "media/types.h"
#include "platform/bytes.h"

namespace avi {

constexpr DWORD FCC(const char (&s)[5]) {
    return MAKEFOURCC(s[0], s[1], s[2], s[3]);
}

constexpr DWORD kRIFF = FCC("RIFF");
constexpr DWORD kAVI = FCC("AVI ");
constexpr DWORD kLIST = FCC("LIST");
constexpr DWORD kHdrl = FCC("hdrl");
constexpr DWORD kAvih = FCC("avih");
constexpr DWORD kStrl = FCC("strl");
constexpr DWORD kStrh = FCC("strh");
constexpr DWORD kStrf = FCC("strf");
constexpr DWORD kMovi = FCC("movi");
constexpr DWORD kIdx1 = FCC("idx1");
constexpr DWORD kJunk = FCC("JUNK");
constexpr DWORD kVids = FCC("vids");
constexpr DWORD kAuds = FCC("auds");

constexpr DWORD AVIF_HASINDEX = 0x10;
constexpr DWORD AVIF_ISINTERLEAVED = 0x100;
constexpr DWORD AVIIF_KEYFRAME = 0x10;

constexpr ULONG kAvihSize = 56;
constexpr ULONG kStrhSize = 56;
constexpr ULONG kIndexEntrySize = 16;

struct MainHeader {
    DWORD dwMicroSecPerFrame = 0;
    DWORD dwMaxBytesPerSec = 0;
    DWORD dwPaddingGranularity = 0;
    DWORD dwFlags = 0;
    DWORD dwTotalFrames = 0;
    DWORD dwInitialFrames = 0;
    DWORD dwStreams = 0;
    DWORD dwSuggestedBufferSize = 0;
    DWORD dwWidth = 0;
    DWORD dwHeight = 0;

    void Write(BYTE* p) const {
        const DWORD v[10] = {
            dwMicroSecPerFrame, dwMaxBytesPerSec, dwPaddingGranularity,  dwFlags, dwTotalFrames,
            dwInitialFrames,    dwStreams,        dwSuggestedBufferSize, dwWidth, dwHeight};
        for (int i = 0; i < 10; ++i)
            platform::WriteLE32(p + 4 * i, v[i]);
        for (int i = 10; i < 14; ++i)
            platform::WriteLE32(p + 4 * i, 0);
    }
    static MainHeader Read(const BYTE* p) {
        MainHeader h;
        DWORD* v[10] = {&h.dwMicroSecPerFrame,
                        &h.dwMaxBytesPerSec,
                        &h.dwPaddingGranularity,
                        &h.dwFlags,
                        &h.dwTotalFrames,
                        &h.dwInitialFrames,
                        &h.dwStreams,
                        &h.dwSuggestedBufferSize,
                        &h.dwWidth,
                        &h.dwHeight};
        for (int i = 0; i < 10; ++i)
            *v[i] = platform::ReadLE32(p + 4 * i);
        return h;
    }
};

struct StreamHeader {
    DWORD fccType = 0;
    DWORD fccHandler = 0;
    DWORD dwFlags = 0;
    WORD wPriority = 0;
    WORD wLanguage = 0;
    DWORD dwInitialFrames = 0;
    DWORD dwScale = 0;
    DWORD dwRate = 0;
    DWORD dwStart = 0;
    DWORD dwLength = 0;
    DWORD dwSuggestedBufferSize = 0;
    DWORD dwQuality = 0xFFFFFFFFu;
    DWORD dwSampleSize = 0;
    SHORT rcFrame[4] = {0, 0, 0, 0};

    void Write(BYTE* p) const {
        platform::WriteLE32(p + 0, fccType);
        platform::WriteLE32(p + 4, fccHandler);
        platform::WriteLE32(p + 8, dwFlags);
        platform::WriteLE16(p + 12, wPriority);
        platform::WriteLE16(p + 14, wLanguage);
        platform::WriteLE32(p + 16, dwInitialFrames);
        platform::WriteLE32(p + 20, dwScale);
        platform::WriteLE32(p + 24, dwRate);
        platform::WriteLE32(p + 28, dwStart);
        platform::WriteLE32(p + 32, dwLength);
        platform::WriteLE32(p + 36, dwSuggestedBufferSize);
        platform::WriteLE32(p + 40, dwQuality);
        platform::WriteLE32(p + 44, dwSampleSize);
        for (int i = 0; i < 4; ++i)
            platform::WriteLE16(p + 48 + 2 * i, static_cast<WORD>(rcFrame[i]));
    }
    static StreamHeader Read(const BYTE* p) {
        StreamHeader h;
        h.fccType = platform::ReadLE32(p + 0);
        h.fccHandler = platform::ReadLE32(p + 4);
        h.dwFlags = platform::ReadLE32(p + 8);
        h.wPriority = platform::ReadLE16(p + 12);
        h.wLanguage = platform::ReadLE16(p + 14);
        h.dwInitialFrames = platform::ReadLE32(p + 16);
        h.dwScale = platform::ReadLE32(p + 20);
        h.dwRate = platform::ReadLE32(p + 24);
        h.dwStart = platform::ReadLE32(p + 28);
        h.dwLength = platform::ReadLE32(p + 32);
        h.dwSuggestedBufferSize = platform::ReadLE32(p + 36);
        h.dwQuality = platform::ReadLE32(p + 40);
        h.dwSampleSize = platform::ReadLE32(p + 44);
        return h;
    }
};

// "00dc", "01wb", ...: the stream number in two decimal digits and the chunk kind.
inline DWORD ChunkId(int stream, const char (&kind)[3]) {
    return MAKEFOURCC(static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), kind[0],
                      kind[1]);
}
// The stream number of a chunk id, or -1.
inline int ChunkStream(DWORD id) {
    int a = static_cast<int>(id & 0xFF) - '0';
    int b = static_cast<int>((id >> 8) & 0xFF) - '0';
    if (a < 0 || a > 9 || b < 0 || b > 9)
        return -1;
    return a * 10 + b;
}

} // namespace avi
