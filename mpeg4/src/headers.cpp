// ISO/IEC 14496-2 clause 6.2 header syntax and the start-code walk of one frame.
#include "headers.h"

#include <algorithm>
#include <cstring>

#include "vlc.h"

namespace mpeg4 {

const uint8_t kDefaultIntraMatrix[64] = {
    8,  17, 18, 19, 21, 23, 25, 27, 17, 18, 19, 21, 23, 25, 27, 28, 20, 21, 22, 23, 24, 26,
    28, 30, 21, 22, 23, 24, 26, 28, 30, 32, 22, 23, 24, 26, 28, 30, 32, 35, 23, 24, 26, 28,
    30, 32, 35, 38, 25, 26, 28, 30, 32, 35, 38, 41, 27, 28, 30, 32, 35, 38, 41, 45,
};

const uint8_t kDefaultNonIntraMatrix[64] = {
    16, 17, 18, 19, 20, 21, 22, 23, 17, 18, 19, 20, 21, 22, 23, 24, 18, 19, 20, 21, 22, 23,
    24, 25, 19, 20, 21, 22, 23, 24, 26, 27, 20, 21, 22, 23, 25, 26, 27, 28, 21, 22, 23, 24,
    26, 27, 28, 30, 22, 23, 24, 26, 27, 28, 30, 31, 23, 24, 25, 27, 28, 30, 31, 33,
};

namespace {

// 6.3.3 quant matrix: up to 64 values in zigzag order; a 0 ends the list and the last value
// repeats to the end.
void LoadMatrix(BitReader& br, uint8_t* matrix) {
    int last = 0;
    int i = 0;
    for (; i < 64; ++i) {
        int v = static_cast<int>(br.Read(8));
        if (v == 0)
            break;
        last = v;
        matrix[kZigzag[i]] = static_cast<uint8_t>(v);
    }
    if (i == 0)
        last = 16; // an empty list is invalid; keep the matrix usable
    for (; i < 64; ++i)
        matrix[kZigzag[i]] = static_cast<uint8_t>(last);
}

int TimeIncrementBits(int resolution) {
    int bits = 1;
    while (bits < 16 && (1 << bits) < resolution)
        ++bits;
    return bits;
}

} // namespace

int ParseLayerHeader(BitReader& br, LayerState& layer) {
    br.Skip(1); // random_accessible_vol
    br.Skip(8); // video_object_type_indication
    int version = 1;
    if (br.Bit()) { // is_object_layer_identifier
        version = static_cast<int>(br.Read(4));
        br.Skip(3); // video_object_layer_priority
    }
    if (br.Read(4) == 0xF) // aspect_ratio_info: extended PAR
        br.Skip(16);
    if (br.Bit()) {     // vol_control_parameters
        br.Skip(2 + 1); // chroma_format, low_delay
        if (br.Bit())   // vbv_parameters
            br.Skip(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);
    }
    int shape = static_cast<int>(br.Read(2));
    if (shape != 0)
        return kNotRectangular;
    br.Marker();
    int resolution = static_cast<int>(br.Read(16));
    br.Marker();
    if (resolution == 0)
        return kBadLayerStartCode;
    int incrementBits = TimeIncrementBits(resolution);
    bool fixedRate = br.Bit();
    int fixedIncrement = fixedRate ? static_cast<int>(br.Read(incrementBits)) : 0;
    br.Marker();
    int width = static_cast<int>(br.Read(13));
    br.Marker();
    int height = static_cast<int>(br.Read(13));
    br.Marker();
    bool interlaced = br.Bit();
    bool obmcDisable = br.Bit();
    int sprite = static_cast<int>(br.Read(version == 1 ? 1 : 2));
    if (sprite != 0)
        return kUnsupportedVop;
    int quantPrecision = 5;
    if (br.Bit()) { // not_8_bit
        quantPrecision = static_cast<int>(br.Read(4));
        int bitsPerPixel = static_cast<int>(br.Read(4));
        if (bitsPerPixel != 8 || quantPrecision < 3 || quantPrecision > 9)
            return kNotRectangular; // only 8-bit video is decoded
    }
    bool mpegQuant = br.Bit();
    uint8_t intra[64];
    uint8_t nonIntra[64];
    std::memcpy(intra, kDefaultIntraMatrix, 64);
    std::memcpy(nonIntra, kDefaultNonIntraMatrix, 64);
    if (mpegQuant) {
        if (br.Bit())
            LoadMatrix(br, intra);
        if (br.Bit())
            LoadMatrix(br, nonIntra);
    }
    bool quarterSample = version != 1 ? br.Bit() : false;
    bool complexityDisable = br.Bit();
    if (!complexityDisable)
        return kComplexityEstimation;
    bool resyncDisable = br.Bit();
    bool dataPartitioned = br.Bit();
    if (dataPartitioned)
        return kDataPartitioned;
    if (version != 1) {
        if (br.Bit()) // newpred_enable
            return kUnsupportedVop;
        if (br.Bit()) // reduced_resolution_vop_enable
            return kUnsupportedVop;
    }
    if (br.Bit()) // scalability
        return kScalability;
    if (br.Overrun() || width == 0 || height == 0)
        return kBadLayerStartCode;

    layer.interlaced = interlaced;
    layer.timeIncrementResolution = resolution;
    layer.timeIncrementBits = incrementBits;
    layer.fixedRate = fixedRate;
    layer.fixedIncrement = fixedIncrement;
    layer.quantPrecision = quantPrecision;
    layer.version = version;
    layer.quarterSample = quarterSample;
    layer.mpegQuant = mpegQuant;
    std::memcpy(layer.intraMatrix, intra, 64);
    std::memcpy(layer.nonIntraMatrix, nonIntra, 64);
    layer.complexityEstimationDisable = true;
    // As the stream says; the macroblock loop does not look for video-packet resync markers, which
    // the recorders' encoders leave off.
    layer.resyncMarkerDisable = resyncDisable;
    layer.dataPartitioned = false;
    layer.rectangular = true;
    layer.sprite = 0;
    layer.obmcDisable = obmcDisable;
    layer.width = width;
    layer.height = height;
    return 0;
}

// 6.2.2 visual_object(): only video objects are decoded.
int CMp4Codec::ParseVisualObject(BitReader& br) {
    if (br.Bit())        // is_visual_object_identifier
        br.Skip(4 + 3);  // verid, priority
    if (br.Read(4) != 1) // visual_object_type
        return kNotVideoObject;
    if (br.Bit()) {     // video_signal_type
        br.Skip(3 + 1); // video_format, video_range
        if (br.Bit())   // colour_description
            br.Skip(24);
    }
    return 0;
}

int CMp4Codec::ParseVideoObjectLayer(BitReader& br) {
    LayerState parsed = m_layer;
    int result = ParseLayerHeader(br, parsed);
    if (result == 0 && (parsed.width != m_width || parsed.height != m_height))
        result = kSizeMismatch;
    if (result != 0) {
        if (m_layer.width == 0)
            ApplyPresets();
        return result;
    }
    m_layer = parsed;
    return 0;
}

// 6.2.4 group_of_vop().
void CMp4Codec::ParseGroupOfVop(BitReader& br) {
    uint32_t hours = br.Read(5), minutes = br.Read(6);
    br.Marker();
    uint32_t seconds = br.Read(6);
    m_group.timeCode = (hours << 13) | (minutes << 7) | (1u << 6) | seconds;
    m_group.closed = br.Bit();
    m_group.brokenLink = br.Bit();
}

// 6.2.5 vop(): the header up to the macroblock data.
int CMp4Codec::ParseVopHeader(BitReader& br) {
    VopState vop;
    vop.codingType = static_cast<int>(br.Read(2));
    int modulo = 0;
    while (br.Bit() && !br.Overrun())
        ++modulo;
    vop.moduloTimeBase = modulo;
    br.Marker();
    vop.timeIncrement = static_cast<int>(br.Read(m_layer.timeIncrementBits));
    br.Marker();
    vop.coded = br.Bit();
    if (br.Overrun())
        return kNoVopStartCode;
    if (vop.codingType == kBVop || vop.codingType == kSVop) {
        m_vop = vop;
        return kUnsupportedVop;
    }
    if (!vop.coded) {
        m_vop.coded = false;
        m_vop.codingType = vop.codingType;
        return 0;
    }
    if (vop.codingType == kPVop)
        vop.rounding = static_cast<int>(br.Read(1));
    vop.intraDcVlcThreshold = static_cast<int>(br.Read(3));
    if (m_layer.interlaced) {
        vop.topFieldFirst = br.Bit();
        vop.alternateVerticalScan = br.Bit();
    }
    vop.quant = static_cast<int>(br.Read(m_layer.quantPrecision));
    if (vop.codingType != kIVop)
        vop.fcode = static_cast<int>(br.Read(3));
    if (br.Overrun() || vop.quant == 0 || vop.fcode == 0)
        return kCorruptMacroblocks;
    vop.quant = std::min(vop.quant, 31);
    m_vop = vop;
    return 0;
}

int CMp4Codec::Decode(const DecodeParams& p) {
    if (!p.data || p.length <= 0)
        return kNoVopStartCode;
    // The caller's buffer is sized for its own width and height: a call for another size than the
    // instance's would write outside it.
    if (!p.output || BytesPerPixel(p.format) == 0 || p.stride < m_width || p.width != m_width ||
        p.height != m_height)
        return kBadParameters;
    BitReader br(p.data, static_cast<size_t>(p.length));
    int headerError = 0;
    bool anyStartCode = false;
    while (br.NextStartCode()) {
        anyStartCode = true;
        br.Skip(24);
        uint32_t code = br.Read(8);
        if (code == kSequenceStart) {
            br.Skip(8); // profile_and_level_indication
        } else if (code == kVisualObject) {
            if (int r = ParseVisualObject(br))
                headerError = r;
        } else if (code >= kLayerFirst && code <= kLayerLast) {
            int r = ParseVideoObjectLayer(br);
            m_layerError = r;
            if (r) {
                headerError = r;
            } else if (br.NextStartCode() && br.Peek(32) == (0x100u | kUserData)) {
                headerError = kUserDataAfterLayer; // noted; matters only if no VOP follows
            }
        } else if (code == kGroupOfVop) {
            ParseGroupOfVop(br);
        } else if (code == kVop) {
            if (m_layerError)
                return m_layerError;
            int r = ParseVopHeader(br);
            if (r)
                return r;
            if (!m_vop.coded) {
                // A VOP that is not coded repeats the reference picture.
                WriteOutput(*m_reference, p);
                ++m_frameCount;
                return kOk;
            }
            r = DecodeVop(br);
            if (r)
                return r;
            m_current->y.FillBorders();
            m_current->u.FillBorders();
            m_current->v.FillBorders();
            WriteOutput(*m_current, p);
            std::swap(m_current, m_reference);
            ++m_frameCount;
            return kOk;
        }
        // video object start codes, user data and unknown codes carry nothing we need
    }
    if (!anyStartCode)
        return kNoSequenceStartCode; // not even the sequence header that is looked for first
    return headerError ? headerError : kNoVopStartCode;
}

uint32_t ProbeSize(const uint8_t* data, int length) {
    if (!data || length <= 0)
        return 0;
    BitReader br(data, static_cast<size_t>(length));
    while (br.NextStartCode()) {
        br.Skip(24);
        uint32_t code = br.Read(8);
        if (code >= kLayerFirst && code <= kLayerLast) {
            LayerState layer;
            if (ParseLayerHeader(br, layer) == 0 && layer.width > 0 && layer.height > 0)
                return static_cast<uint32_t>(layer.width) * 4096u + static_cast<uint32_t>(layer.height);
        }
    }
    return 0;
}

} // namespace mpeg4
