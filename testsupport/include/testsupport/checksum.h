// Checksums the tests compare: FNV-1a 64 over bytes and over whole files, and a walk over the data
// extents of a sparse file, so a drive of gigabytes of holes is checked by what it stores.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace testsupport {

constexpr std::uint64_t kFnv1a64Offset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnv1a64Prime = 0x100000001b3ull;

// FNV-1a 64 of `size` bytes, continuing from `h` (the offset basis starts a new checksum).
std::uint64_t Fnv1a64(const void* data, std::size_t size, std::uint64_t h = kFnv1a64Offset);
std::uint64_t Fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t h = kFnv1a64Offset);

// FNV-1a 64 of a whole file; 0 when it cannot be opened.
std::uint64_t FileFnv1a64(const std::string& path);

// Reads every data extent of a file (SEEK_DATA / SEEK_HOLE) in pieces of at most 1 MiB and hands each
// piece to `piece` with the start of its extent and its own offset. Returns the file's size, or -1
// when it cannot be opened.
using DataPieceFn = std::function<void(off_t extent, off_t at, const std::uint8_t* data, std::size_t size)>;
off_t ForEachDataPiece(const std::string& path, const DataPieceFn& piece);

} // namespace testsupport
