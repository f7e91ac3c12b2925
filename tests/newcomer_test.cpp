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
#include "warden_fixture.h"

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
// warden -f: one line once it serves (the fixture waits for it), naming
// the pipe and the viewer addresses as bound; a viewer connects at once.
TEST(Newcomer, WardenInTheForegroundSaysWhenAndWhereItServes)
{
    if (getenv("QUELM_ISOLATED") == nullptr)
        GTEST_SKIP() << "needs the private /tmp and loopback of quelm_isolate";
    testsupport::Warden warden;
    ASSERT_TRUE(warden.Start({{"--listen", "127.0.0.1", "--listen", "127.0.0.2:5052"}, 0, {}, true, nullptr}))
        << warden.Log();
    EXPECT_EQ(warden.Count("warden serves: reports from /tmp/mon.fifo, viewers on 127.0.0.1:5051 "
                           "127.0.0.2:5052\n"), 1u) << warden.Log();
    const int viewer = testsupport::ConnectViewer();
    EXPECT_GE(viewer, 0);
    if (viewer >= 0)
        close(viewer);
    warden.Stop();
    EXPECT_EQ(warden.Count("warden serves:"), 1u) << warden.Log();
}
#endif

}  // namespace
