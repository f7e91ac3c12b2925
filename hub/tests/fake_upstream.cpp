/*
 * fake_upstream.cpp - a stand-in for warden's viewer server, for the hub's
 * tests and benchmark: listens on ADDR, port 5051, and answers change-stream
 * requests from a synthetic table of sessions whose counters move at a set
 * rate.  Each connection has its own set of changed records, as a viewer
 * slot has its change bits.  Frames and record messages come from the
 * library (Mon_TcpRecv, Mon_TcpSend, ParcelPutData).
 *
 * Usage: hub-fake-upstream [--listen ADDR] [--sessions N]
 *          [--changes-per-second R] [--churn PERCENT] [--bad-every K]
 * Prints "ready" on standard output once it listens.
 */
#include <quelm/monitor.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Table {
    std::mutex mu;
    std::vector<MonData_t> recs;
    std::vector<std::vector<uint8_t> *> changed;  /* one per connection */
    uint32_t nextHandle = 0;
};

void FillAddr(unsigned char *block, uint32_t ip, uint16_t port)
{
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(ip);
    sin.sin_port = htons(port);
    std::memset(block, 0, MON_ADDR_SIZE);
    std::memcpy(block, &sin, sizeof sin);
}

void NewSession(Table &t, MonData_t *rec)
{
    const uint32_t i = t.nextHandle++;
    std::memset(rec, 0, sizeof *rec);
    rec->pid = 4242;
    rec->handleNum = i;
    rec->recordNum = 0;
    rec->startTime = static_cast<int32_t>(time(nullptr));
    rec->eventTime = rec->startTime;
    rec->flags = MON_FLAG_ALIVE;
    FillAddr(rec->addrA, 0x0a000000u + (i & 0xffff), static_cast<uint16_t>(40000 + i % 20000));
    FillAddr(rec->addrB, 0xc0a80000u + (i % 251), 443);
    std::snprintf(rec->text1, sizeof rec->text1, "user%u", i % 50);
    std::snprintf(rec->text2, sizeof rec->text2, "dest%u.example:443", i);
    std::snprintf(rec->text3, sizeof rec->text3, "CONNECT");
    std::snprintf(rec->text4, sizeof rec->text4, "fake-upstream");
    std::snprintf(rec->statusText, sizeof rec->statusText, "succeeded");
}

void Serve(Table *t, int fd, int badEvery)
{
    auto changed = std::make_unique<std::vector<uint8_t>>();
    {
        std::lock_guard<std::mutex> lock(t->mu);
        changed->assign(t->recs.size(), 1);  /* a new viewer first gets every session */
        t->changed.push_back(changed.get());
    }
    std::vector<unsigned char> buf(MON_MSG_MAX);
    std::vector<MonData_t> out;
    long streams = 0;
    for (;;) {
        const int n = Mon_TcpRecv(fd, MON_MSG_MAX, buf.data());
        if (n <= 0 || buf[0] != 2)
            break;
        const bool all = buf[1] != 0;
        out.clear();
        {
            std::lock_guard<std::mutex> lock(t->mu);
            for (size_t i = 0; i < t->recs.size(); ++i) {
                if (all || (*changed)[i]) {
                    out.push_back(t->recs[i]);
                    out.back().flags = (*changed)[i] ? MON_FLAG_UPDATE : 0;
                    if ((t->recs[i].flags & MON_FLAG_ALIVE) == 0)
                        out.back().flags |= MON_FLAG_END;
                    (*changed)[i] = 0;
                }
            }
        }
        bool ok = true;
        ++streams;
        if (badEvery > 0 && streams % badEvery == 0) {
            unsigned char bad[MON_MSG_HEADER] = {9};  /* wrong type byte */
            ok = Mon_TcpSend(fd, sizeof bad, bad) >= 0;
        }
        for (const MonData_t &rec : out) {
            if (!ok)
                break;
            const int len = ParcelPutData(&rec, buf.data());
            ok = Mon_TcpSend(fd, len, buf.data()) >= 0;
        }
        if (!ok || Mon_TcpSend(fd, 0, buf.data()) < 0)
            break;
    }
    {
        std::lock_guard<std::mutex> lock(t->mu);
        for (auto it = t->changed.begin(); it != t->changed.end(); ++it)
            if (*it == changed.get()) {
                t->changed.erase(it);
                break;
            }
    }
    close(fd);
}

/* Moves `rate` records a second: counters grow, and `churn` percent of the
 * changes end a session and start a new one in its place. */
void Churn(Table *t, double rate, int churn)
{
    std::mt19937 rng(12345);
    const auto step = std::chrono::milliseconds(10);
    double owed = 0;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += step;
        std::this_thread::sleep_until(next);
        owed += rate * 0.01;
        std::lock_guard<std::mutex> lock(t->mu);
        if (t->recs.empty())
            continue;
        const int32_t now = static_cast<int32_t>(time(nullptr));
        for (; owed >= 1; owed -= 1) {
            const size_t i = rng() % t->recs.size();
            MonData_t &rec = t->recs[i];
            if ((rec.flags & MON_FLAG_ALIVE) == 0) {
                NewSession(*t, &rec);
            } else if (static_cast<int>(rng() % 100) < churn) {
                rec.flags &= ~MON_FLAG_ALIVE;
                rec.endTime = now;
            } else {
                rec.countA += 1000 + rng() % 5000;
                rec.countB += 10000 + rng() % 50000;
            }
            rec.eventTime = now;
            for (auto *c : t->changed)
                (*c)[i] = 1;
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    std::string listenAddr = "127.0.0.1";
    long sessions = 100;
    double rate = 0;
    int churn = 0;
    int badEvery = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string o = argv[i];
        if (o == "--listen")
            listenAddr = argv[i + 1];
        else if (o == "--sessions")
            sessions = std::atol(argv[i + 1]);
        else if (o == "--changes-per-second")
            rate = std::atof(argv[i + 1]);
        else if (o == "--churn")
            churn = std::atoi(argv[i + 1]);
        else if (o == "--bad-every")
            badEvery = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "hub-fake-upstream: unknown option %s\n", o.c_str());
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    Table table;
    table.recs.resize(static_cast<size_t>(sessions));
    for (MonData_t &rec : table.recs)
        NewSession(table, &rec);

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(MON_VIEWER_PORT);
    if (inet_pton(AF_INET, listenAddr.c_str(), &sin.sin_addr) != 1 ||
        bind(lfd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0 || listen(lfd, 16) != 0) {
        std::perror("hub-fake-upstream: listen");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (rate > 0)
        std::thread(Churn, &table, rate, churn).detach();
    for (;;) {
        const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            std::thread(Serve, &table, fd, badEvery).detach();
    }
}
