// Expert Witness images through libewf. The library's handle is not safe for concurrent use, so one
// mutex serialises every call on it.
#include <libewf.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/disk_image.h"
#include "platform/system.h"

namespace platform {

namespace {

// The library's error chain as one line, and the chain freed.
std::string TakeError(libewf_error_t** error) {
    if (!*error)
        return "unknown error";
    char text[1024] = {};
    libewf_error_sprint(*error, text, sizeof text);
    libewf_error_free(error);
    std::string s = text;
    // The library prints one line per level, the innermost last; the last one names the cause.
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    std::size_t nl = s.find_last_of('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

std::string Hex(const uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// The segment file that follows `path` in an EWF set (NAME.E01 -> NAME.E02, .E09 -> .E10); empty past
// .E99, where the names go on in letters this reader leaves to the library.
std::string NextSegment(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.size() - dot != 4)
        return "";
    const std::string digits = path.substr(dot + 2);
    if (!std::isdigit(static_cast<unsigned char>(digits[0])) ||
        !std::isdigit(static_cast<unsigned char>(digits[1])))
        return "";
    const int next = (digits[0] - '0') * 10 + (digits[1] - '0') + 1;
    if (next > 99)
        return "";
    char text[3];
    std::snprintf(text, sizeof text, "%02d", next);
    return path.substr(0, dot + 2) + text;
}

bool Exists(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

// Which file of a set the library could not complete: a gap in the numbering, or the last file's end.
std::string DescribeIncompleteSet(const std::string& path, const std::vector<std::string>& parts) {
    const std::string last = parts.empty() ? path : parts.back();
    const std::string next = NextSegment(last);
    if (Exists(NextSegment(next)))
        return "EWF image " + path + ": segment " + next + " is missing (" + NextSegment(next) + " is there)";
    return "EWF image " + path + ": the set ends damaged at " + last + " (truncated, or " +
           (next.empty() ? std::string("the next segment") : next) + " is missing)";
}

struct SectorRange {
    ULONGLONG first;
    ULONGLONG count;
};

class CEwfImage final : public CDiskImage {
public:
    ~CEwfImage() override {
        if (m_handle) {
            libewf_handle_close(m_handle, nullptr);
            libewf_handle_free(&m_handle, nullptr);
        }
    }

    bool Open(const std::string& path, std::string* problem, DWORD* error) {
        libewf_error_t* e = nullptr;
        char** names = nullptr;
        int count = 0;
        if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1) {
            *error = ERROR_FILE_NOT_FOUND;
            return *problem = path + ": " + TakeError(&e), false;
        }
        for (int i = 0; i < count; ++i)
            m_facts.parts.push_back(names[i]);
        int opened = libewf_handle_initialize(&m_handle, &e) == 1 &&
                     libewf_handle_open(m_handle, names, count, LIBEWF_OPEN_READ, &e) == 1;
        libewf_glob_free(names, count, nullptr);
        if (!opened || libewf_handle_segment_files_corrupted(m_handle, nullptr) == 1) {
            // The library's own words go to the debug sink; the user is told which file is at fault.
            const std::string detail = opened ? std::string("segment files marked corrupted") : TakeError(&e);
            OutputDebugStringA(("libewf: " + detail + "\n").c_str());
            *error = ERROR_CRC;
            return *problem = DescribeIncompleteSet(path, m_facts.parts), false;
        }
        size64_t size = 0;
        if (libewf_handle_get_media_size(m_handle, &size, &e) != 1) {
            *error = ERROR_CRC;
            return *problem = "EWF image " + path + ": no media size: " + TakeError(&e), false;
        }
        libewf_handle_set_read_zero_chunk_on_error(m_handle, 0, nullptr);
        uint32_t bytesPerSector = 512;
        libewf_handle_get_bytes_per_sector(m_handle, &bytesPerSector, nullptr);
        m_bytesPerSector = bytesPerSector ? bytesPerSector : 512;
        uint32_t errors = 0;
        if (libewf_handle_get_number_of_acquiry_errors(m_handle, &errors, nullptr) == 1) {
            for (uint32_t i = 0; i < errors; ++i) {
                uint64_t first = 0, n = 0;
                if (libewf_handle_get_acquiry_error(m_handle, i, &first, &n, nullptr) == 1)
                    m_unreadable.push_back({first, n});
            }
        }
        m_facts.format = ImageFormat::Ewf;
        m_facts.size = size;
        ReadMetadata();
        return true;
    }

    bool Read(void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done, DWORD* error) override {
        *done = 0;
        if (offset >= m_facts.size || size == 0)
            return true;
        size = static_cast<std::size_t>(std::min<ULONGLONG>(size, m_facts.size - offset));
        std::lock_guard guard(m_lock);
        libewf_error_t* e = nullptr;
        ssize_t n = libewf_handle_read_random(m_handle, buffer, size, static_cast<off64_t>(offset), &e);
        if (n < 0) {
            libewf_error_free(&e);
            *error = ERROR_CRC;
            return false;
        }
        CollectChecksumErrors();
        *done = static_cast<std::size_t>(n);
        // Chunks whose checksum failed and sectors the acquisition could not read hold no data: the read
        // stops before the first of them.
        const ULONGLONG firstSector = offset / m_bytesPerSector;
        const ULONGLONG endSector = (offset + *done + m_bytesPerSector - 1) / m_bytesPerSector;
        ULONGLONG bad = endSector;
        for (const SectorRange& r : m_unreadable)
            if (r.first < endSector && r.first + r.count > firstSector)
                bad = std::min(bad, std::max(r.first, firstSector));
        if (bad < endSector) {
            *done = static_cast<std::size_t>(std::max<ULONGLONG>(bad * m_bytesPerSector, offset) - offset);
            *error = ERROR_CRC;
            return false;
        }
        if (*done < size) {
            *error = ERROR_CRC;
            return false;
        }
        return true;
    }

private:
    void CollectChecksumErrors() {
        uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(m_handle, &count, nullptr) != 1)
            return;
        for (; m_checksumErrorsSeen < count; ++m_checksumErrorsSeen) {
            uint64_t first = 0, n = 0;
            if (libewf_handle_get_checksum_error(m_handle, m_checksumErrorsSeen, &first, &n, nullptr) == 1)
                m_unreadable.push_back({first, n});
        }
    }

    void ReadMetadata() {
        uint32_t count = 0;
        if (libewf_handle_get_number_of_header_values(m_handle, &count, nullptr) == 1) {
            for (uint32_t i = 0; i < count; ++i) {
                uint8_t id[128] = {};
                size_t idSize = 0;
                if (libewf_handle_get_header_value_identifier_size(m_handle, i, &idSize, nullptr) != 1 ||
                    idSize > sizeof id ||
                    libewf_handle_get_header_value_identifier(m_handle, i, id, idSize, nullptr) != 1)
                    continue;
                size_t valueSize = 0;
                const std::size_t idLength = std::char_traits<char>::length(reinterpret_cast<char*>(id));
                if (libewf_handle_get_utf8_header_value_size(m_handle, id, idLength, &valueSize, nullptr) !=
                        1 ||
                    valueSize == 0)
                    continue;
                std::string value(valueSize, '\0');
                if (libewf_handle_get_utf8_header_value(m_handle, id, idLength,
                                                        reinterpret_cast<uint8_t*>(value.data()), valueSize,
                                                        nullptr) != 1)
                    continue;
                value.resize(std::char_traits<char>::length(value.c_str()));
                if (!value.empty())
                    m_facts.metadata.emplace_back(reinterpret_cast<char*>(id), value);
            }
        }
        uint8_t md5[16];
        if (libewf_handle_get_md5_hash(m_handle, md5, sizeof md5, nullptr) == 1)
            m_facts.storedMd5 = Hex(md5, sizeof md5);
        uint8_t sha1[20];
        if (libewf_handle_get_sha1_hash(m_handle, sha1, sizeof sha1, nullptr) == 1)
            m_facts.storedSha1 = Hex(sha1, sizeof sha1);
    }

    libewf_handle_t* m_handle = nullptr;
    std::mutex m_lock;
    ULONGLONG m_bytesPerSector = 512;
    uint32_t m_checksumErrorsSeen = 0;
    std::vector<SectorRange> m_unreadable;
};

} // namespace

std::shared_ptr<CDiskImage> OpenEwfImage(const std::string& path, std::string* problem, DWORD* error) {
    auto image = std::make_shared<CEwfImage>();
    if (!image->Open(path, problem, error))
        return nullptr;
    return image;
}

} // namespace platform
