// ISO/IEC 14496-2 macroblock layer for I- and P-VOPs: 6.2.6 syntax, 7.4 texture decoding (DC and AC
// prediction, inverse quantisation, IDCT) and 7.6 motion compensation.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "vlc.h"

namespace mpeg4 {
namespace {

// 7.4.3.1 intra_dc_vlc_thr: the DC VLC is used while the quantiser is below the threshold.
constexpr int kDcVlcThreshold[8] = {32, 13, 15, 17, 19, 21, 23, 0};
constexpr int kDquant[4] = {-1, -2, 1, 2};

// 7.4.3.1 table 7-1: dc_scaler.
int DcScaler(int qp, bool luma) {
    if (qp <= 4)
        return 8;
    if (luma)
        return qp <= 8 ? 2 * qp : (qp <= 24 ? qp + 8 : 2 * qp - 16);
    return qp <= 24 ? (qp + 13) / 2 : qp - 6;
}

// "//": integer division rounded to the nearest integer, halves away from zero.
int RoundedDiv(int a, int b) {
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

int Median(int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

int16_t Clamp2048(int v) {
    return static_cast<int16_t>(std::clamp(v, -2048, 2047));
}

// 7.6.3.1: motion vector component from its motion_code and residual, wrapped into the f_code range.
// Inlined into DecodeVector: a call for each of a vector's two components costs about as much as
// the component itself.
[[gnu::always_inline]] inline bool DecodeComponent(BitReader& br, int pred, int fcode, int& out) {
    int code = DecodeMotionCode(br);
    if (code == kInvalidMotionCode)
        return false;
    int rSize = fcode - 1;
    int diff = code;
    if (code != 0 && rSize > 0) {
        int residual = static_cast<int>(br.Read(rSize));
        diff = ((std::abs(code) - 1) << rSize) + residual + 1;
        if (code < 0)
            diff = -diff;
    }
    int f = 1 << rSize;
    int low = -32 * f, high = 32 * f - 1, range = 64 * f;
    int v = pred + diff;
    if (v < low)
        v += range;
    else if (v > high)
        v -= range;
    out = v;
    return true;
}

// 7.6.2 chrominance vector of one luminance vector in half-sample units: the odd quarter positions
// go to the half-sample position.
int ChromaFromLuma(int v) {
    return (v >> 1) | (v & 1);
}

// 7.6.2 chrominance vector of a four-vector macroblock: the sum of the four vectors divided by 8,
// the sixteenth-sample fraction rounded by table 7-6 (symmetric in sign).
int ChromaFromSum(int sum) {
    static constexpr int kRound[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};
    int a = std::abs(sum);
    int c = (a >> 4) * 2 + kRound[a & 15];
    return sum < 0 ? -c : c;
}

} // namespace

int CMp4Codec::DecodeVop(BitReader& br) {
    m_quant = m_vop.quant;
    ++m_vopSerial;
    for (int mby = 0; mby < m_mbHeight; ++mby) {
        for (int mbx = 0; mbx < m_mbWidth; ++mbx) {
            if (int r = DecodeMacroblock(br, mbx, mby); r != 0 || br.Overrun()) {
                return kCorruptMacroblocks;
            }
        }
    }
    return kOk;
}

// 7.6.5: the median of three candidate vectors around an 8 × 8 block; candidates outside the VOP
// are replaced following the standard's rules for one, two or three missing candidates.
MotionVector CMp4Codec::PredictVector(int bx, int by, int block) const {
    const int gridWidth = 2 * m_mbWidth;
    // The first block of a macroblock away from the left, top and right edges, the most common
    // case: all three candidates lie in the picture, and the prediction is their median.
    if (block == 0 && bx > 0 && by > 0 && bx + 2 < gridWidth) {
        const MotionVector* at = &m_vectors[static_cast<size_t>(by) * gridWidth + bx];
        const MotionVector a = at[-1], b = at[-gridWidth], c = at[2 - gridWidth];
        MotionVector out;
        out.x = static_cast<int16_t>(Median(a.x, b.x, c.x));
        out.y = static_cast<int16_t>(Median(a.y, b.y, c.y));
        return out;
    }
    int cand[3][2];
    switch (block) {
    case 0:
        cand[0][0] = bx - 1;
        cand[0][1] = by;
        cand[1][0] = bx;
        cand[1][1] = by - 1;
        cand[2][0] = bx + 2;
        cand[2][1] = by - 1;
        break;
    case 1:
    case 2:
        cand[0][0] = bx - 1;
        cand[0][1] = by;
        cand[1][0] = bx;
        cand[1][1] = by - 1;
        cand[2][0] = bx + 1;
        cand[2][1] = by - 1;
        break;
    default:
        cand[0][0] = bx - 1;
        cand[0][1] = by;
        cand[1][0] = bx - 1;
        cand[1][1] = by - 1;
        cand[2][0] = bx;
        cand[2][1] = by - 1;
        break;
    }
    MotionVector v[3];
    bool valid[3];
    int invalid = 0;
    for (int i = 0; i < 3; ++i) {
        valid[i] = cand[i][0] >= 0 && cand[i][0] < gridWidth && cand[i][1] >= 0;
        if (valid[i])
            v[i] = m_vectors[cand[i][1] * gridWidth + cand[i][0]];
        else
            ++invalid;
    }
    if (invalid == 3)
        return MotionVector{};
    if (invalid == 2) {
        for (int i = 0; i < 3; ++i)
            if (valid[i])
                return v[i];
    }
    MotionVector out;
    out.x = static_cast<int16_t>(Median(v[0].x, v[1].x, v[2].x));
    out.y = static_cast<int16_t>(Median(v[0].y, v[1].y, v[2].y));
    return out;
}

bool CMp4Codec::DecodeVector(BitReader& br, MotionVector pred, MotionVector& out, int predDivY) {
    int x, y;
    if (!DecodeComponent(br, pred.x, m_vop.fcode, x))
        return false;
    // predDivY is 1 or 2; the halving truncates toward zero, as a division does.
    if (!DecodeComponent(br, predDivY == 2 ? pred.y / 2 : pred.y, m_vop.fcode, y))
        return false;
    out.x = static_cast<int16_t>(x);
    out.y = static_cast<int16_t>(y);
    return true;
}

// Reference window of w × h samples at (x, y), in frame coordinates or in the rows of one field
// (parity). The store's border repeats the frame's edge samples, so a field window reads the frame's
// first or last line beyond the field's edges, as the common decoders do. Windows entirely beyond
// the border are clamped into it, which reads the same repeated samples.
const uint8_t* CMp4Codec::FetchWindow(const Plane& ref, int x, int y, int w, int h, int field, int parity,
                                      int& stride) {
    x = std::clamp(x, -ref.border, ref.codedWidth + ref.border - w);
    if (!field) {
        y = std::clamp(y, -ref.border, ref.codedHeight + ref.border - h);
        stride = ref.stride;
        return ref.origin + static_cast<ptrdiff_t>(y) * ref.stride + x;
    }
    y = std::clamp(y, -ref.border / 2, (ref.codedHeight + ref.border) / 2 - h - 1);
    stride = ref.stride * 2;
    return ref.origin + static_cast<ptrdiff_t>(parity) * ref.stride + static_cast<ptrdiff_t>(y) * stride + x;
}

void CMp4Codec::PredictLumaBlock(uint8_t* dst, int ds, const Plane& ref, int x, int y, int w, int h, int mvx,
                                 int mvy, int field, int parity) {
    int stride;
    if (m_layer.quarterSample) {
        // 7.6.2.1 quarter-sample: square 8 or 16 blocks; a 16 × 8 field block is two 8 × 8 blocks.
        int n = std::min(w, h);
        for (int off = 0; off < w; off += n) {
            const uint8_t* src =
                FetchWindow(ref, x + off + (mvx >> 2), y + (mvy >> 2), n + 1, n + 1, field, parity, stride);
            m_dsp->quarterPel(dst + off, ds, src, stride, n, mvx & 3, mvy & 3, m_vop.rounding);
        }
        return;
    }
    const uint8_t* src =
        FetchWindow(ref, x + (mvx >> 1), y + (mvy >> 1), w + 1, h + 1, field, parity, stride);
    m_dsp->halfPel(dst, ds, src, stride, w, h, mvx & 1, mvy & 1, m_vop.rounding);
}

// Both chroma blocks: the U and V stores have the same geometry, so one window position serves both.
void CMp4Codec::PredictChromaBlocks(uint8_t* du, uint8_t* dv, int ds, const Picture& ref, int x, int y, int w,
                                    int h, int cmx, int cmy, int field, int parity) {
    int stride;
    const uint8_t* srcU =
        FetchWindow(ref.u, x + (cmx >> 1), y + (cmy >> 1), w + 1, h + 1, field, parity, stride);
    const uint8_t* srcV = ref.v.origin + (srcU - ref.u.origin);
    m_dsp->halfPel(du, ds, srcU, stride, w, h, cmx & 1, cmy & 1, m_vop.rounding);
    m_dsp->halfPel(dv, ds, srcV, stride, w, h, cmx & 1, cmy & 1, m_vop.rounding);
}

void CMp4Codec::PredictFrame(int mbx, int mby, const MotionVector* mv, bool fourMv) {
    Picture& cur = *m_current;
    const Picture& ref = *m_reference;
    const int ys = cur.y.stride, cs = cur.u.stride;
    uint8_t* dy = cur.y.origin + static_cast<ptrdiff_t>(mby) * 16 * ys + mbx * 16;
    uint8_t* du = cur.u.origin + static_cast<ptrdiff_t>(mby) * 8 * cs + mbx * 8;
    uint8_t* dv = cur.v.origin + static_cast<ptrdiff_t>(mby) * 8 * cs + mbx * 8;
    const bool qpel = m_layer.quarterSample;
    int cmx, cmy;
    if (!fourMv) {
        PredictLumaBlock(dy, ys, ref.y, mbx * 16, mby * 16, 16, 16, mv[0].x, mv[0].y, 0, 0);
        cmx = ChromaFromLuma(qpel ? mv[0].x / 2 : mv[0].x);
        cmy = ChromaFromLuma(qpel ? mv[0].y / 2 : mv[0].y);
    } else {
        int sx = 0, sy = 0;
        for (int b = 0; b < 4; ++b) {
            int ox = (b & 1) * 8, oy = (b >> 1) * 8;
            PredictLumaBlock(dy + oy * ys + ox, ys, ref.y, mbx * 16 + ox, mby * 16 + oy, 8, 8, mv[b].x,
                             mv[b].y, 0, 0);
            sx += qpel ? mv[b].x / 2 : mv[b].x;
            sy += qpel ? mv[b].y / 2 : mv[b].y;
        }
        cmx = ChromaFromSum(sx);
        cmy = ChromaFromSum(sy);
    }
    PredictChromaBlocks(du, dv, cs, ref, mbx * 8, mby * 8, 8, 8, cmx, cmy, 0, 0);
}

// 7.6.2 field prediction: each field of the macroblock (16 × 8 luma, 8 × 4 chroma) from the
// reference field its field select names. With half-sample vectors the windows are placed here
// directly (the bounds FetchWindow clamps to, computed once for both fields) and the kernel called
// for each block; quarter-sample vectors take the general path.
void CMp4Codec::PredictFields(int mbx, int mby, const MotionVector* mv, const int* fieldSelect) {
    Picture& cur = *m_current;
    const Picture& ref = *m_reference;
    const int ys = cur.y.stride, cs = cur.u.stride;
    if (m_layer.quarterSample) {
        for (int f = 0; f < 2; ++f) {
            uint8_t* dy = cur.y.origin + static_cast<ptrdiff_t>(mby * 16 + f) * ys + mbx * 16;
            uint8_t* du = cur.u.origin + static_cast<ptrdiff_t>(mby * 8 + f) * cs + mbx * 8;
            uint8_t* dv = cur.v.origin + static_cast<ptrdiff_t>(mby * 8 + f) * cs + mbx * 8;
            PredictLumaBlock(dy, 2 * ys, ref.y, mbx * 16, mby * 8, 16, 8, mv[f].x, mv[f].y, 1,
                             fieldSelect[f]);
            int cmx = ChromaFromLuma(mv[f].x / 2);
            int cmy = ChromaFromLuma(mv[f].y / 2);
            PredictChromaBlocks(du, dv, 2 * cs, ref, mbx * 8, mby * 4, 8, 4, cmx, cmy, 1, fieldSelect[f]);
        }
        return;
    }
    const Plane& ry = ref.y;
    const Plane& ru = ref.u;
    const auto halfPel = m_dsp->halfPel;
    const int rounding = m_vop.rounding;
    // Windows of 17 × 9 luma and 9 × 5 chroma samples in field rows, clamped as FetchWindow does.
    const int lxMin = -ry.border, lxMax = ry.codedWidth + ry.border - 17;
    const int lyMin = -ry.border / 2, lyMax = (ry.codedHeight + ry.border) / 2 - 10;
    const int cxMin = -ru.border, cxMax = ru.codedWidth + ru.border - 9;
    const int cyMin = -ru.border / 2, cyMax = (ru.codedHeight + ru.border) / 2 - 6;
    const int ls = ry.stride, lfs = 2 * ls, chs = ru.stride, cfs = 2 * chs;
    const ptrdiff_t vOffset = ref.v.origin - ru.origin;
    uint8_t* dy = cur.y.origin + static_cast<ptrdiff_t>(mby * 16) * ys + mbx * 16;
    uint8_t* du = cur.u.origin + static_cast<ptrdiff_t>(mby * 8) * cs + mbx * 8;
    uint8_t* dv = cur.v.origin + static_cast<ptrdiff_t>(mby * 8) * cs + mbx * 8;
    for (int f = 0; f < 2; ++f) {
        const int mvx = mv[f].x, mvy = mv[f].y, parity = fieldSelect[f];
        const int lx = std::clamp(mbx * 16 + (mvx >> 1), lxMin, lxMax);
        const int ly = std::clamp(mby * 8 + (mvy >> 1), lyMin, lyMax);
        const uint8_t* srcY =
            ry.origin + static_cast<ptrdiff_t>(parity) * ls + static_cast<ptrdiff_t>(ly) * lfs + lx;
        halfPel(dy + f * ys, 2 * ys, srcY, lfs, 16, 8, mvx & 1, mvy & 1, rounding);
        const int cmx = ChromaFromLuma(mvx), cmy = ChromaFromLuma(mvy);
        const int cx = std::clamp(mbx * 8 + (cmx >> 1), cxMin, cxMax);
        const int cy = std::clamp(mby * 4 + (cmy >> 1), cyMin, cyMax);
        const uint8_t* srcU =
            ru.origin + static_cast<ptrdiff_t>(parity) * chs + static_cast<ptrdiff_t>(cy) * cfs + cx;
        halfPel(du + f * cs, 2 * cs, srcU, cfs, 8, 4, cmx & 1, cmy & 1, rounding);
        halfPel(dv + f * cs, 2 * cs, srcU + vOffset, cfs, 8, 4, cmx & 1, cmy & 1, rounding);
    }
}

namespace {

// One event read through an escape; level 0 (never a coded level) marks an invalid code. Returned
// by value, so that the coefficient loop keeps its own last, run and level in registers rather than
// handing out their addresses.
struct EscapeEvent {
    int last = 0;
    int run = 0;
    int level = 0;
};

// 7.4.1.3: the three escape modes behind an escape code of `length` bits.
EscapeEvent DecodeTcoefEscape(BitReader& br, bool intra, int length) {
    br.Skip(length);
    int last, run, level;
    if (!br.Bit()) { // escape type 1: level offset by LMAX
        TcoefEvent f = DecodeTcoef(br, intra);
        if (f.length == 0 || f.run == kEscapeRun)
            return {};
        last = f.last;
        run = f.run;
        level = f.level + TcoefMaxLevel(intra, f.last, f.run);
        if (br.Bit())
            level = -level;
    } else if (!br.Bit()) { // escape type 2: run offset by RMAX + 1
        TcoefEvent f = DecodeTcoef(br, intra);
        if (f.length == 0 || f.run == kEscapeRun)
            return {};
        last = f.last;
        run = f.run + TcoefMaxRun(intra, f.last, f.level) + 1;
        level = f.level;
        if (br.Bit())
            level = -level;
    } else { // escape type 3: fixed-length last, run and 12-bit level
        last = static_cast<int>(br.Read(1));
        run = static_cast<int>(br.Read(6));
        br.Marker();
        level = static_cast<int>(br.Read(12));
        br.Marker();
        if (level >= 2048)
            level -= 4096;
        if (level == 0)
            return {};
    }
    return {last, run, level};
}

} // namespace

// 6.2.8 block(): TCOEF events (tables B-16/B-17 with the three escape modes of 7.4.1.3) placed
// along `scan` from position `start`. Returns 0, or 1 for an invalid code or a run beyond 63.
template <typename Sink>
int CMp4Codec::DecodeTcoefRun(BitReader& reader, int start, bool intra, const uint8_t* scan, Sink sink) {
    const TcoefEvent* table = TcoefTable(intra);
    // Position and bit cache in locals, handed back to the reader on every way out and around the
    // escapes, which read through the reader itself.
    BitReader::Local br(reader);
    int i = start;
    for (;;) {
        // Codes are at most 12 bits: one 13-bit peek holds the code and, behind it, the sign.
        const uint32_t window = br.Peek(13);
        const TcoefEvent e = table[window >> 1];
        if (e.length == 0) {
            br.Save();
            return 1;
        }
        int last, run, level;
        if (e.run != kEscapeRun) {
            last = e.last;
            run = e.run;
            level = (window >> (12 - e.length)) & 1 ? -e.level : e.level;
            br.Skip(e.length + 1);
        } else {
            br.Save();
            const EscapeEvent x = DecodeTcoefEscape(reader, intra, e.length);
            if (x.level == 0)
                return 1;
            last = x.last;
            run = x.run;
            level = x.level;
            br.Load();
        }
        i += run;
        if (i > 63) {
            br.Save();
            return 1;
        }
        sink(scan[i], level);
        ++i;
        if (last) {
            br.Save();
            return br.Overrun() ? 1 : 0;
        }
        // Past the end the reader gives zero bits; the loop still ends within 64 events, so the
        // overrun is looked at once at the end rather than for every coefficient.
        if (i > 63) {
            br.Save();
            return 1;
        }
    }
}

// 7.4.3 and 7.4.4: one intra block, DC and AC prediction then inverse quantisation.
int CMp4Codec::DecodeIntraBlock(BitReader& br, int16_t* block, int b, int mbx, int mby, int qp, bool acPred,
                                bool dcVlc) {
    const bool luma = b < 4;
    BlockPredictor* base;
    int stride, idx;
    if (luma) {
        base = m_lumaPred.get();
        stride = m_lumaPredStride;
        idx = (2 * mby + (b >> 1) + 1) * stride + 2 * mbx + (b & 1) + 1;
    } else {
        base = m_chromaPred[b - 4].get();
        stride = m_chromaPredStride;
        idx = (mby + 1) * stride + mbx + 1;
    }
    static const BlockPredictor kNotIntra;
    auto neighbour = [&](int i) -> const BlockPredictor& {
        return base[i].serial == m_vopSerial ? base[i] : kNotIntra;
    };
    const BlockPredictor& a = neighbour(idx - 1);
    const BlockPredictor& bb = neighbour(idx - stride - 1);
    const BlockPredictor& c = neighbour(idx - stride);
    const bool fromAbove = std::abs(a.dc - bb.dc) < std::abs(bb.dc - c.dc);
    const int scaler = DcScaler(qp, luma);

    const uint8_t* scan = kZigzag;
    if (m_vop.alternateVerticalScan)
        scan = kAlternateVertical;
    else if (acPred)
        scan = fromAbove ? kAlternateHorizontal : kAlternateVertical;

    alignas(16) int16_t qf[64] = {};
    uint8_t coded[64]; // the positions the bits set, each once (the scan only moves forward)
    int codedCount = 0;
    int start = 0;
    if (dcVlc) {
        int size = luma ? DecodeDcSizeLuma(br) : DecodeDcSizeChroma(br);
        if (size < 0)
            return 1;
        int diff = 0;
        if (size > 0) {
            int code = static_cast<int>(br.Read(size));
            diff = (code >> (size - 1)) ? code : code - ((1 << size) - 1);
            if (size > 8)
                br.Marker();
        }
        qf[0] = static_cast<int16_t>(diff);
        start = 1;
    }
    if (m_codedBlock && DecodeTcoefRun(br, start, true, scan, [&](int pos, int level) {
                            qf[pos] = Clamp2048(level);
                            coded[codedCount++] = static_cast<uint8_t>(pos);
                        }) != 0)
        return 1;

    // DC: predicted from the neighbour's reconstructed DC, rescaled to this block's dc_scaler.
    const BlockPredictor& p = fromAbove ? c : a;
    int dc = std::clamp((qf[0] + RoundedDiv(p.dc, scaler)) * scaler, 0, 2047);
    if (acPred) {
        auto scale = [qp](int v, int pqp) { return pqp == qp ? v : RoundedDiv(v * pqp, qp); };
        if (fromAbove)
            for (int i = 1; i < 8; ++i)
                qf[i] = Clamp2048(qf[i] + scale(c.row[i - 1], c.qp));
        else
            for (int i = 1; i < 8; ++i)
                qf[i * 8] = Clamp2048(qf[i * 8] + scale(a.col[i - 1], a.qp));
    }
    BlockPredictor& self = base[idx];
    self.dc = static_cast<int16_t>(dc);
    for (int i = 1; i < 8; ++i) {
        self.row[i - 1] = qf[i];
        self.col[i - 1] = qf[i * 8];
    }
    self.qp = static_cast<uint8_t>(qp);
    self.serial = m_vopSerial;

    // 7.4.4 inverse quantisation of the AC coefficients.
    block[0] = static_cast<int16_t>(dc);
    if (m_layer.mpegQuant) {
        int sum = dc;
        for (int i = 1; i < 64; ++i) {
            int v = qf[i];
            int f = 0;
            if (v) {
                f = (2 * std::abs(v) * m_layer.intraMatrix[i] * qp) >> 4;
                f = std::min(f, v < 0 ? 2048 : 2047);
                f = v < 0 ? -f : f;
            }
            block[i] = static_cast<int16_t>(f);
            sum += f;
        }
        if ((sum & 1) == 0)
            block[63] = static_cast<int16_t>(block[63] ^ 1); // 7.4.4.3 mismatch control
    } else {
        // Only the coefficients the bits set and those AC prediction changed can be non-zero.
        const int add = (qp & 1) ? qp : qp - 1;
        auto dequantise = [&](int i) {
            const int v = qf[i];
            block[i] = v == 0 ? 0 : Clamp2048(v < 0 ? -(2 * qp * -v + add) : 2 * qp * v + add);
        };
        std::memset(block + 1, 0, 63 * sizeof(int16_t));
        for (int k = 0; k < codedCount; ++k)
            if (coded[k] != 0)
                dequantise(coded[k]);
        if (acPred)
            for (int i = 1; i < 8; ++i)
                dequantise(fromAbove ? i : i * 8);
    }
    return 0;
}

// 7.4.4: one inter block's residual coefficients, inverse quantised as they are read. dcOnly tells
// that no coefficient but the first is set.
int CMp4Codec::DecodeInterBlock(BitReader& br, int16_t* block, int qp, bool& dcOnly) {
    std::memset(block, 0, 64 * sizeof(int16_t));
    const uint8_t* scan = m_vop.alternateVerticalScan ? kAlternateVertical : kZigzag;
    int highest = 0;
    if (m_layer.mpegQuant) {
        const uint8_t* matrix = m_layer.nonIntraMatrix;
        int sum = 0;
        auto sink = [&](int pos, int level) {
            int f = ((2 * std::abs(level) + 1) * matrix[pos] * qp) >> 4;
            f = std::min(f, level < 0 ? 2048 : 2047);
            f = level < 0 ? -f : f;
            block[pos] = static_cast<int16_t>(f);
            sum += f;
            highest |= pos;
        };
        if (DecodeTcoefRun(br, 0, false, scan, sink) != 0)
            return 1;
        if ((sum & 1) == 0) { // 7.4.4.3 mismatch control
            block[63] = static_cast<int16_t>(block[63] ^ 1);
            highest |= 63;
        }
    } else {
        const int add = (qp & 1) ? qp : qp - 1;
        auto sink = [&](int pos, int level) {
            // Clamp2048(±(2 × qp × |level| + add)) without a branch on the sign, which is random.
            const int sign = level >> 31; // 0 or -1
            const int magnitude = std::min(2 * qp * ((level ^ sign) - sign) + add, 2047 - sign);
            block[pos] = static_cast<int16_t>((magnitude ^ sign) - sign);
            highest |= pos;
        };
        if (DecodeTcoefRun(br, 0, false, scan, sink) != 0)
            return 1;
    }
    dcOnly = highest == 0;
    return 0;
}

// 6.2.6 macroblock(): one macroblock of an I- or P-VOP, reconstructed into the current picture.
int CMp4Codec::DecodeMacroblock(BitReader& br, int mbx, int mby) {
    Picture& cur = *m_current;
    const Picture& ref = *m_reference;
    const bool pvop = m_vop.codingType == kPVop;
    const int ys = cur.y.stride, cs = cur.u.stride;
    uint8_t* dy = cur.y.origin + static_cast<ptrdiff_t>(mby) * 16 * ys + mbx * 16;
    uint8_t* du = cur.u.origin + static_cast<ptrdiff_t>(mby) * 8 * cs + mbx * 8;
    uint8_t* dv = cur.v.origin + static_cast<ptrdiff_t>(mby) * 8 * cs + mbx * 8;
    MotionVector* vectors = &m_vectors[static_cast<size_t>(2 * mby) * (2 * m_mbWidth) + 2 * mbx];
    const int gridWidth = 2 * m_mbWidth;
    auto storeVectors = [&](MotionVector v) {
        vectors[0] = vectors[1] = vectors[gridWidth] = vectors[gridWidth + 1] = v;
    };

    int mcbpc;
    for (;;) {
        if (pvop && br.Bit()) {
            // not_coded: the co-located reference macroblock, zero vector.
            m_dsp->halfPel(dy, ys, ref.y.origin + (dy - cur.y.origin), ys, 16, 16, 0, 0, 0);
            m_dsp->halfPel(du, cs, ref.u.origin + (du - cur.u.origin), cs, 8, 8, 0, 0, 0);
            m_dsp->halfPel(dv, cs, ref.v.origin + (dv - cur.v.origin), cs, 8, 8, 0, 0, 0);
            storeVectors(MotionVector{});
            return 0;
        }
        mcbpc = pvop ? DecodeMcbpcInter(br) : DecodeMcbpcIntra(br);
        if (mcbpc < 0)
            return 1;
        if (mcbpc != kMcbpcStuffing)
            break;
        if (br.Overrun())
            return 1;
    }
    const int type = mcbpc >> 2;
    const int cbpc = mcbpc & 3;
    const bool intra = type >= 3;
    const bool acPred = intra && br.Bit();
    int cbpy = DecodeCbpy(br);
    if (cbpy < 0)
        return 1;
    if (!intra)
        cbpy = 15 - cbpy;
    if (type == 1 || type == 4)
        m_quant = std::clamp(m_quant + kDquant[br.Read(2)], 1, 31);
    const int qp = m_quant;
    const int cbp = (cbpy << 2) | cbpc;

    bool fieldDct = false, fieldPred = false;
    int fieldSelect[2] = {0, 0};
    if (m_layer.interlaced) {
        if (intra || cbp)
            fieldDct = br.Bit();
        if (!intra && type != 2) {
            fieldPred = br.Bit();
            if (fieldPred) {
                fieldSelect[0] = br.Bit();
                fieldSelect[1] = br.Bit();
            }
        }
    }

    MotionVector mv[4];
    if (intra) {
        storeVectors(MotionVector{});
    } else if (type == 2) {
        for (int b = 0; b < 4; ++b) {
            int bx = 2 * mbx + (b & 1), by = 2 * mby + (b >> 1);
            if (!DecodeVector(br, PredictVector(bx, by, b), mv[b]))
                return 1;
            m_vectors[static_cast<size_t>(by) * gridWidth + bx] = mv[b];
        }
    } else if (fieldPred) {
        MotionVector pred = PredictVector(2 * mbx, 2 * mby, 0);
        for (int f = 0; f < 2; ++f)
            if (!DecodeVector(br, pred, mv[f], 2))
                return 1;
        // The macroblock's vector for later predictions: the mean of the field vectors in frame units.
        int sx = mv[0].x + mv[1].x;
        storeVectors(MotionVector{static_cast<int16_t>((sx >> 1) | (sx & 1)),
                                  static_cast<int16_t>(mv[0].y + mv[1].y)});
    } else {
        if (!DecodeVector(br, PredictVector(2 * mbx, 2 * mby, 0), mv[0]))
            return 1;
        storeVectors(mv[0]);
    }
    if (br.Overrun())
        return 1;

    if (!intra) {
        if (fieldPred)
            PredictFields(mbx, mby, mv, fieldSelect);
        else
            PredictFrame(mbx, mby, mv, type == 2);
    }

    const bool dcVlc = qp < kDcVlcThreshold[m_vop.intraDcVlcThreshold];
    alignas(16) int16_t block[64];
    auto target = [&](int b, int& stride) -> uint8_t* {
        if (b >= 4) {
            stride = cs;
            return b == 4 ? du : dv;
        }
        if (fieldDct) {
            stride = 2 * ys;
            return dy + (b >> 1) * ys + (b & 1) * 8;
        }
        stride = ys;
        return dy + (b >> 1) * 8 * ys + (b & 1) * 8;
    };
    if (intra) {
        for (int b = 0; b < 6; ++b) {
            int stride;
            uint8_t* dst = target(b, stride);
            m_codedBlock = (cbp >> (5 - b)) & 1;
            if (DecodeIntraBlock(br, block, b, mbx, mby, qp, acPred, dcVlc) != 0)
                return 1;
            m_dsp->idct(block);
            m_dsp->putBlock(dst, stride, block);
        }
        return 0;
    }
    // Inter blocks: only the coded ones, taken from the pattern's highest bit (block 0) down, so
    // the loop does not branch on each bit of a pattern that follows the picture.
    for (unsigned bits = static_cast<unsigned>(cbp); bits != 0;) {
        const int high = std::bit_width(bits) - 1;
        bits &= ~(1u << high);
        int stride;
        uint8_t* dst = target(5 - high, stride);
        bool dcOnly = false;
        if (DecodeInterBlock(br, block, qp, dcOnly) != 0)
            return 1;
        if (dcOnly) {
            m_dsp->addDc(dst, stride, IdctDcValue(block[0]));
        } else {
            m_dsp->idct(block);
            m_dsp->addBlock(dst, stride, block);
        }
    }
    return 0;
}

} // namespace mpeg4
