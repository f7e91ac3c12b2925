// What a newcomer meets first: the README's run command builds every
// program its quick start runs next; warden -f says in one line that it
// serves and where; socks5-demo answers --version and its usage synopsis
// names every option.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testsupport::ReadFile;
using testsupport::WaitFor;

// Runs argv to its end: its standard output and exit status.
std::string RunToEnd(const std::vector<std::string> &args, int *status)
{
    const std::string cmd = [&] {
        std::string c;
        for (const std::string &a : args)
            c += "'" + a + "' ";
        return c + "2>/dev/null";
    }();
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    *status = p != nullptr ? pclose(p) : -1;
    return out;
}

TEST(Newcomer, ReadmeRunCommandBuildsWhatTheQuickStartRuns)
{
    const std::string readme = ReadFile(QUELM_SOURCE_DIR "/README.md");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(readme, m, std::regex("cmake --build build -j2 --target ([^&\n]+) && "
                                                        "build/server/warden -f")))
        << "no run command in README.md";
    std::set<std::string> targets;
    std::istringstream words(m[1].str());
    for (std::string w; words >> w;)
        targets.insert(w);
    EXPECT_EQ(targets, (std::set<std::string>{"warden", "warden-top", "warden-hub", "socks5-demo",
                                              "report_demo", "view_demo"}));

    // Every program the quick start names is one of those targets' outputs.
    const size_t quick = readme.find("## Operators: quick start");
    ASSERT_NE(quick, std::string::npos);
    const std::string section = readme.substr(quick, readme.find("\n## ", quick + 1) - quick);
    const std::map<std::string, std::string> outputs = {{"build/server/warden", "warden"},
                                                        {"build/tools/warden-top", "warden-top"},
                                                        {"build/hub/warden-hub", "warden-hub"},
                                                        {"build/examples/socks5-demo", "socks5-demo"},
                                                        {"build/examples/report_demo", "report_demo"},
                                                        {"build/examples/view_demo", "view_demo"}};
    const std::regex path("build/[A-Za-z0-9_/-]+");
    size_t named = 0;
    for (auto it = std::sregex_iterator(section.begin(), section.end(), path); it != std::sregex_iterator(); ++it) {
        const std::string p = it->str();
        ++named;
        ASSERT_EQ(outputs.count(p), 1u) << p << " is not built by the run command";
        struct stat st;
        EXPECT_EQ(stat((std::string(QUELM_BINARY_DIR) + p.substr(5)).c_str(), &st), 0) << p;
    }
    EXPECT_GT(named, 0u);
}

TEST(Newcomer, Socks5DemoTellsItsVersionAndEveryOption)
{
    const std::string demo = QUELM_BINARY_DIR "/examples/socks5-demo";
    int status = 0;
    EXPECT_EQ(RunToEnd({demo, "--version"}, &status), "socks5-demo 1.1\n");
    EXPECT_EQ(status, 0);
    const std::string usage = RunToEnd({demo, "--help"}, &status);
    EXPECT_EQ(status, 0);
    // The synopsis: the lines before the first option's description.
    const std::string synopsis = usage.substr(0, usage.find("\n  --"));
    for (const char *opt : {"--listen", "--users", "--no-monitor", "--connect-timeout",
                            "--handshake-timeout", "--max-sessions", "--verbose",
                            "--report-interval", "--report-free", "--version", "--help"}) {
        EXPECT_NE(synopsis.find(std::string("[") + opt), std::string::npos) << opt << "\n" << usage;
        EXPECT_NE(usage.find(std::string("\n  ") + opt + " "), std::string::npos) << opt;
    }
}

#ifdef WARDEN_BIN
// warden -f: one line once it serves, naming the pipe and the viewer
// addresses as bound; a viewer connects as soon as it is there.
TEST(Newcomer, WardenInTheForegroundSaysWhenAndWhereItServes)
{
    if (getenv("QUELM_ISOLATED") == nullptr)
        GTEST_SKIP() << "needs the private /tmp and loopback of quelm_isolate";
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 2);
        execl(WARDEN_BIN, WARDEN_BIN, "-f", "--listen", "127.0.0.1", "--listen", "127.0.0.2:5052",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(p[1]);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    std::string log;
    auto read = [&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(p[0], buf, sizeof buf)) > 0)
            log.append(buf, static_cast<size_t>(n));
        return log;
    };
    const std::string line =
        "warden serves: reports from /tmp/mon.fifo, viewers on 127.0.0.1:5051 127.0.0.2:5052\n";
    EXPECT_TRUE(WaitFor([&] { return read().find(line) != std::string::npos; }, 20000)) << log;
    const int viewer = testsupport::ConnectViewer();
    EXPECT_GE(viewer, 0);
    if (viewer >= 0)
        close(viewer);
    kill(pid, SIGTERM);
    int status = 0;
    EXPECT_TRUE(WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000));
    read();
    close(p[0]);
    size_t lines = 0;
    for (size_t at = log.find("warden serves:"); at != std::string::npos; at = log.find("warden serves:", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
}
#endif

}  // namespace
