#include "testsupport/checksum.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace testsupport {

namespace {

constexpr std::size_t kPiece = 1 << 20;

// Closes a descriptor on every way out.
struct CFd {
    int fd;
    explicit CFd(const std::string& path) : fd(::open(path.c_str(), O_RDONLY)) {}
    ~CFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::uint64_t Fnv1a64(const void* data, std::size_t size, std::uint64_t h) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i)
        h = (h ^ p[i]) * kFnv1a64Prime;
    return h;
}

std::uint64_t Fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t h) {
    return Fnv1a64(bytes.data(), bytes.size(), h);
}

std::uint64_t FileFnv1a64(const std::string& path) {
    CFd f(path);
    if (f.fd < 0)
        return 0;
    std::uint64_t h = kFnv1a64Offset;
    std::vector<std::uint8_t> buf(kPiece);
    ssize_t n;
    while ((n = ::read(f.fd, buf.data(), buf.size())) > 0)
        h = Fnv1a64(buf.data(), static_cast<std::size_t>(n), h);
    return h;
}

off_t ForEachDataPiece(const std::string& path, const DataPieceFn& piece) {
    CFd f(path);
    if (f.fd < 0)
        return -1;
    const off_t size = ::lseek(f.fd, 0, SEEK_END);
    std::vector<std::uint8_t> buf(kPiece);
    for (off_t data = ::lseek(f.fd, 0, SEEK_DATA); data >= 0 && data < size;
         data = ::lseek(f.fd, data, SEEK_DATA)) {
        const off_t hole = ::lseek(f.fd, data, SEEK_HOLE);
        for (off_t at = data; at < hole;) {
            const ssize_t n =
                ::pread(f.fd, buf.data(), static_cast<std::size_t>(std::min<off_t>(hole - at, kPiece)), at);
            if (n <= 0)
                break;
            piece(data, at, buf.data(), static_cast<std::size_t>(n));
            at += n;
        }
        data = hole;
    }
    return size;
}

} // namespace testsupport
