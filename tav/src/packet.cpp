#include "tav/packet.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"
#include "tav/layout.h"

namespace tav {
namespace {

// Reads bits most significant first; past the end it yields zeros and remembers the overrun.
class BitReader {
public:
    BitReader(const BYTE* p, std::size_t n) : m_p(p), m_n(n) {}
    DWORD Get(int bits) {
        DWORD v = 0;
        for (int i = 0; i < bits; ++i) {
            std::size_t byte = m_pos >> 3;
            DWORD bit = 0;
            if (byte < m_n)
                bit = (m_p[byte] >> (7 - (m_pos & 7))) & 1;
            else
                m_overrun = true;
            v = (v << 1) | bit;
            ++m_pos;
        }
        return v;
    }
    void Skip(int bits) { Get(bits); }
    bool Overrun() const { return m_overrun; }

private:
    const BYTE* m_p;
    std::size_t m_n;
    std::size_t m_pos = 0;
    bool m_overrun = false;
};

constexpr int kImaStep[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kImaIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

} // namespace

// ISO/IEC 14496-2 6.2.2 visual object (video_object_start_code) and 6.2.3 video_object_layer up to
// video_object_layer_width / _height.
int ParseVideoObjectLayer(const BYTE* es, std::size_t size, WORD* width, WORD* height) {
    BitReader r(es, std::min<std::size_t>(size, 64));
    DWORD vo = r.Get(32);
    if (vo < 0x100 || vo > 0x11F)
        return -4;
    DWORD vol = r.Get(32);
    if ((vol >> 4) != 0x12)
        return -1;
    r.Skip(1);     // random_accessible_vol
    r.Skip(8);     // video_object_type_indication
    if (r.Get(1))  // is_object_layer_identifier
        r.Skip(7); // video_object_layer_verid, video_object_layer_priority
    DWORD aspect = r.Get(4);
    if (aspect == 15)
        r.Skip(16);   // par_width, par_height
    if (r.Get(1)) {   // vol_control_parameters
        r.Skip(3);    // chroma_format, low_delay
        if (r.Get(1)) // vbv_parameters
            r.Skip(79);
    }
    if (r.Get(2) != 0) // video_object_layer_shape
        return -5;
    r.Skip(18);   // marker, vop_time_increment_resolution, marker
    if (r.Get(1)) // fixed_vop_rate
        return -2;
    r.Skip(1);
    DWORD w = r.Get(13);
    r.Skip(1);
    DWORD h = r.Get(13);
    if (r.Overrun())
        return -1;
    *width = static_cast<WORD>(w);
    *height = static_cast<WORD>(h);
    return 0;
}

DWORD PacketTimestamp(const BYTE* p) {
    return (DWORD(p[41] & 0xFE) << 29) | (DWORD(p[42]) << 22) | (DWORD(p[43] & 0xFE) << 14) |
           (DWORD(p[44]) << 7) | (DWORD(p[45]) >> 1);
}

void TimestampToTime(DWORD ts, DWORD* seconds, DWORD* microseconds) {
    // The product is formed in 64 bits: time stamps beyond ~40 s would otherwise wrap.
    ULONGLONG scaled = ULONGLONG(ts) * 108ull;
    *seconds = static_cast<DWORD>(scaled / 10000000ull);
    *microseconds = static_cast<DWORD>((scaled % 10000000ull) / 10ull);
}

void DetectRecorderKind(const BYTE* p, DWORD size, int* kind) {
    if (platform::ReadLE32(p) == kEntryTagB) {
        *kind = 4;
        return;
    }
    DWORD tag = platform::ReadLE32(p + size + 32);
    if (tag == kFrameTrailerTagA || tag == kFrameTrailerTagB) {
        BYTE code = p[size + 40];
        if (code == 1)
            *kind = p[size + 74] ? 3 : 2;
        else if (code == 3)
            *kind = 1;
        else if (code == 5)
            *kind = 8;
    } else if (tag == kTagRail) {
        *kind = 32;
    }
}

DWORD SampleTag(int kind) {
    if (kind == 1)
        return kTagWeng;
    if (kind >= 2 && kind <= 7)
        return kTagKlto;
    if (kind == 8)
        return kTagFabl;
    if (kind == 32)
        return kTagRail;
    return kTagKind0;
}

void RewriteSample(BYTE* s, const SampleFields& f, TavStatusState* st) {
    DWORD seconds = 0, micro = 0;
    TimestampToTime(PacketTimestamp(s), &seconds, &micro);
    BYTE title[12];
    std::memcpy(title, s + 20, 12);
    platform::WriteLE32(s, SampleTag(f.kind));
    platform::WriteLE32(s + 8, f.size - 32);
    s[16] = f.displayOption;
    s[17] = f.code;
    s[19] = f.type;
    platform::WriteLE32(s + 20, seconds);
    platform::WriteLE32(s + 24, micro);
    platform::WriteLE32(s + 28, f.size - 32);
    std::memcpy(s + 32, title, 12);
    std::memset(s + 44, 0, 20);

    BYTE* area = s + f.size + 41;
    auto& block = st->block;
    if (f.kind == 1) {
        std::memcpy(st->kind1.data(), area, kKind1RecordBytes);
        return;
    }
    if (f.kind < 2 || f.kind > 8)
        return;
    // The channel title table: channels 0..5 at 58 + 12c, 6 and 7 at 174 and 186; 8..15 are not kept.
    BYTE channel = s[18];
    if (channel < 6)
        std::memcpy(block.data() + 58 + 12 * channel, s + 32, 12);
    else if (channel < 8)
        std::memcpy(block.data() + 174 + 12 * (channel - 6), s + 32, 12);
    if (f.kind == 8) {
        std::memcpy(block.data() + 34, area, 20);
        std::memcpy(area, block.data(), 144);
        return;
    }
    std::memcpy(block.data(), area, 58);
    std::memcpy(area + 58, block.data() + 58, 80);
    if (f.kind >= 3)
        std::memcpy(block.data() + 138, area + 138, 157);
}

void WritePlaceholder(BYTE* s, BYTE code, BYTE channel) {
    platform::WriteLE32(s, kPlaceholderWord);
    // Only the four header bytes count; the code, channel and type complete the header fields.
    s[17] = code;
    s[18] = channel;
    s[19] = kTypePredicted;
}

int DecodeImaNibble(AdpcmState* st, int code) {
    int step = kImaStep[st->index];
    st->index = std::clamp(st->index + kImaIndex[code & 15], 0, 88);
    int m = code & 7;
    int d = ((2 * m + 1) * step) / 8;
    int p = (code & 8) ? st->predictor - d : st->predictor + d;
    st->predictor = std::clamp(p, -32768, 32767);
    return st->predictor;
}

DWORD ConvertAudio(const BYTE* pkt, DWORD packetLength, int format, BYTE* out, DWORD cap) {
    if (packetLength == 4) {
        DWORD n = std::min<DWORD>(4, cap);
        std::memcpy(out, "dddd", n);
        return n;
    }
    if (packetLength < 64)
        return 0;
    LONG L = static_cast<LONG>(platform::ReadLE32(pkt + 28));
    if (format == 6 || format == 7) {
        DWORD n = L > 0 ? static_cast<DWORD>(L) : 0;
        n = std::min({n, packetLength - 64, cap});
        std::memcpy(out, pkt + 64, n);
        return n;
    }
    if (packetLength < 96 || L <= 32)
        return 0;
    DWORD data = static_cast<DWORD>(L) - 32;
    // Whole groups that lie inside what was read and whose samples fit the output.
    DWORD groups = std::min<DWORD>((data + 7) / 8, (packetLength - 96) / 8);
    groups = std::min<DWORD>(groups, cap / 32);
    AdpcmState left{static_cast<SHORT>(platform::ReadLE16(pkt + 88)), std::min<int>(pkt[90], 88)};
    AdpcmState right{static_cast<SHORT>(platform::ReadLE16(pkt + 92)), std::min<int>(pkt[94], 88)};
    BYTE* o = out;
    for (DWORD g = 0; g < groups; ++g) {
        const BYTE* grp = pkt + 96 + 8 * g;
        for (int i = 0; i < 8; ++i) {
            int shift = (i & 1) * 4;
            int l = DecodeImaNibble(&left, (grp[i / 2] >> shift) & 15);
            int r = DecodeImaNibble(&right, (grp[4 + i / 2] >> shift) & 15);
            platform::WriteLE16(o, static_cast<WORD>(static_cast<SHORT>(l)));
            platform::WriteLE16(o + 2, static_cast<WORD>(static_cast<SHORT>(r)));
            o += 4;
        }
    }
    return std::min<DWORD>(data * 4, static_cast<DWORD>(o - out));
}

} // namespace tav
