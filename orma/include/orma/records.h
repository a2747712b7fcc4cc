// The status records the ORMA source writes while a range plays (its data-file export), and cutting a
// file of them to a time range. The source reads ahead of the position a caller watches, so an export
// writes into a working file and keeps only the records of the range afterwards.
#pragma once

#include <cstddef>
#include <iosfwd>

#include "platform/types.h"

namespace orma {

// The record forms: text lines that begin with the frame time ("20YY/MM/DD hh:mm:ss"), or binary
// records of 44 bytes that begin with the frame time as local time in seconds since 1970 (little-endian)
// followed by 40 bytes of status text.
enum RecordMode : int { kRecordText = 1, kRecordBinary = 2 };
constexpr std::size_t kBinaryRecordBytes = 44;
constexpr std::size_t kRecordTimeChars = 19; // "20YY/MM/DD hh:mm:ss"

// Copies from `in` to `out` the run of records that starts at the first record inside the range from
// (y0, t0) to (y1, t1), both ends included, and ends before the first record after it that lies outside
// (playback is circular and may run on into older frames). Text lines without a time are passed over.
// False when `out` cannot be written.
bool CutRecordsToRange(std::istream& in, std::ostream& out, int mode, BYTE y0, DWORD t0, BYTE y1, DWORD t1);

} // namespace orma
