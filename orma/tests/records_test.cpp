// Cutting the source's status-record files to a time range: the run of the range is kept whole, and a
// run that plays round into older frames after it is not.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "orma/layout.h"
#include "orma/records.h"
#include "platform/bytes.h"

namespace orma {
namespace {

DWORD At(int hour, int minute, int second) {
    return PackTime(6, 1, hour, minute, second);
}

std::string Cut(const std::string& in, int mode, DWORD from, DWORD to) {
    std::istringstream src(in);
    std::ostringstream dst;
    EXPECT_TRUE(CutRecordsToRange(src, dst, mode, 24, from, 24, to));
    return dst.str();
}

TEST(OrmaRecords, TextLinesOfTheRangeAreKeptUpToTheFirstLineAfterIt) {
    const std::string before = "2024/06/01 10:00:09 CH1 before\n", a = "2024/06/01 10:00:10 CH1 a\n",
                      noise = "no time on this line\n", b = "2024/06/01 10:00:20 CH1 b\n",
                      after = "2024/06/01 10:00:21 CH1 after\n", older = "2024/06/01 09:00:00 CH1 round\n",
                      again = "2024/06/01 10:00:15 CH1 again\n";
    struct Case {
        const char* what;
        std::string in, want;
        DWORD from, to;
    } cases[] = {
        {"both ends included, lines without a time passed over", before + a + noise + b + after, a + b,
         At(10, 0, 10), At(10, 0, 20)},
        {"playing round into older frames ends the run", a + b + older + again, a + b, At(10, 0, 10),
         At(10, 0, 20)},
        {"nothing in the range", before + after, "", At(10, 0, 10), At(10, 0, 20)},
        {"a last line without its newline still counts", a + "2024/06/01 10:00:12 x",
         a + "2024/06/01 10:00:12 x\n", At(10, 0, 10), At(10, 0, 20)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Cut(c.in, kRecordText, c.from, c.to), c.want) << c.what;
}

TEST(OrmaRecords, BinaryRecordsAreCutByTheirLocalTimeValue) {
    auto record = [](BYTE y, DWORD t, char fill) {
        std::string r(kBinaryRecordBytes, fill);
        platform::WriteLE32(reinterpret_cast<BYTE*>(r.data()), static_cast<DWORD>(UnixSeconds(y, t, true)));
        return r;
    };
    const std::string in = record(24, At(10, 0, 5), 'p') + record(24, At(10, 0, 10), 'a') +
                           record(24, At(10, 0, 20), 'b') + record(24, At(10, 0, 30), 'q') +
                           record(24, At(10, 0, 15), 'r') + std::string(10, 'z'); // a torn last record
    EXPECT_EQ(Cut(in, kRecordBinary, At(10, 0, 10), At(10, 0, 20)),
              record(24, At(10, 0, 10), 'a') + record(24, At(10, 0, 20), 'b'));
}

} // namespace
} // namespace orma
