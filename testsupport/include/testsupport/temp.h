// Scratch space for tests: a private folder that removes itself, and file names no other test program
// running at the same time uses.
#pragma once

#include <string>

namespace testsupport {

// The folder for scratch files: TEST_TMPDIR, else TMPDIR, else /tmp.
std::string TempRoot();

// `<TempRoot>/<stem>_<pid><ending>`: a path of this process's own, not created.
std::string TempPath(const std::string& stem, const std::string& ending = "");

// A new folder `<TempRoot>/<prefix>-XXXXXX`, removed with everything in it when the object goes.
// Throws std::system_error when the folder cannot be made.
class CTempDir {
public:
    explicit CTempDir(const std::string& prefix = "scryde-test");
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

} // namespace testsupport
