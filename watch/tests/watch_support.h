// watch_support.h - what the warden-watch tests share besides the process
// helpers of tests/test_support.h: a forked HTTP server on loopback, a
// warden daemon built in this tree, and its sessions as `warden-top --json`
// shows them.
#ifndef QUELM_WATCH_SUPPORT_H
#define QUELM_WATCH_SUPPORT_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../../tests/test_support.h"
#include "../../tests/warden_fixture.h"

namespace watchtest {

inline long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Runs args with extra environment entries; output to the file out (or
// nowhere), its standard error the test's with WATCH_TEST_VERBOSE set.
inline pid_t Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                   const std::string &out = "")
{
    return testsupport::Spawn(args, env, out,
                              getenv("WATCH_TEST_VERBOSE") != nullptr ? testsupport::kSpawnKeepStderr : 0);
}

using testsupport::CanConnect;
using testsupport::ReadFile;
using testsupport::Stop;
using testsupport::WaitExit;
using testsupport::WriteFile;

inline bool WaitPort(uint16_t port, int ms = 10000)
{
    return testsupport::WaitFor([port] { return CanConnect(port); }, ms);
}

// A forked HTTP/1.0 server on 127.0.0.1: GET /N answers N bytes, /slow/N
// after a second, /drip/N in 32 KiB pieces 20 ms apart; each connection in a
// process of its own.
class HttpServer {
  public:
    uint16_t port = 0;

    bool Start()
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof in;
        if (bind(fd, reinterpret_cast<sockaddr *>(&in), len) != 0 || listen(fd, 512) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len) != 0) {
            close(fd);
            return false;
        }
        port = ntohs(in.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            signal(SIGCHLD, SIG_IGN);
            for (;;) {
                const int c = accept(fd, nullptr, nullptr);
                if (c >= 0 && fork() == 0)
                    Serve(c);
                if (c >= 0)
                    close(c);
            }
        }
        close(fd);
        return pid_ > 0;
    }
    void Stop() { testsupport::Stop(pid_, SIGKILL); }
    std::string Url(const std::string &host, const std::string &path) const
    {
        return "http://" + host + ":" + std::to_string(port) + path;
    }

  private:
    pid_t pid_ = 0;

    [[noreturn]] static void Serve(int c)
    {
        std::string req;
        char buf[4096];
        ssize_t r;
        while (req.find("\r\n\r\n") == std::string::npos && (r = read(c, buf, sizeof buf)) > 0)
            req.append(buf, static_cast<size_t>(r));
        const size_t sp = req.find(' ');
        std::string path = sp == std::string::npos ? "/" : req.substr(sp + 1, req.find(' ', sp + 1) - sp - 1);
        bool slow = false, drip = false;
        if (path.rfind("/slow/", 0) == 0)
            slow = true, path = path.substr(5);
        if (path.rfind("/drip/", 0) == 0)
            drip = true, path = path.substr(5);
        const size_t n = strtoul(path.c_str() + 1, nullptr, 10);
        if (slow)
            sleep(1);
        std::string all = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
        for (size_t i = 0; i < n; ++i)
            all.push_back(static_cast<char>('a' + i % 26));
        const size_t piece = drip ? 32768 : all.size();
        for (size_t off = 0; off < all.size(); off += static_cast<size_t>(r)) {
            r = write(c, all.data() + off, std::min(piece, all.size() - off));
            if (r <= 0)
                break;
            if (drip)
                usleep(20000);
        }
        shutdown(c, SHUT_WR);
        while (read(c, buf, sizeof buf) > 0) {}
        _exit(0);
    }
};

// warden, and its sessions as warden-top --json streams them: every line
// merged into the latest state of its record key.
class Warden {
  public:
    bool Start()
    {
        // Its pipe writable by everyone, so that a server running as
        // another user can report.
        if (!warden_.Start({{}, 0, {}, false, [] { umask(0); }}))
            return false;
        // Ready once its pipe has a reader.  The test keeps a writer open
        // from then on: a collector that sees its last writer go pauses a
        // while.  The viewer port is not probed: a probe would take one of
        // the daemon's few viewer places.
        for (long end = NowMs() + 10000; keeper_ < 0 && NowMs() < end; usleep(20000))
            keeper_ = open("/tmp/mon.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        const bool ready = keeper_ >= 0;
        top_ = Spawn({WARDEN_TOP_BIN, "--json"}, {}, "/tmp/top.jsonl");
        offset_ = 0;
        // warden-top retries until the viewer port answers: wait until its
        // connection is up, so that it misses no change.
        for (long end = NowMs() + 10000; NowMs() < end; usleep(20000))
            if (ready && ViewerConnected())
                return true;
        return false;
    }
    // An established TCP connection to the viewer port in this namespace.
    static bool ViewerConnected()
    {
        char port[8];
        snprintf(port, sizeof port, ":%04X", MON_VIEWER_PORT);
        const std::string tcp = ReadFile("/proc/net/tcp");
        for (size_t at = tcp.find('\n'); at != std::string::npos; at = tcp.find('\n', at + 1)) {
            char local[64], remote[64];
            unsigned state = 0;
            if (sscanf(tcp.c_str() + at + 1, "%*d: %63s %63s %x", local, remote, &state) == 3 &&
                state == 1 && strstr(remote, port) != nullptr)
                return true;
        }
        return false;
    }
    void Stop()
    {
        testsupport::Stop(top_);
        warden_.Stop();
        if (keeper_ >= 0)
            close(keeper_);
        keeper_ = -1;
        offset_ = 0;
    }
    // Every record seen so far, by key.
    const std::map<std::string, nlohmann::json> &Records()
    {
        const std::string all = ReadFile("/tmp/top.jsonl");
        size_t nl;
        while ((nl = all.find('\n', offset_)) != std::string::npos) {
            const auto j = nlohmann::json::parse(all.substr(offset_, nl - offset_), nullptr, false);
            if (j.is_object() && j.contains("key"))
                records_[j["key"].get<std::string>()] = j;
            offset_ = nl + 1;
        }
        return records_;
    }
    // The ended records of proxy process pid that match pred, once n of
    // them are there (or after a bound).
    template <class Pred>
    std::vector<nlohmann::json> Ended(pid_t pid, size_t n, Pred pred, int ms = 15000)
    {
        std::vector<nlohmann::json> out;
        for (long end = NowMs() + ms; NowMs() < end; usleep(50000)) {
            out.clear();
            for (const auto &kv : Records())
                if (kv.second.value("pid", 0) == pid && kv.second.value("state", "") == "ended" &&
                    pred(kv.second))
                    out.push_back(kv.second);
            if (out.size() >= n)
                break;
        }
        return out;
    }
    void Forget() { Records(), records_.clear(); }

  private:
    testsupport::Warden warden_;  // the daemon fixture
    pid_t top_ = 0;
    int keeper_ = -1;
    size_t offset_ = 0;
    std::map<std::string, nlohmann::json> records_;
};

// The port of a record's "client" address, "127.0.0.1:PORT".
inline int ClientPort(const nlohmann::json &r)
{
    const std::string c = r.value("client", "");
    const size_t colon = c.rfind(':');
    return colon == std::string::npos ? -1 : atoi(c.c_str() + colon + 1);
}

}  // namespace watchtest

#endif  // QUELM_WATCH_SUPPORT_H
