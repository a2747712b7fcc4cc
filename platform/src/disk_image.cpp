#include "platform/disk_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/file_object.h"
#include "platform/system.h"

namespace platform {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string SuffixOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size())
        return "";
    return path.substr(dot + 1);
}

bool AllOf(const std::string& s, int (*test)(int)) {
    return !s.empty() && std::all_of(s.begin(), s.end(),
                                     [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

bool IsFirstSplitSuffix(const std::string& suffix) {
    // NAME.001 (any width of digits ending in 1 after zeros) or NAME.aa.
    if (AllOf(suffix, isdigit))
        return suffix.size() >= 3 && suffix.find_first_not_of('0') == suffix.size() - 1 &&
               suffix.back() == '1';
    return suffix == "aa";
}

// The suffix after `suffix` in a split series: 001 -> 002, 099 -> 100, aa -> ab, az -> ba. Empty when the
// series cannot go on (zz).
std::string NextSplitSuffix(std::string suffix) {
    const bool digits = std::isdigit(static_cast<unsigned char>(suffix[0])) != 0;
    for (std::size_t i = suffix.size(); i-- > 0;) {
        char& c = suffix[i];
        if (digits ? c != '9' : c != 'z') {
            ++c;
            return suffix;
        }
        c = digits ? '0' : 'a';
    }
    return digits ? "1" + suffix : "";
}

// A split raw image: every part is read with pread at the offset of the joined image.
class CSplitRawImage final : public CDiskImage {
public:
    ~CSplitRawImage() override {
        for (const Part& p : m_parts)
            ::close(p.fd);
    }

    bool Open(const std::string& first, std::string* problem, DWORD* error) {
        const std::string base = first.substr(0, first.size() - SuffixOf(first).size());
        const std::string firstSuffix = SuffixOf(first);
        // Every other part of the series that exists, so a gap in the middle is seen.
        std::set<std::string> present;
        std::string dir = base.find('/') == std::string::npos ? "." : base.substr(0, base.find_last_of('/'));
        std::string stem =
            base.substr(base.find_last_of('/') == std::string::npos ? 0 : base.find_last_of('/') + 1);
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > stem.size() && name.compare(0, stem.size(), stem) == 0) {
                    std::string s = name.substr(stem.size());
                    bool sameKind = std::isdigit(static_cast<unsigned char>(firstSuffix[0]))
                                        ? AllOf(s, isdigit) && s.size() >= firstSuffix.size()
                                        : AllOf(s, islower) && s.size() == firstSuffix.size();
                    if (sameKind)
                        present.insert(s);
                }
            }
            ::closedir(d);
        }
        std::string suffix = firstSuffix;
        ULONGLONG offset = 0;
        while (!suffix.empty()) {
            const std::string path = base + suffix;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                if (errno != ENOENT || m_parts.empty()) {
                    *error = Win32ErrorFromErrno(errno);
                    return *problem = path + ": " + std::strerror(errno), false;
                }
                break;
            }
            struct stat st {};
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                ::close(fd);
                *error = ERROR_FILE_NOT_FOUND;
                return *problem = path + ": not a regular file, so not a part of a split image", false;
            }
            m_parts.push_back({fd, offset, static_cast<ULONGLONG>(st.st_size)});
            m_facts.parts.push_back(path);
            offset += static_cast<ULONGLONG>(st.st_size);
            present.erase(suffix);
            suffix = NextSplitSuffix(suffix);
        }
        if (!present.empty()) {
            *error = ERROR_FILE_NOT_FOUND;
            return *problem = "split image " + first + ": part " + base + suffix + " is missing (" + base +
                              *present.begin() + " comes after it)",
                   false;
        }
        // Splitting cuts every part but the last to one size; a shorter part in the middle lost its end.
        for (std::size_t i = 0; i + 1 < m_parts.size(); ++i) {
            if (m_parts[i].size != m_parts[0].size) {
                *error = ERROR_CRC;
                return *problem = "split image " + first + ": part " + m_facts.parts[i] + " holds " +
                                  std::to_string(m_parts[i].size) +
                                  " bytes where the parts before the last hold " +
                                  std::to_string(m_parts[0].size) + " (truncated or damaged)",
                       false;
            }
        }
        m_facts.format = ImageFormat::SplitRaw;
        m_facts.size = offset;
        return true;
    }

    bool Read(void* buffer, std::size_t size, ULONGLONG offset, std::size_t* done, DWORD* error) override {
        *done = 0;
        auto* out = static_cast<char*>(buffer);
        auto it = std::upper_bound(m_parts.begin(), m_parts.end(), offset,
                                   [](ULONGLONG o, const Part& p) { return o < p.start; });
        if (it == m_parts.begin())
            return true;
        for (--it; it != m_parts.end() && *done < size; ++it) {
            ULONGLONG at = offset + *done;
            if (at >= it->start + it->size)
                continue;
            std::size_t want =
                static_cast<std::size_t>(std::min<ULONGLONG>(size - *done, it->start + it->size - at));
            std::size_t got = 0;
            bool ok = PositionedRead(it->fd, out + *done, want, at - it->start, &got, error);
            *done += got;
            if (!ok)
                return false;
            if (got < want) {
                // The part shrank since it was opened: its missing end is not data.
                *error = ERROR_CRC;
                return false;
            }
        }
        return true;
    }

private:
    struct Part {
        int fd;
        ULONGLONG start;
        ULONGLONG size;
    };
    std::vector<Part> m_parts;
};

} // namespace

ImageFormat ImageFormatOf(const std::string& path) {
    std::string suffix = SuffixOf(path);
    std::string lower = Lower(suffix);
    if (lower == "e01" || lower == "ex01")
        return ImageFormat::Ewf;
    if (IsFirstSplitSuffix(suffix))
        return ImageFormat::SplitRaw;
    return ImageFormat::Plain;
}

std::string StripImageSuffix(const std::string& path) {
    if (ImageFormatOf(path) == ImageFormat::Plain)
        return path;
    return path.substr(0, path.size() - SuffixOf(path).size() - 1);
}

std::shared_ptr<CDiskImage> OpenDiskImage(const std::string& path, std::string* problem, DWORD* error) {
    switch (ImageFormatOf(path)) {
    case ImageFormat::Ewf:
        return OpenEwfImage(path, problem, error);
    case ImageFormat::SplitRaw: {
        auto image = std::make_shared<CSplitRawImage>();
        if (!image->Open(path, problem, error))
            return nullptr;
        return image;
    }
    case ImageFormat::Plain:
        break;
    }
    *error = ERROR_INVALID_PARAMETER;
    *problem = path + ": not an image container";
    return nullptr;
}

} // namespace platform
