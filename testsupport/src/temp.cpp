#include "testsupport/temp.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace testsupport {

std::string TempRoot() {
    for (const char* name : {"TEST_TMPDIR", "TMPDIR"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            std::string root = v;
            while (root.size() > 1 && root.back() == '/')
                root.pop_back();
            return root;
        }
    }
    return "/tmp";
}

std::string TempPath(const std::string& stem, const std::string& ending) {
    return TempRoot() + "/" + stem + "_" + std::to_string(::getpid()) + ending;
}

CTempDir::CTempDir(const std::string& prefix) {
    const std::string pattern = TempRoot() + "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    m_path = name.data();
}

CTempDir::~CTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace testsupport
