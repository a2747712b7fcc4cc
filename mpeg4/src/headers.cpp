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

// 6.3.3 vop_time_increment_resolution: vop_time_increment takes as many bits as resolution - 1
// needs, and at least one.
int TimeIncrementBits(int resolution) {
    int bits = 1;
    while (bits < 16 && (1 << bits) < resolution)
        ++bits;
    return bits;
}

// The steps of 6.2.3 video_object_layer() for a rectangular layer, in stream order. Each reads its
// fields into `layer` and returns 0, or the result code that refuses the layer; the sticky overrun
// of the reader is checked once, at the end.

// 6.2.3 random_accessible_vol, video_object_type_indication and the optional layer identifier.
// Without an identifier the layer is read with version 1 syntax (video_object_layer_verid is
// taken as 1; the visual object's verid, which the standard passes on here, is not carried over).
void ParseLayerIdentifier(BitReader& br, LayerState& layer) {
    br.Skip(1); // random_accessible_vol
    br.Skip(8); // video_object_type_indication
    layer.version = 1;
    if (br.Bit()) { // is_object_layer_identifier
        layer.version = static_cast<int>(br.Read(4));
        br.Skip(3); // video_object_layer_priority
    }
}

// 6.2.3 aspect_ratio_info, with par_width and par_height after the extended PAR code: not used.
void SkipAspectRatio(BitReader& br) {
    if (br.Read(4) == 0xF)
        br.Skip(8 + 8);
}

// 6.2.3 vol_control_parameters: chroma_format, low_delay and the VBV parameters: not used.
void SkipControlParameters(BitReader& br) {
    if (br.Bit()) {     // vol_control_parameters
        br.Skip(2 + 1); // chroma_format, low_delay
        if (br.Bit())   // vbv_parameters: bit rate, buffer size and occupancy in halves, with markers
            br.Skip(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);
    }
}

// 6.2.3 video_object_layer_shape: only rectangular layers are decoded.
int ParseShape(BitReader& br, LayerState& layer) {
    if (br.Read(2) != 0)
        return kNotRectangular;
    layer.rectangular = true;
    return 0;
}

// 6.2.3 vop_time_increment_resolution, fixed_vop_rate and fixed_vop_time_increment.
int ParseTimeBase(BitReader& br, LayerState& layer) {
    br.Marker();
    const int resolution = static_cast<int>(br.Read(16));
    br.Marker();
    if (resolution == 0)
        return kBadLayerStartCode;
    layer.timeIncrementResolution = resolution;
    layer.timeIncrementBits = TimeIncrementBits(resolution);
    layer.fixedRate = br.Bit();
    layer.fixedIncrement = layer.fixedRate ? static_cast<int>(br.Read(layer.timeIncrementBits)) : 0;
    return 0;
}

// 6.2.3 video_object_layer_width and video_object_layer_height of a rectangular layer.
void ParseLayerSize(BitReader& br, LayerState& layer) {
    br.Marker();
    layer.width = static_cast<int>(br.Read(13));
    br.Marker();
    layer.height = static_cast<int>(br.Read(13));
    br.Marker();
}

// 6.2.3 interlaced, obmc_disable and sprite_enable (two bits from version 2 on): sprites are refused.
int ParseInterlaceAndSprite(BitReader& br, LayerState& layer) {
    layer.interlaced = br.Bit();
    layer.obmcDisable = br.Bit();
    if (br.Read(layer.version == 1 ? 1 : 2) != 0)
        return kUnsupportedVop;
    layer.sprite = 0;
    return 0;
}

// 6.2.3 not_8_bit with quant_precision and bits_per_pixel: only 8-bit video is decoded. Other
// depths, and quantiser precisions outside 3..9, give the not-rectangular code (there is no code
// of their own).
int ParseSampleDepth(BitReader& br, LayerState& layer) {
    layer.quantPrecision = 5;
    if (br.Bit()) { // not_8_bit
        layer.quantPrecision = static_cast<int>(br.Read(4));
        const int bitsPerPixel = static_cast<int>(br.Read(4));
        if (bitsPerPixel != 8 || layer.quantPrecision < 3 || layer.quantPrecision > 9)
            return kNotRectangular;
    }
    return 0;
}

// 6.2.3 quant_type with the optional intra and non-intra matrices (6.3.3); the default matrices
// otherwise.
void ParseQuantisation(BitReader& br, LayerState& layer) {
    std::memcpy(layer.intraMatrix, kDefaultIntraMatrix, 64);
    std::memcpy(layer.nonIntraMatrix, kDefaultNonIntraMatrix, 64);
    layer.mpegQuant = br.Bit();
    if (layer.mpegQuant) {
        if (br.Bit()) // load_intra_quant_mat
            LoadMatrix(br, layer.intraMatrix);
        if (br.Bit()) // load_nonintra_quant_mat
            LoadMatrix(br, layer.nonIntraMatrix);
    }
}

// 6.2.3 quarter_sample (version 2 on), complexity_estimation_disable, resync_marker_disable and
// data_partitioned: complexity estimation headers and data partitioning are refused. Resync markers
// are recorded as the stream gives them; the macroblock loop does not look for video-packet resync
// markers, which the recorders' encoders leave off.
int ParseCodingTools(BitReader& br, LayerState& layer) {
    layer.quarterSample = layer.version != 1 ? br.Bit() : false;
    if (!br.Bit()) // complexity_estimation_disable
        return kComplexityEstimation;
    layer.complexityEstimationDisable = true;
    layer.resyncMarkerDisable = br.Bit();
    if (br.Bit()) // data_partitioned
        return kDataPartitioned;
    layer.dataPartitioned = false;
    return 0;
}

// 6.2.3 newpred_enable and reduced_resolution_vop_enable (version 2 on), then scalability: none of
// them is decoded.
int ParseEnhancements(BitReader& br, const LayerState& layer) {
    if (layer.version != 1) {
        if (br.Bit()) // newpred_enable
            return kUnsupportedVop;
        if (br.Bit()) // reduced_resolution_vop_enable
            return kUnsupportedVop;
    }
    if (br.Bit()) // scalability
        return kScalability;
    return 0;
}

} // namespace

int ParseLayerHeader(BitReader& br, LayerState& layer) {
    LayerState parsed = layer;
    ParseLayerIdentifier(br, parsed);
    SkipAspectRatio(br);
    SkipControlParameters(br);
    if (int r = ParseShape(br, parsed))
        return r;
    if (int r = ParseTimeBase(br, parsed))
        return r;
    ParseLayerSize(br, parsed);
    if (int r = ParseInterlaceAndSprite(br, parsed))
        return r;
    if (int r = ParseSampleDepth(br, parsed))
        return r;
    ParseQuantisation(br, parsed);
    if (int r = ParseCodingTools(br, parsed))
        return r;
    if (int r = ParseEnhancements(br, parsed))
        return r;
    if (br.Overrun() || parsed.width == 0 || parsed.height == 0)
        return kBadLayerStartCode;
    layer = parsed;
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
