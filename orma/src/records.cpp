#include "orma/records.h"

#include <istream>
#include <ostream>
#include <string>

#include "orma/layout.h"
#include "platform/bytes.h"

namespace orma {

bool CutRecordsToRange(std::istream& in, std::ostream& out, int mode, BYTE y0, DWORD t0, BYTE y1, DWORD t1) {
    // Binary records carry local time; the text lines' times are compared as written.
    const bool local = mode == kRecordBinary;
    const long long first = UnixSeconds(y0, t0, local), last = UnixSeconds(y1, t1, local);
    bool inside = false;
    // Writes a record of the range; false once the run of the range is over.
    auto keep = [&](long long t, const char* data, std::size_t size) {
        if (t >= first && t <= last) {
            inside = true;
            out.write(data, static_cast<std::streamsize>(size));
            return true;
        }
        return !inside; // before the range: look on; after it: done
    };
    if (mode == kRecordText) {
        std::string line;
        while (std::getline(in, line)) {
            line += '\n';
            BYTE y = 0;
            DWORD t = 0;
            if (line.size() < kRecordTimeChars || !ParseTime(line.substr(0, kRecordTimeChars), &y, &t))
                continue;
            if (!keep(UnixSeconds(y, t), line.data(), line.size()))
                break;
        }
    } else {
        char record[kBinaryRecordBytes];
        while (in.read(record, sizeof record)) {
            const DWORD t = platform::ReadLE32(reinterpret_cast<const BYTE*>(record));
            if (!keep(static_cast<long long>(t), record, sizeof record))
                break;
        }
    }
    return static_cast<bool>(out.flush());
}

} // namespace orma
