// The headers and I-VOP macroblocks of an ISO/IEC 14496-2 Simple-profile stream.
#include "sim_m4v/m4v_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "bit_writer.h"
#include "vlc_tables.h"

namespace simm4v {
namespace {

constexpr int kVopTimeIncrementBits = 15;  // ceil(log2(kTimeIncrementResolution))
constexpr int kQuantPrecision = 5;         // not_8_bit 0: vop_quant takes 5 bits
constexpr int kDcPredictionOutside = 1024; // 2^(bits_per_pixel + 2): a neighbour outside the VOP
constexpr int kMaxDcReconstruction = 2047; // 2^(bits_per_pixel + 3) - 1
constexpr int kMaxEscapeLevel = 2047;      // 12-bit two's complement level of escape mode 3

static_assert((1 << kVopTimeIncrementBits) >= kTimeIncrementResolution &&
              (1 << (kVopTimeIncrementBits - 1)) < kTimeIncrementResolution);

// Zig-zag scan (7.4.2, Figure 7-2): scan position -> raster index v * 8 + u.
constexpr std::array<uint8_t, 64> kZigzag = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

void CheckSize(int width, int height) {
    if (width < 16 || height < 16 || width > kMaxPictureSide || height > kMaxPictureSide || width % 16 != 0 ||
        height % 16 != 0)
        throw std::invalid_argument("MPEG-4 picture size must be a multiple of 16 in 16..4096");
}

void PutCode(CBitWriter& w, Code c) {
    w.Put(c.bits, c.length);
}

// 6.2.5 video_object_plane() up to vop_coded: start code, coding type, modulo_time_base, time
// increment between marker bits, vop_coded.
void PutVopTiming(CBitWriter& w, int codingType, VopTime time, bool coded) {
    w.Put(0x000001B6, 32); // vop_start_code
    w.Put(static_cast<uint32_t>(codingType), 2);
    for (int s = 0; s < time.secondsElapsed; ++s)
        w.Put(1, 1); // modulo_time_base: one '1' per elapsed second
    w.Put(0, 1);
    w.Put(1, 1); // marker_bit
    w.Put(time.increment % kTimeIncrementResolution, kVopTimeIncrementBits);
    w.Put(1, 1); // marker_bit
    w.Put(coded ? 1 : 0, 1);
}

// The rest of a coded rectangular VOP's header.
void PutVopCodingFields(CBitWriter& w, bool predicted, int quant, bool interlaced) {
    if (predicted)
        w.Put(0, 1); // vop_rounding_type
    w.Put(0, 3);     // intra_dc_vlc_thr: the intra DC always has its own VLC
    if (interlaced) {
        w.Put(1, 1); // top_field_first
        w.Put(0, 1); // alternate_vertical_scan_flag
    }
    w.Put(static_cast<uint32_t>(quant), kQuantPrecision);
    if (predicted)
        w.Put(1, 3); // vop_fcode_forward (no vectors are sent)
}

// Table 7-1: dc_scaler of the luminance and chrominance blocks for a quantiser.
int DcScaler(bool luma, int quant) {
    if (quant <= 4)
        return 8;
    if (luma)
        return quant <= 8 ? 2 * quant : quant <= 24 ? quant + 8 : 2 * quant - 16;
    return quant <= 24 ? (quant + 13) / 2 : quant - 6;
}

// 8 × 8 forward DCT (the transform whose inverse 7.4.4 specifies), separable, in double precision.
class CForwardDct {
public:
    CForwardDct() {
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x)
                m_basis[u][x] = (u == 0 ? std::sqrt(0.125) : 0.5) * std::cos((2 * x + 1) * u * M_PI / 16.0);
    }
    // in: pixels row by row; out: coefficients F[v][u] at v * 8 + u.
    void Transform(const int* in, double* out) const {
        double rows[64];
        for (int y = 0; y < 8; ++y)
            for (int u = 0; u < 8; ++u) {
                double s = 0;
                for (int x = 0; x < 8; ++x)
                    s += m_basis[u][x] * in[y * 8 + x];
                rows[y * 8 + u] = s;
            }
        for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u) {
                double s = 0;
                for (int y = 0; y < 8; ++y)
                    s += m_basis[v][y] * rows[y * 8 + u];
                out[v * 8 + u] = s;
            }
    }

private:
    double m_basis[8][8];
};

const CForwardDct& Dct() {
    static const CForwardDct dct;
    return dct;
}

// One quantised intra block: the DC level and the AC levels in scan order (index 0 unused).
struct IntraBlock {
    int dc = 0;
    std::array<int, 64> ac{};
    bool HasAc() const {
        return std::any_of(ac.begin() + 1, ac.end(), [](int l) { return l != 0; });
    }
};

// Forward DCT and H.263 quantisation of an intra block (the inverse of 7.4.2.2 with
// quant_type 0): DC by dc_scaler with rounding, AC by 2 × quant truncated.
IntraBlock QuantiseIntra(const uint8_t* pixels, int stride, int quant, int dcScaler) {
    int in[64];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            in[y * 8 + x] = pixels[static_cast<std::ptrdiff_t>(y) * stride + x];
    double f[64];
    Dct().Transform(in, f);
    IntraBlock b;
    int dc = static_cast<int>(std::lround(f[0]));
    b.dc = std::clamp((dc + dcScaler / 2) / dcScaler, 1, kMaxDcReconstruction / dcScaler);
    for (int i = 1; i < 64; ++i) {
        double c = f[kZigzag[i]];
        int level = std::min(static_cast<int>(std::fabs(c) / (2 * quant)), kMaxEscapeLevel);
        b.ac[i] = c < 0 ? -level : level;
    }
    return b;
}

// 6.2.8 block(): dct_dc_size, dct_dc_differential and its marker (7.4.1.2 / Tables B-13, B-14).
void PutIntraDc(CBitWriter& w, bool luma, int differential) {
    int magnitude = std::abs(differential);
    int size = 0;
    while ((magnitude >> size) != 0)
        ++size;
    PutCode(w, DcSize(luma, size));
    if (size == 0)
        return;
    // A negative differential is sent as its value plus 2^size - 1 (the leading bit then is 0).
    uint32_t bits = differential > 0 ? static_cast<uint32_t>(differential)
                                     : static_cast<uint32_t>(differential + (1 << size) - 1);
    w.Put(bits, size);
    if (size > 8)
        w.Put(1, 1); // marker_bit
}

// One (last, run, level) event with Table B-16 or one of the three escape modes (7.4.1.3).
void PutIntraTcoef(CBitWriter& w, int last, int run, int level) {
    int magnitude = std::abs(level);
    uint32_t sign = level < 0 ? 1 : 0;
    Code c = IntraTcoef(last, run, magnitude);
    if (c.length) {
        PutCode(w, c);
        w.Put(sign, 1);
        return;
    }
    // Mode 1: the level less LMAX(last, run) has a code.
    int reduced = magnitude - IntraTcoefMaxLevel(last, run);
    if (reduced >= 1 && (c = IntraTcoef(last, run, reduced)).length) {
        PutCode(w, kTcoefEscape);
        w.Put(0, 1);
        PutCode(w, c);
        w.Put(sign, 1);
        return;
    }
    // Mode 2: the run less RMAX(last, level) + 1 has a code; RMAX exists for every level that has
    // a code at run 0.
    if (magnitude <= IntraTcoefMaxLevel(last, 0)) {
        int shorter = run - IntraTcoefMaxRun(last, magnitude) - 1;
        if (shorter >= 0 && (c = IntraTcoef(last, shorter, magnitude)).length) {
            PutCode(w, kTcoefEscape);
            w.Put(2, 2);
            PutCode(w, c);
            w.Put(sign, 1);
            return;
        }
    }
    // Mode 3: fixed-length last, run and 12-bit level between marker bits.
    PutCode(w, kTcoefEscape);
    w.Put(3, 2);
    w.Put(static_cast<uint32_t>(last), 1);
    w.Put(static_cast<uint32_t>(run), 6);
    w.Put(1, 1);
    w.Put(static_cast<uint32_t>(level) & 0xFFF, 12);
    w.Put(1, 1);
}

void PutIntraAc(CBitWriter& w, const IntraBlock& b) {
    int lastIndex = 63;
    while (lastIndex > 0 && b.ac[lastIndex] == 0)
        --lastIndex;
    int run = 0;
    for (int i = 1; i <= lastIndex; ++i) {
        if (b.ac[i] == 0) {
            ++run;
            continue;
        }
        PutIntraTcoef(w, i == lastIndex ? 1 : 0, run, b.ac[i]);
        run = 0;
    }
}

// The reconstructed DC values (F[0][0]) of the blocks coded so far, for DC prediction (7.4.3.1).
class CDcPlane {
public:
    CDcPlane(int blocksAcross, int blocksDown)
        : m_across(blocksAcross), m_down(blocksDown),
          m_values(static_cast<size_t>(blocksAcross) * blocksDown, kDcPredictionOutside) {}

    int At(int bx, int by) const {
        if (bx < 0 || by < 0 || bx >= m_across || by >= m_down)
            return kDcPredictionOutside;
        return m_values[static_cast<size_t>(by) * m_across + bx];
    }
    void Set(int bx, int by, int value) { m_values[static_cast<size_t>(by) * m_across + bx] = value; }

    // The predicted QF[0][0]: from the block above (C) when the gradient from the above-left (B)
    // to the left (A) is smaller than from B to C, else from the left; divided by dc_scaler with
    // rounding to nearest.
    int PredictedLevel(int bx, int by, int dcScaler) const {
        int a = At(bx - 1, by), b = At(bx - 1, by - 1), c = At(bx, by - 1);
        int predictor = std::abs(a - b) < std::abs(b - c) ? c : a;
        return (predictor + dcScaler / 2) / dcScaler;
    }

private:
    int m_across, m_down;
    std::vector<int> m_values;
};

// 6.2.6 macroblock() of an I-VOP with mb_type 3 and the six blocks of 6.2.8.
void PutIntraMacroblock(CBitWriter& w, const simdraw::YuvImage& p, int mx, int my, int quant, bool interlaced,
                        CDcPlane& dcLuma, CDcPlane& dcCb, CDcPlane& dcCr) {
    const int lumaScaler = DcScaler(true, quant), chromaScaler = DcScaler(false, quant);
    IntraBlock blocks[6];
    for (int k = 0; k < 4; ++k) {
        const uint8_t* at =
            p.y.data() + static_cast<size_t>(my * 16 + (k >> 1) * 8) * p.width + mx * 16 + (k & 1) * 8;
        blocks[k] = QuantiseIntra(at, p.width, quant, lumaScaler);
    }
    const int cw = p.width / 2;
    blocks[4] =
        QuantiseIntra(p.u.data() + static_cast<size_t>(my * 8) * cw + mx * 8, cw, quant, chromaScaler);
    blocks[5] =
        QuantiseIntra(p.v.data() + static_cast<size_t>(my * 8) * cw + mx * 8, cw, quant, chromaScaler);

    int cbpy = 0, cbpc = 0;
    for (int k = 0; k < 4; ++k)
        cbpy |= (blocks[k].HasAc() ? 1 : 0) << (3 - k);
    cbpc = (blocks[4].HasAc() ? 2 : 0) | (blocks[5].HasAc() ? 1 : 0);

    PutCode(w, IntraMcbpc(cbpc));
    w.Put(0, 1); // ac_pred_flag
    PutCode(w, IntraCbpy(cbpy));
    if (interlaced)
        w.Put(0, 1); // dct_type: frame DCT

    for (int k = 0; k < 6; ++k) {
        const bool luma = k < 4;
        CDcPlane& plane = k < 4 ? dcLuma : k == 4 ? dcCb : dcCr;
        const int scaler = luma ? lumaScaler : chromaScaler;
        const int bx = luma ? mx * 2 + (k & 1) : mx;
        const int by = luma ? my * 2 + (k >> 1) : my;
        PutIntraDc(w, luma, blocks[k].dc - plane.PredictedLevel(bx, by, scaler));
        plane.Set(bx, by, blocks[k].dc * scaler);
        const bool coded = luma ? ((cbpy >> (3 - k)) & 1) : ((cbpc >> (5 - k)) & 1);
        if (coded)
            PutIntraAc(w, blocks[k]);
    }
}

} // namespace

std::vector<uint8_t> EncodeVol(int width, int height, bool interlaced, int aspectRatioInfo,
                               bool volControlParameters) {
    CheckSize(width, height);
    CBitWriter w;
    w.Put(0x00000100, 32); // video_object_start_code
    w.Put(0x00000120, 32); // video_object_layer_start_code
    w.Put(0, 1);           // random_accessible_vol
    w.Put(1, 8);           // video_object_type_indication: Simple Object
    w.Put(1, 1);           // is_object_layer_identifier
    w.Put(1, 4);           // video_object_layer_verid
    w.Put(1, 3);           // video_object_layer_priority
    w.Put(static_cast<uint32_t>(aspectRatioInfo) & 15, 4);
    if ((aspectRatioInfo & 15) == 15) {
        w.Put(12, 8); // par_width
        w.Put(11, 8); // par_height
    }
    w.Put(volControlParameters ? 1 : 0, 1);
    if (volControlParameters) {
        w.Put(1, 2);                  // chroma_format: 4:2:0
        w.Put(1, 1);                  // low_delay
        w.Put(1, 1);                  // vbv_parameters
        w.Put(0, 15), w.Put(1, 1);    // first_half_bit_rate, marker
        w.Put(2000, 15), w.Put(1, 1); // latter_half_bit_rate, marker
        w.Put(0, 15), w.Put(1, 1);    // first_half_vbv_buffer_size, marker
        w.Put(7, 3);                  // latter_half_vbv_buffer_size
        w.Put(0, 11), w.Put(1, 1);    // first_half_vbv_occupancy, marker
        w.Put(100, 15), w.Put(1, 1);  // latter_half_vbv_occupancy, marker
    }
    w.Put(0, 2); // video_object_layer_shape: rectangular
    w.Put(1, 1); // marker_bit
    w.Put(kTimeIncrementResolution, 16);
    w.Put(1, 1); // marker_bit
    w.Put(0, 1); // fixed_vop_rate
    w.Put(1, 1);
    w.Put(static_cast<uint32_t>(width), 13);
    w.Put(1, 1);
    w.Put(static_cast<uint32_t>(height), 13);
    w.Put(1, 1);
    w.Put(interlaced ? 1 : 0, 1);
    w.Put(1, 1); // obmc_disable
    w.Put(0, 1); // sprite_enable
    w.Put(0, 1); // not_8_bit
    w.Put(0, 1); // quant_type: H.263
    w.Put(1, 1); // complexity_estimation_disable
    w.Put(1, 1); // resync_marker_disable
    w.Put(0, 1); // data_partitioned
    w.Put(0, 1); // scalability
    w.StuffToByte();
    return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeIntraVop(const simdraw::YuvImage& picture, int quant, bool interlaced,
                                    VopTime time) {
    CheckSize(picture.width, picture.height);
    const size_t lumaSize = static_cast<size_t>(picture.width) * picture.height;
    if (picture.y.size() < lumaSize || picture.u.size() < lumaSize / 4 || picture.v.size() < lumaSize / 4)
        throw std::invalid_argument("YUV picture planes smaller than its size");
    quant = std::clamp(quant, 1, 31);
    const int mbAcross = picture.width / 16, mbDown = picture.height / 16;

    CBitWriter w;
    PutVopTiming(w, 0, time, true);
    PutVopCodingFields(w, false, quant, interlaced);
    CDcPlane dcLuma(mbAcross * 2, mbDown * 2), dcCb(mbAcross, mbDown), dcCr(mbAcross, mbDown);
    for (int my = 0; my < mbDown; ++my)
        for (int mx = 0; mx < mbAcross; ++mx)
            PutIntraMacroblock(w, picture, mx, my, quant, interlaced, dcLuma, dcCb, dcCr);
    w.StuffToByte();
    return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeKeyFrame(const simdraw::YuvImage& picture, int quant, bool interlaced,
                                    VopTime time) {
    std::vector<uint8_t> frame = EncodeVol(picture.width, picture.height, interlaced);
    std::vector<uint8_t> vop = EncodeIntraVop(picture, quant, interlaced, time);
    frame.insert(frame.end(), vop.begin(), vop.end());
    return frame;
}

std::vector<uint8_t> EncodeIntraVopWithin(const simdraw::YuvImage& picture, int quant, size_t maxBytes,
                                          bool interlaced, VopTime time, int* usedQuant) {
    if (usedQuant)
        *usedQuant = 0;
    int low = std::clamp(quant, 1, 31);
    std::vector<uint8_t> best = EncodeIntraVop(picture, low, interlaced, time);
    int high = low;
    if (best.size() > maxBytes) {
        // Bisect between a quantiser that does not fit (low) and one that does (high): the size
        // falls with the quantiser, and the answer's next finer quantiser is known not to fit.
        high = 31;
        best = EncodeIntraVop(picture, high, interlaced, time);
        if (best.size() > maxBytes)
            return {};
        while (high - low > 1) {
            const int middle = (low + high) / 2;
            std::vector<uint8_t> vop = EncodeIntraVop(picture, middle, interlaced, time);
            if (vop.size() <= maxBytes) {
                high = middle;
                best = std::move(vop);
            } else {
                low = middle;
            }
        }
    }
    if (usedQuant)
        *usedQuant = high;
    return best;
}

std::vector<uint8_t> EncodePredictedVop(int width, int height, int quant, bool interlaced, VopTime time) {
    CheckSize(width, height);
    CBitWriter w;
    PutVopTiming(w, 1, time, true);
    PutVopCodingFields(w, true, std::clamp(quant, 1, 31), interlaced);
    const int macroblocks = (width / 16) * (height / 16);
    for (int i = 0; i < macroblocks; ++i)
        w.Put(1, 1); // not_coded
    w.StuffToByte();
    return std::move(w.Bytes());
}

std::vector<uint8_t> EncodeNotCodedVop(VopTime time, bool intraType) {
    CBitWriter w;
    PutVopTiming(w, intraType ? 0 : 1, time, false);
    w.StuffToByte();
    return std::move(w.Bytes());
}

} // namespace simm4v
