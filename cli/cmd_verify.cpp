// scryde verify SOURCE: the SHA-256 and MD5 of every byte of a drive or image, and for an EWF image the
// comparison with the hash stored at acquisition.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

#include "cli/audit.h"
#include "cli/command.h"
#include "cli/json.h"
#include "cli/source_kinds.h"
#include "common/digest.h"
#include "platform/disk_image.h"
#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/system.h"

namespace cli {
namespace {

// Large enough that the per-read overhead vanishes, small enough for two in flight to be cheap.
constexpr DWORD kBlockBytes = 4u << 20;

std::string ErrorText(DWORD error) {
    switch (error) {
    case ERROR_CRC:
        return "the image does not hold its data: damaged or not acquired";
    case ERROR_SECTOR_NOT_FOUND:
        return "sector not found";
    case ERROR_FILE_NOT_FOUND:
        return "not found";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    default:
        return "error " + std::to_string(error);
    }
}

struct Digests {
    std::string sha256, md5;
    ULONGLONG bytes = 0;
};

// Reads the whole source in order, hashing each block in two threads while the next one is read.
bool HashSource(const std::string& path, const std::string& label, Digests* out, std::string* message) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_READONLY | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE || !h)
        return *message = label + ": cannot be opened (" + ErrorText(GetLastError()) + ")", false;
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    const ULONGLONG total = static_cast<ULONGLONG>(size.QuadPart);
    common::CSha256 sha;
    common::CMd5 md5;
    std::vector<char> buffers[2] = {std::vector<char>(kBlockBytes), std::vector<char>(kBlockBytes)};
    std::future<void> md5Done;
    ULONGLONG offset = 0;
    int shown = -1;
    bool ok = true;
    for (int current = 0;; current ^= 1) {
        DWORD got = 0;
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const bool read = ReadFile(h, buffers[current].data(), kBlockBytes, &got, &ov) != FALSE;
        const DWORD error = GetLastError();
        // The previous block is hashed by now in both threads; its buffer may be refilled next round.
        if (md5Done.valid())
            md5Done.get();
        if (!read) {
            *message = label + ": sector " + std::to_string((offset + got) / 512) + " cannot be read (" +
                       ErrorText(error) + ")";
            ok = false;
            break;
        }
        if (got == 0)
            break;
        const char* data = buffers[current].data();
        md5Done = std::async(std::launch::async, [&md5, data, got] { md5.Update(data, got); });
        sha.Update(data, got);
        offset += got;
        if (total) {
            int percent = static_cast<int>(offset * 100 / total);
            if (percent != shown) {
                std::fprintf(stderr, "\rVerifying %s: %d%%", label.c_str(), percent);
                shown = percent;
            }
        }
    }
    if (md5Done.valid())
        md5Done.get();
    if (shown >= 0)
        std::fprintf(stderr, "\n");
    CloseHandle(h);
    if (!ok)
        return false;
    out->sha256 = sha.HexDigest();
    out->md5 = md5.HexDigest();
    out->bytes = offset;
    return true;
}

int RunVerify(const std::vector<std::string>& input) {
    std::vector<std::string> args = input;
    const bool json = TakeFlag(args, "--json");
    TakeFlag(args, "--as-drive"); // a whole file is hashed either way
    bool bad = false;
    auto driveText = TakeOption(args, "--drive", &bad);
    if (bad)
        return Fail(kUsage, "verify: --drive is missing its value");
    std::string path, label;
    if (driveText) {
        char* end = nullptr;
        long n = std::strtol(driveText->c_str(), &end, 10);
        if (driveText->empty() || *end || n < 0 || n > 255)
            return Fail(kUsage, "verify: --drive wants a drive number, not \"" + *driveText + "\"");
        platform::DriveMap map = platform::DriveMap::Load();
        if (!map.Problem().empty())
            return Fail(kFailure, map.Problem());
        auto p = map.PathOf(static_cast<int>(n));
        if (!p)
            return Fail(kFailure, "verify: there is no drive " + std::to_string(n) +
                                      " in the drive map (see scryde drives)");
        path = *p;
        label = "drive " + std::to_string(n) + " (" + path + ")";
    } else {
        if (args.empty() || args.front().empty() || args.front()[0] == '-')
            return Fail(kUsage, "verify: name a SOURCE file or --drive N");
        path = label = args.front();
        args.erase(args.begin());
    }
    if (!args.empty())
        return Fail(kUsage, "verify: unexpected \"" + args.front() + "\"");
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Fail(kFailure, "verify: " + label + ": " + std::strerror(errno));

    platform::ImageFacts facts;
    if (platform::ImageFormatOf(path) != platform::ImageFormat::Plain) {
        std::string problem;
        DWORD error = 0;
        auto image = platform::OpenDiskImage(path, &problem, &error);
        if (!image)
            return Fail(kFailure, "verify: " + problem);
        facts = image->Facts();
    }

    AuditEntry audit;
    audit.command = "verify";
    audit.source = path;
    audit.sourceBytes = platform::DeviceSize(path);
    audit.action = "verify";
    Digests digests;
    std::string message;
    if (!HashSource(path, label, &digests, &message)) {
        audit.result = message;
        AppendAudit(audit);
        return Fail(kFailure, "verify: " + message);
    }
    // The acquisition stored MD5 and perhaps SHA-1; the MD5 is what can be compared.
    std::optional<bool> match;
    if (!facts.storedMd5.empty())
        match = facts.storedMd5 == digests.md5;
    audit.sha256 = digests.sha256;
    audit.firstSector = 0;
    audit.lastSector = digests.bytes ? (digests.bytes - 1) / 512 : 0;
    audit.result = !match   ? "hashed"
                   : *match ? "matches the acquisition hash"
                            : "DOES NOT match the acquisition hash";
    AppendAudit(audit);

    if (json) {
        JsonWriter out;
        out.BeginObject();
        out.Key("sha256").String(digests.sha256);
        out.Key("md5").String(digests.md5);
        out.Key("stored_md5");
        facts.storedMd5.empty() ? out.Null() : out.String(facts.storedMd5);
        out.Key("stored_sha1");
        facts.storedSha1.empty() ? out.Null() : out.String(facts.storedSha1);
        out.Key("match");
        match ? out.Bool(*match) : out.Null();
        out.Key("bytes").UInt(digests.bytes);
        out.EndObject();
        std::printf("%s\n", out.Text().c_str());
    } else {
        std::printf("SHA256  %s\nMD5  %s\n", digests.sha256.c_str(), digests.md5.c_str());
        if (!facts.storedMd5.empty())
            std::printf("stored MD5  %s\n", facts.storedMd5.c_str());
        if (!facts.storedSha1.empty())
            std::printf("stored SHA1  %s\n", facts.storedSha1.c_str());
        if (match)
            std::printf("%s\n", *match ? "the data matches the acquisition hash"
                                       : "the data DOES NOT match the acquisition hash");
    }
    if (match && !*match)
        return Fail(kFailure,
                    "verify: " + label + ": the MD5 of the data differs from the one stored at acquisition");
    return kSuccess;
}

const CommandRegistrar
    reg({"verify", "hash a whole drive or image and check it against its acquisition hash",
         "Usage: scryde verify SOURCE [--json]\n"
         "       scryde verify --drive N [--json]\n"
         "\n"
         "Reads every byte of the drive or image (an EWF image \".E01\" or a split raw image\n"
         "\".001\"/\".aa\" joined whole) and prints its SHA-256 and MD5, with progress on\n"
         "standard error. For an EWF image the hashes stored at acquisition are shown and the\n"
         "MD5 compared: a difference is a failure (exit 1). A sector that cannot be read is a\n"
         "failure too, naming the sector. --json prints {\"sha256\", \"md5\", \"stored_md5\",\n"
         "\"stored_sha1\", \"match\", \"bytes\"}. Every run is recorded in the audit log.\n",
         RunVerify});

} // namespace
} // namespace cli
