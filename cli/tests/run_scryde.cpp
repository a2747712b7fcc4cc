#include "run_scryde.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "testsupport/files.h"
#include "testsupport/temp.h"

namespace clitest {

std::string Slurp(const std::string& path) {
    return testsupport::ReadFileText(path);
}

Result RunScryde(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::string base = testsupport::TempPath("scryde_run");
    std::string outPath = base + ".out", errPath = base + ".err";
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const std::string& e : env) {
            std::size_t eq = e.find('=');
            std::string name = e.substr(0, eq), value = e.substr(eq + 1);
            if (value.empty())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), value.c_str(), 1);
        }
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        std::string exe = SCRYDE_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    Result r;
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = Slurp(outPath);
    r.err = Slurp(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return r;
}

} // namespace clitest
