#include "mutator.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "orma/layout.h"
#include "platform/bytes.h"

namespace orma::fuzz {

namespace {

constexpr std::uint32_t kMaxPatchBytes = 4096;

enum class Kind { Marker, ClusterRecord, BlockHeader, Frame, Other };

Kind KindOf(const Patch& p) {
    if (p.bytes.size() >= 4) {
        const DWORD magic = platform::ReadLE32(p.bytes.data());
        if (magic == kMarkerMagic)
            return Kind::Marker;
        if (magic == kD32MMagic)
            return Kind::ClusterRecord;
        if (magic == kDisk01MMagic)
            return Kind::BlockHeader;
    }
    if (p.bytes.size() >= 2 && platform::ReadLE16(p.bytes.data()) == kFrameMagic)
        return Kind::Frame;
    return Kind::Other;
}

struct Field {
    std::uint16_t offset;
    std::uint8_t width; // bytes
};

// The fields the reader decides by, per structure (offsets as in orma/layout.h and the open).
constexpr Field kMarkerFields[] = {{4, 4}, {8, 4}, {12, 4}, {16, 4}};
constexpr Field kClusterFields[] = {{0x04, 4}, {0x08, 4}, {0x0C, 4}, {0x10, 4}, {0x14, 2},
                                    {0x16, 2}, {0x18, 1}, {0x19, 1}, {0x20, 4}, {0x24, 4}};
constexpr Field kBlockFields[] = {{4, 2}, {6, 2}};
constexpr Field kFrameFields[] = {{d88m::kChannelField, 2}, {d88m::kLength, 2},      {d88m::kSegmentId, 2},
                                  {d88m::kAudioChunks, 2},  {d88m::kAudioOffset, 2}, {d88m::kTime, 4},
                                  {d88m::kYear, 1},         {d88m::kChannelCode, 2}};

// A field of the patch: a fixed one of its kind, or for a block header one of its frame entries.
bool PickField(const Patch& p, Kind kind, std::minstd_rand& rng, Field* out) {
    auto pick = [&](const Field* fields, std::size_t n) {
        *out = fields[rng() % n];
        return true;
    };
    switch (kind) {
    case Kind::Marker:
        return pick(kMarkerFields, std::size(kMarkerFields));
    case Kind::ClusterRecord:
        if (rng() % 4 == 0) { // an alarm entry word
            *out = {static_cast<std::uint16_t>(0x20 + 12 * (rng() % kMaxAlarmsPerCluster) + 4 * (rng() % 3)),
                    4};
            return true;
        }
        return pick(kClusterFields, std::size(kClusterFields));
    case Kind::BlockHeader:
        if (rng() % 3 != 0) { // a frame entry: time, sector, size or year
            static constexpr Field kEntry[] = {{0, 4}, {4, 4}, {8, 2}, {11, 1}};
            const Field e = kEntry[rng() % 4];
            const int entries = std::max<int>(1, static_cast<int>((p.bytes.size() - 0x0C) / 12));
            *out = {static_cast<std::uint16_t>(
                        0x0C + 12 * (rng() % std::min(entries + 1, kMaxEntryIndex + 1)) + e.offset),
                    e.width};
            return true;
        }
        return pick(kBlockFields, std::size(kBlockFields));
    case Kind::Frame:
        return pick(kFrameFields, std::size(kFrameFields));
    case Kind::Other:
        break;
    }
    if (p.bytes.size() < 4)
        return false;
    *out = {static_cast<std::uint16_t>(rng() % (p.bytes.size() - 3)),
            static_cast<std::uint8_t>(1u << (rng() % 3))};
    return true;
}

std::uint32_t ReadField(const std::vector<std::uint8_t>& b, Field f) {
    std::uint32_t v = 0;
    for (int i = 0; i < f.width; ++i)
        v |= std::uint32_t(b[f.offset + i]) << (8 * i);
    return v;
}
void WriteField(std::vector<std::uint8_t>& b, Field f, std::uint32_t v) {
    if (b.size() < std::size_t(f.offset) + f.width)
        b.resize(std::size_t(f.offset) + f.width, 0); // a field past a trimmed end: the sector's zeros
    for (int i = 0; i < f.width; ++i)
        b[f.offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A new value for a field: the edges, a small step, a sector-like number, a copy of the same field
// in another structure of its kind, or anything.
std::uint32_t NewValue(std::uint32_t old, Field f, const std::vector<Patch>& patches, Kind kind,
                       std::minstd_rand& rng) {
    const std::uint32_t mask = f.width == 4 ? 0xFFFFFFFFu : (1u << (8 * f.width)) - 1;
    switch (rng() % 8) {
    case 0:
        return 0;
    case 1:
        return mask;
    case 2:
        return (old + 1 + rng() % 4) & mask;
    case 3:
        return (old - 1 - rng() % 4) & mask;
    case 4: { // sector-like: a multiple of a block or a cluster, or the field with its halves swapped
        static constexpr std::uint32_t kUnits[] = {1, kBlockSectors, kClusterUnit, kHeaderSectorInBlock};
        const std::uint32_t v = kUnits[rng() % std::size(kUnits)] * (rng() % 5);
        return (rng() % 2 ? v : (v << 16 | v >> 16)) & mask;
    }
    case 5:
        for (int tries = 0; tries < 8; ++tries) {
            const Patch& other = patches[rng() % patches.size()];
            if (KindOf(other) == kind && other.bytes.size() >= std::size_t(f.offset) + f.width)
                return ReadField(other.bytes, f);
        }
        return old ^ (1u << (rng() % (8 * f.width)));
    case 6:
        return old ^ (1u << (rng() % (8 * f.width)));
    default:
        return static_cast<std::uint32_t>(rng()) & mask;
    }
}

} // namespace

bool DecodeInput(const std::uint8_t* data, std::size_t size, std::uint8_t* sizeSelector,
                 std::vector<Patch>* patches) {
    patches->clear();
    if (size < 1)
        return false;
    *sizeSelector = data[0];
    std::size_t at = 1;
    while (size - at >= 6) {
        const std::uint32_t sector = platform::ReadLE32(data + at);
        const std::size_t n =
            std::min<std::size_t>(platform::ReadLE16(data + at + 4) % (kMaxPatchBytes + 1), size - at - 6);
        patches->push_back({sector, std::vector<std::uint8_t>(data + at + 6, data + at + 6 + n)});
        at += 6 + n;
    }
    return true;
}

std::size_t MutateStructured(std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed,
                             RawMutate rawMutate) {
    std::minstd_rand rng(seed | 1u);
    std::uint8_t selector = 0;
    std::vector<Patch> patches;
    if (!DecodeInput(data, size, &selector, &patches) || patches.empty() || rng() % 8 == 0)
        return rawMutate(data, size, maxSize);

    const std::uint64_t imageSectors = (1 + selector % 3) * 65536ull + 1;
    Patch& p = patches[rng() % patches.size()];
    const Kind kind = KindOf(p);
    switch (rng() % 10) {
    case 0: { // the image size, the model and the video flag
        static constexpr int kBits[] = {0, 1, 7};
        selector = static_cast<std::uint8_t>(rng() % 2 ? selector ^ (1u << kBits[rng() % 3]) : rng());
        break;
    }
    case 1: // a structure lost
        patches.erase(patches.begin() + static_cast<long>(&p - patches.data()));
        break;
    case 2: { // a structure copied to the same place of another block or cluster, or anywhere
        static constexpr std::uint32_t kSteps[] = {kBlockSectors, kClusterUnit, 1};
        const std::uint32_t step = kSteps[rng() % std::size(kSteps)];
        const int by = static_cast<int>(rng() % 7) - 3;
        Patch copy = p;
        copy.sector = static_cast<std::uint32_t>(
            (p.sector + std::int64_t(by ? by : 1) * step + imageSectors * 4) % imageSectors);
        patches.push_back(std::move(copy));
        break;
    }
    case 3: // a structure moved
        p.sector = static_cast<std::uint32_t>((p.sector + (rng() % 2 ? kBlockSectors : 1)) % imageSectors);
        break;
    case 4: // a structure cut short
        if (p.bytes.size() > 1)
            p.bytes.resize(rng() % p.bytes.size());
        break;
    case 5: { // bytes of one structure, mutated raw
        std::vector<std::uint8_t> b = p.bytes;
        b.resize(kMaxPatchBytes);
        b.resize(rawMutate(b.data(), p.bytes.size(), kMaxPatchBytes));
        p.bytes = std::move(b);
        break;
    }
    default: { // one field of one structure, often several in a row
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < edits; ++i) {
            Field f;
            if (!PickField(p, kind, rng, &f))
                break;
            WriteField(p.bytes, f,
                       NewValue(p.bytes.size() >= std::size_t(f.offset) + f.width ? ReadField(p.bytes, f) : 0,
                                f, patches, kind, rng));
            if (p.bytes.size() > kMaxPatchBytes)
                p.bytes.resize(kMaxPatchBytes);
        }
        break;
    }
    }
    const std::vector<std::uint8_t> out = EncodeInput(selector, patches);
    if (out.size() > maxSize)
        return rawMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

} // namespace orma::fuzz
