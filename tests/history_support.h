// history_support.h - what the history tests share: starting warden,
// socks5-demo and curl, a small HTTP server that tells the bytes it moved,
// a synthetic reporter, and a private PostgreSQL server run as an
// unprivileged user.  Every process started here is stopped by its owner's
// destructor, also when a test fails half way.
#ifndef QUELM_HISTORY_SUPPORT_H
#define QUELM_HISTORY_SUPPORT_H

#include <quelm/monitor.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace hist {

inline const char *const kCurl = "/usr/bin/curl";
inline const char *const kProxy = QUELM_BINARY_DIR "/examples/socks5-demo";
inline const char *const kPgBin = "/usr/lib/postgresql/15/bin";
constexpr int kProxyPort = 1080;

// Forks and runs args; stdout and stderr go to logPath ("" : /dev/null).
// env entries "NAME=value" are added to the environment.
inline pid_t Spawn(const std::vector<std::string> &args, const std::string &logPath = "",
                   const std::vector<std::string> &env = {})
{
    return testsupport::Spawn(args, env, logPath, testsupport::kSpawnAppend);
}

using testsupport::CanConnect;
using testsupport::ChildHolding;
using testsupport::Children;
using testsupport::CpuTicks;
using testsupport::Stop;
using testsupport::WaitExit;

// Number of lines of text that contain needle.
inline int CountLines(const std::string &text, const std::string &needle)
{
    int n = 0;
    size_t at = 0;
    while ((at = text.find(needle, at)) != std::string::npos) {
        ++n;
        at += needle.size();
    }
    return n;
}

// A forked HTTP/1.0 server on loopback: answers every request with body,
// sent in 16 KiB pieces with pause microseconds between them, and writes
// "received sent\n" per connection into a pipe the test reads.
class HttpServer {
public:
    std::string body;
    uint16_t port = 0;
    useconds_t pause = 0;

    ~HttpServer() { Stop(); }
    bool Start(size_t size)
    {
        body.resize(size);
        uint32_t x = 2463534242u;
        for (char &c : body) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            c = static_cast<char>(x);
        }
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) < 0 || listen(fd, 64) < 0) {
            close(fd);
            return false;
        }
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        int p[2];
        if (pipe2(p, O_CLOEXEC) < 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            signal(SIGCHLD, SIG_IGN);
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                if (c < 0)
                    continue;
                if (fork() == 0)
                    Serve(c, p[1]);
                close(c);
            }
        }
        close(fd);
        close(p[1]);
        results_ = p[0];
        return true;
    }
    void Stop()
    {
        testsupport::Stop(pid_, SIGKILL);
        if (results_ >= 0)
            close(results_);
        results_ = -1;
    }
    // (received, sent) of the next finished connection; {0, 0} on a timeout.
    std::pair<uint64_t, uint64_t> Take()
    {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos && read(results_, &c, 1) == 1)
            line += c;
        unsigned long long r = 0, s = 0;
        sscanf(line.c_str(), "%llu %llu", &r, &s);
        return {r, s};
    }

private:
    [[noreturn]] void Serve(int c, int report)
    {
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            req.append(buf, static_cast<size_t>(n));
        }
        std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        uint64_t sent = 0;
        ssize_t n = write(c, head.data(), head.size());
        sent += n > 0 ? static_cast<uint64_t>(n) : 0;
        for (size_t at = 0; at < body.size();) {
            const size_t piece = std::min<size_t>(16384, body.size() - at);
            n = write(c, body.data() + at, piece);
            if (n <= 0)
                break;
            sent += static_cast<uint64_t>(n);
            at += static_cast<size_t>(n);
            if (pause != 0)
                usleep(pause);
        }
        shutdown(c, SHUT_WR);
        while (read(c, buf, sizeof buf) > 0) {
        }
        const std::string line = std::to_string(req.size()) + " " + std::to_string(sent) + "\n";
        (void)!write(report, line.data(), line.size());
        _exit(0);
    }
    pid_t pid_ = 0;
    int results_ = -1;
};

// A PostgreSQL 15 server of its own in dir, run as the unprivileged user
// "postgres" (the server refuses root), listening on 127.0.0.1:port and a
// socket in dir; user "warden" with password, database "wardendb".
class PgServer {
public:
    std::string dir = "/tmp/pg";
    int port = 5433;
    std::string password = "s3cret-history";

    ~PgServer() { Halt(); }
    static bool Available()
    {
        return access((std::string(kPgBin) + "/initdb").c_str(), X_OK) == 0 && getpwnam("postgres") != nullptr;
    }
    bool Create()
    {
        const passwd *pw = getpwnam("postgres");
        if (pw == nullptr)
            return false;
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        mkdir(dir.c_str(), 0700);
        if (chown(dir.c_str(), uid_, gid_) != 0)
            return false;
        const std::string pwfile = dir + "/pw";
        { FILE *f = fopen(pwfile.c_str(), "w"); if (f == nullptr) return false; fputs(password.c_str(), f); fclose(f); }
        if (chown(pwfile.c_str(), uid_, gid_) != 0)
            return false;
        if (AsPostgres({Bin("initdb"), "-D", dir + "/data", "-U", "warden", "--auth=scram-sha-256",
                        "--pwfile=" + pwfile, "-E", "UTF8", "--locale=C", "--no-sync"}) != 0)
            return false;
        return Start() && AsPostgres({Bin("createdb"), "-h", dir, "-p", std::to_string(port),
                                      "-U", "warden", "wardendb"}) == 0;
    }
    bool Start()
    {
        const std::string opts = "-c listen_addresses=127.0.0.1 -c fsync=off -c port=" +
                                 std::to_string(port) + " -k " + dir;
        return AsPostgres({Bin("pg_ctl"), "-D", dir + "/data", "-l", dir + "/server.log", "-w",
                           "-t", "60", "-o", opts, "start"}) == 0;
    }
    bool Halt()
    {
        if (uid_ == 0 || access((dir + "/data/postmaster.pid").c_str(), F_OK) != 0)
            return true;
        return AsPostgres({Bin("pg_ctl"), "-D", dir + "/data", "-m", "fast", "-w", "stop"}) == 0;
    }
    std::string ConnInfo() const
    {
        return "host=127.0.0.1 port=" + std::to_string(port) + " dbname=wardendb user=warden password=" + password;
    }

private:
    static std::string Bin(const char *name) { return std::string(kPgBin) + "/" + name; }
    // Runs args as the postgres user with PGPASSWORD set; its exit status.
    int AsPostgres(const std::vector<std::string> &args)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open((dir + "/tool.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            if (chdir(dir.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(gid_) != 0 ||
                setuid(uid_) != 0)
                _exit(126);
            setenv("PGPASSWORD", password.c_str(), 1);
            setenv("LC_ALL", "C", 1);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return WaitExit(pid);
    }
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// Reports count short sessions through the pipe, spaced by gapUs: each
// starts, is updated once and ends, with byte totals derived from its
// number (i * 1000 + 7 up, i * 3000 + 11 down) and destination
// "dest-<first + i>:80".  Runs in a forked child; returns its PID.
[[noreturn]] inline void ReportSessions(int first, int count, useconds_t gapUs)
{
    // A warden just started may not read its pipe yet (the one it replaced
    // may have held the old one a moment longer): try for a few seconds.
    MonHandle_t *h = nullptr;
    for (int tries = 0; QxSocksMonOpen("", MON_TRANSPORT_FIFO, &h) != 0; ++tries) {
        if (tries == 500)
            _exit(2);
        usleep(10000);
    }
    for (int i = first; i < first + count; ++i) {
        MonConnInfo_t conn;
        memset(&conn, 0, sizeof conn);
        snprintf(conn.text2, sizeof conn.text2, "dest-%d:80", i);
        snprintf(conn.text1, sizeof conn.text1, "user%d", i % 3);
        snprintf(conn.text4, sizeof conn.text4, "reporter");
        const MonCounts_t mid = {static_cast<uint64_t>(i) * 500, static_cast<uint64_t>(i) * 1500};
        const MonCounts_t end = {static_cast<uint64_t>(i) * 1000 + 7, static_cast<uint64_t>(i) * 3000 + 11};
        // A full pipe (EAGAIN) is waited out; a report never gets lost here.
        auto send = [&](int flags, const MonCounts_t *c, const char *text) {
            for (int tries = 0; tries < 5000; ++tries) {
                if (QxSocksMonReport(h, flags, &conn, c, 0, nullptr, 0, text) >= 0)
                    return;
                usleep(1000);
            }
            _exit(3);
        };
        send(MON_FLAG_START, nullptr, "");
        send(MON_FLAG_UPDATE, &mid, "");
        send(MON_FLAG_STATUS | MON_FLAG_END, &end, "succeeded");
        usleep(gapUs);
    }
    QxSocksMonClose(h);
    _exit(0);
}

inline pid_t Reporter(int first, int count, useconds_t gapUs)
{
    const pid_t pid = fork();
    if (pid == 0)
        ReportSessions(first, count, gapUs);
    return pid;
}

}  // namespace hist

#endif  // QUELM_HISTORY_SUPPORT_H
