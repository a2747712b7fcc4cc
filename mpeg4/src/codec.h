// The decoder instance: layer, group-of-VOP and VOP state, the two bordered picture stores, the
// per-block prediction state and the output scratch line.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "bitreader.h"
#include "dsp.h"
#include "mpeg4/mpeg4_core.h"

namespace mpeg4 {

// Largest picture accepted by Create: 4096 × 4096 covers every recorder size with room to spare and
// keeps each store below 64 MiB.
constexpr int kMaxDimension = 4096;

struct AlignedFree {
    void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<uint8_t[], AlignedFree>;
AlignedBytes AllocateAligned(size_t bytes);

// One plane with a border of replicated edge samples on every side.
struct Plane {
    AlignedBytes memory;
    uint8_t* origin = nullptr; // sample (0, 0)
    int stride = 0;
    int width = 0; // true picture width
    int height = 0;
    int codedWidth = 0; // macroblock-aligned
    int codedHeight = 0;
    int border = 0;

    bool Allocate(int w, int h, int cw, int ch, int b);
    void FillBorders();
    void Fill(uint8_t value);
};

struct Picture {
    Plane y, u, v;
};

// 6.2.3 video object layer state.
struct LayerState {
    bool interlaced = false;
    int timeIncrementResolution = 30000;
    int timeIncrementBits = 15;
    bool fixedRate = false;
    int fixedIncrement = 0;
    int quantPrecision = 5;
    int version = 1;
    bool quarterSample = false;
    bool mpegQuant = false;
    uint8_t intraMatrix[64] = {}; // natural (raster) order
    uint8_t nonIntraMatrix[64] = {};
    bool complexityEstimationDisable = true;
    bool resyncMarkerDisable = true;
    bool dataPartitioned = false;
    bool rectangular = true;
    int sprite = 0;
    bool obmcDisable = true;
    int width = 0; // 0 until a layer header gave the size
    int height = 0;
};

// 6.2.4 group of VOP.
struct GroupState {
    uint32_t timeCode = 0;
    bool closed = false;
    bool brokenLink = false;
};

enum VopType { kIVop = 0, kPVop = 1, kBVop = 2, kSVop = 3 };

// 6.2.5 VOP header.
struct VopState {
    int codingType = kIVop;
    int moduloTimeBase = 0;
    int timeIncrement = 0;
    bool coded = true;
    int rounding = 0;
    int intraDcVlcThreshold = 0;
    bool topFieldFirst = false;
    bool alternateVerticalScan = false;
    int quant = 1;
    int fcode = 1;
};

// Prediction state of one 8 × 8 block for intra DC and AC prediction (7.4.3).
struct BlockPredictor {
    uint32_t serial = 0; // the VOP that wrote it; older entries read as "not intra"
    int16_t dc = 1024;
    int16_t row[7] = {}; // first row of quantised coefficients, positions 1..7
    int16_t col[7] = {}; // first column, positions 8, 16, ..., 56
    uint8_t qp = 1;
};

struct MotionVector {
    int16_t x = 0;
    int16_t y = 0;
};

class CMp4Codec {
public:
    int Init(int width, int height);
    void ApplyPresets();
    void SetPresets(int interlaced, int resolution, int quantPrecision, int version, int quarterSample);
    int Decode(const DecodeParams& params);
    // Runs the portable scalar kernels instead of the SIMD ones from the next call on (tests and
    // benchmarks compare the two paths; both give the same bytes).
    void ForceScalarKernels(bool force) { m_dsp = force ? &ScalarDsp() : &Dsp(); }

private:
    // Headers (headers.cpp).
    int ParseVisualObject(BitReader& br);
    int ParseVideoObjectLayer(BitReader& br);
    void ParseGroupOfVop(BitReader& br);
    int ParseVopHeader(BitReader& br);

    // Macroblock layer (macroblock.cpp).
    int DecodeVop(BitReader& br);
    int DecodeMacroblock(BitReader& br, int mbx, int mby);
    int DecodeIntraBlock(BitReader& br, int16_t* block, int b, int mbx, int mby, int qp, bool acPred,
                         bool dcVlc); // reads coefficients when m_codedBlock
    int DecodeInterBlock(BitReader& br, int16_t* block, int qp, bool& dcOnly);
    template <typename Sink>
    int DecodeTcoefRun(BitReader& br, int start, bool intra, const uint8_t* scan, Sink sink);
    MotionVector PredictVector(int bx, int by, int block) const;
    bool DecodeVector(BitReader& br, MotionVector pred, MotionVector& out, int predDivY = 1);
    void PredictFrame(int mbx, int mby, const MotionVector* mv, bool fourMv);
    void PredictFields(int mbx, int mby, const MotionVector* mv, const int* fieldSelect);
    void PredictLumaBlock(uint8_t* dst, int dstStride, const Plane& ref, int x, int y, int w, int h, int mvx,
                          int mvy, int field, int parity);
    void PredictChromaBlocks(uint8_t* du, uint8_t* dv, int dstStride, const Picture& ref, int x, int y, int w,
                             int h, int cmx, int cmy, int field, int parity);
    const uint8_t* FetchWindow(const Plane& ref, int x, int y, int w, int h, int field, int parity,
                               int& stride);

    // Output (output.cpp).
    void WriteOutput(const Picture& pic, const DecodeParams& params);

    int m_width = 0;
    int m_height = 0;
    int m_mbWidth = 0;
    int m_mbHeight = 0;
    LayerState m_layer;
    int m_layerError = 0; // a layer header this core cannot decode; VOPs are refused until the next
    GroupState m_group;
    VopState m_vop;
    Picture m_pictures[2];
    Picture* m_current = &m_pictures[0];
    Picture* m_reference = &m_pictures[1];
    AlignedBytes m_scratch;                       // one de-interlaced luma line, width bytes
    std::unique_ptr<BlockPredictor[]> m_lumaPred; // (2 × MBs across + 1) × (2 × MBs down + 1)
    std::unique_ptr<BlockPredictor[]> m_chromaPred[2];
    std::unique_ptr<MotionVector[]> m_vectors; // one per 8 × 8 luma block
    int m_lumaPredStride = 0;
    int m_chromaPredStride = 0;
    uint32_t m_frameCount = 0;
    uint32_t m_vopSerial = 0; // numbers the VOPs for the prediction state
    int m_quant = 1;          // running quantiser of the VOP being decoded
    bool m_codedBlock = false;
    const DspTable* m_dsp = nullptr;
};

} // namespace mpeg4
