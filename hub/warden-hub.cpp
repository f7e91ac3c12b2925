/*
 * warden-hub.cpp - watches one or more warden daemons as an ordinary viewer
 * and serves what they hold over HTTP: Prometheus metrics, the session table
 * as JSON, its changes as Server-Sent Events, a live page, and a journal of
 * ended sessions.  Threads: one per upstream, the HTTP server's pool, and
 * the main thread, which takes the signals (SIGHUP reopens the journal,
 * SIGINT/SIGTERM/SIGQUIT stop) and ticks the state once a second.
 * Exit status 0 after a stop signal, 1 on an error, 2 on a usage error.
 */
#include "history.h"
#include "hubstate.h"
#include "journal.h"
#include "options.h"
#include "upstream.h"
#include "webassets.h"

#include <httplib.h>

#include <malloc.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace hub;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr auto kEventWait = std::chrono::milliseconds(5000);  /* keep-alive comment after this */
constexpr int kHttpThreads = 64;  /* each open event stream holds one */
constexpr int kMaxStreams = 32;   /* event streams at once: the other threads stay for scrapes */
constexpr int kTrimEvery = 10;    /* seconds between handing freed heap back */

void Complain(const std::string &message)
{
    std::fprintf(stderr, "warden-hub: %s\n", message.c_str());
}

std::atomic<int> openStreams{0};

/* Counts an event stream for as long as its provider lives. */
struct StreamSlot {
    StreamSlot() { ++openStreams; }
    ~StreamSlot() { --openStreams; }
    StreamSlot(const StreamSlot &) = delete;
    StreamSlot &operator=(const StreamSlot &) = delete;
};

/* The routes of the HTTP server. */
void Routes(httplib::Server &svr, HubState &state)
{
    for (const WebAsset &a : kWebAssets) {
        const std::string path = std::string("/") + (std::strcmp(a.name, "index.html") == 0 ? "" : a.name);
        svr.Get(path, [&a](const httplib::Request &, httplib::Response &res) {
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.type);
            res.set_header("Cache-Control", "no-cache");
        });
    }
    svr.Get("/metrics", [&state](const httplib::Request &, httplib::Response &res) {
        res.set_content(state.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    svr.Get("/healthz", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("ok\n", "text/plain; charset=utf-8");
    });
    svr.Get("/api/hosts", [&state](const httplib::Request &, httplib::Response &res) {
        res.set_content(state.TotalsJson() + "\n", "application/json");
    });
    svr.Get("/api/sessions", [&state](const httplib::Request &req, httplib::Response &res) {
        SessionFilter f;
        f.host = req.get_param_value("host");
        f.user = req.get_param_value("user");
        f.state = req.get_param_value("state");
        if (!f.state.empty() && f.state != "open" && f.state != "ended") {
            res.status = 400;
            res.set_content("state must be \"open\" or \"ended\"\n", "text/plain; charset=utf-8");
            return;
        }
        uint64_t seq = 0;
        std::string body = state.SessionsJson(f, std::time(nullptr), &seq);
        res.set_header("X-Event-Id", std::to_string(seq));
        /* The charset keeps the library from compressing it: brotli at its
         * default quality takes most of a minute over 10,000 sessions. */
        res.set_content(std::move(body), "application/json; charset=utf-8");
    });
    svr.Get("/api/events", [&state](const httplib::Request &req, httplib::Response &res) {
        /* Where to start: ?since=N (the X-Event-Id of a table read), the
         * Last-Event-ID a reconnecting EventSource sends, else from now. */
        std::string from = req.get_param_value("since");
        if (from.empty())
            from = req.get_header_value("Last-Event-ID");
        uint64_t since = state.LastEvent();
        if (!from.empty()) {
            char *end = nullptr;
            const unsigned long long v = std::strtoull(from.c_str(), &end, 10);
            if (end != from.c_str() && *end == '\0')
                since = v;
        }
        if (openStreams.load() >= kMaxStreams) {
            res.status = 503;
            res.set_header("Retry-After", "10");
            res.set_content("too many event streams open\n", "text/plain; charset=utf-8");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Accel-Buffering", "no");
        auto slot = std::make_shared<StreamSlot>();
        res.set_chunked_content_provider(
            "text/event-stream", [&state, since, slot](size_t, httplib::DataSink &sink) mutable {
                std::vector<std::string> frames;
                uint64_t last = since;
                bool reset = false;
                if (!state.WaitEvents(since, kEventWait, &frames, &last, &reset))
                    return false;
                std::string out;
                if (reset)
                    out = "id: " + std::to_string(last) + "\nevent: reset\ndata: {}\n\n";
                else if (frames.empty())
                    out = ": keep-alive\n\n";
                for (const std::string &f : frames)
                    out += f;
                since = last;
                return sink.write(out.data(), out.size());
            });
    });
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    std::string err;
    switch (ParseOptions(argc, argv, &opt, &err)) {
    case ParseResult::Exit:
        return kExitOk;
    case ParseResult::Usage:
        Complain(err);
        std::fprintf(stderr, "Try 'warden-hub --help'.\n");
        return kExitUsage;
    case ParseResult::Run:
        break;
    }

    /* Large buffers (a table read of 10,000 sessions is megabytes) get
     * their own mappings and go back to the system when freed, instead of
     * raising the threshold and staying in the heap for good. */
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    /* Signals are taken by the main thread alone: block them before any
     * other thread exists, so that every thread inherits the mask. */
    signal(SIGPIPE, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT})
        sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::unique_ptr<Journal> journal;
    if (!opt.journal.empty()) {
        journal = std::make_unique<Journal>();
        if (!journal->Open(opt.journal, &err)) {
            Complain(err);
            return kExitError;
        }
    }

    std::vector<std::string> labels;
    for (const Endpoint &e : opt.upstreams)
        labels.push_back(e.Label());
    HubConfig config;
    config.linger = opt.linger;
    config.rateHold = std::max(config.rateHold, 3 * opt.interval);
    config.perUser = opt.perUser;
    config.usersMax = opt.usersMax;
    HubState state(labels, config, journal.get());

    httplib::Server svr;
    svr.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    svr.set_tcp_nodelay(true);  /* a reply's head and body leave at once */
    Routes(svr, state);
    std::unique_ptr<HistoryDb> history;
    if (!opt.history.empty() && !(history = HistoryOpen(opt.history, &err))) {
        Complain(err);
        return kExitError;
    } else if (history && !err.empty()) {
        Complain(err + "; /api/history answers 503 until the database is reachable");
    }
    using HistoryQuery = HistoryReply (*)(HistoryDb &, const HistoryParams &);
    const std::pair<const char *, HistoryQuery> historyRoutes[] = {
        {"/api/history", HistorySessions}, {"/api/history/summary", HistorySummary}};
    for (const auto &[path, query] : historyRoutes)
        svr.Get(path, [&history, query = query](const httplib::Request &req, httplib::Response &res) {
            if (!history) { /* 204, not 404: the page asks, and a browser logs every 404 */
                res.status = 204;
                return;
            }
            const HistoryReply r = query(*history, HistoryParams(req.params.begin(), req.params.end()));
            res.status = r.status;
            res.set_content(r.body, "application/json; charset=utf-8");
        });
    if (!svr.bind_to_port(opt.listen.host, opt.listen.port)) {
        Complain("cannot listen on " + opt.listen.Label() + ": " +
                 (errno != 0 ? std::strerror(errno) : "not a local address"));
        return kExitError;
    }
    std::atomic<bool> httpEnded{false};
    std::thread http([&svr, &httpEnded] {
        svr.listen_after_bind();
        httpEnded = true;
    });
    std::fprintf(stderr, "warden-hub: serving http://%s/\n", opt.listen.Label().c_str());

    std::vector<std::unique_ptr<Upstream>> upstreams;
    for (size_t i = 0; i < opt.upstreams.size(); ++i) {
        upstreams.push_back(std::make_unique<Upstream>(i, opt.upstreams[i], opt, &state));
        upstreams.back()->Start();
    }

    int status = kExitOk;
    int ticks = 0;
    for (;;) {
        const struct timespec second = {1, 0};
        const int sig = sigtimedwait(&stops, nullptr, &second);
        if (sig == SIGHUP) {
            if (journal && !journal->Reopen(&err))
                Complain(err + "; still writing the old file");
            continue;
        }
        if (sig > 0)
            break;
        if (httpEnded) {
            Complain("the HTTP server stopped");
            status = kExitError;
            break;
        }
        state.Tick(Monotonic(), std::time(nullptr));
        /* A table read of 10,000 sessions builds megabytes in an HTTP
         * thread's heap; without this the process keeps them for good. */
        if (++ticks % kTrimEvery == 0)
            malloc_trim(0);
    }

    state.Stop();
    for (auto &u : upstreams)
        u->Stop();
    svr.stop();
    http.join();
    upstreams.clear();
    return status;
}
