#include "recovery/byte_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace recovery {

CFileByteSource::CFileByteSource(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_problem = path + ": " + std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) == 0) {
        if (S_ISBLK(st.st_mode)) {
            unsigned long long bytes = 0;
            if (::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0)
                m_size = bytes;
        } else {
            m_size = static_cast<std::uint64_t>(st.st_size);
        }
    }
}

CFileByteSource::~CFileByteSource() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CFileByteSource::Read(std::uint64_t offset, std::uint8_t* out, std::size_t bytes) {
    if (m_fd < 0)
        return false;
    while (bytes) {
        if (offset >= m_size) {
            std::memset(out, 0, bytes);
            return true;
        }
        ssize_t n = ::pread(m_fd, out, bytes, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            std::memset(out, 0, bytes);
            return true;
        }
        out += n;
        offset += static_cast<std::uint64_t>(n);
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace recovery
