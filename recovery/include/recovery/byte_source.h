// Where carving reads from: a drive or image as a run of bytes, opened read-only. Reads report failure
// instead of throwing, so a scan can step past a region that cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace recovery {

class IByteSource {
public:
    virtual ~IByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Fills `bytes` bytes from `offset`; bytes past the end come back as zeros. False when the device
    // refused the read (the buffer's contents are then undefined).
    virtual bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t bytes) = 0;
};

// A file or block device, opened read-only; the evidence is never written.
class CFileByteSource : public IByteSource {
public:
    explicit CFileByteSource(const std::string& path);
    ~CFileByteSource() override;
    CFileByteSource(const CFileByteSource&) = delete;
    CFileByteSource& operator=(const CFileByteSource&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Problem() const { return m_problem; }
    std::uint64_t Size() const override { return m_size; }
    bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t bytes) override;

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
    std::string m_problem;
};

} // namespace recovery
