/*
 * warden-hub.cpp - watches one or more warden daemons as an ordinary viewer
 * and serves what they hold over HTTP: Prometheus metrics, the session table
 * as JSON, its changes as Server-Sent Events, a live page, and a journal of
 * ended sessions.  Threads: one per upstream, the HTTP server's, one that
 * wakes waiting event streams, the journal's writer, and the main thread,
 * which takes the signals (SIGHUP reopens the journal, SIGINT/SIGTERM/
 * SIGQUIT stop) and ticks the state once a second.
 * Exit status 0 after a stop signal, 1 on an error, 2 on a usage error.
 */
#include "history.h"
#include "hubstate.h"
#include "httpserver.h"
#include "journal.h"
#include "options.h"
#include "upstream.h"
#include "webassets.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

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
constexpr auto kKeepAlive = std::chrono::seconds(5);  /* comment on an idle event stream */
constexpr auto kWakeEvery = std::chrono::milliseconds(20);
constexpr size_t kRowsPerPiece = 50;       /* sessions per lock taken by a table read */
constexpr size_t kEventBytesPerPiece = 256 * 1024;
constexpr auto kJournalGrace = std::chrono::milliseconds(1000);  /* of the 2 s a stop may take */
constexpr int kTrimEvery = 10;             /* seconds between handing freed heap back */

const char *const kText = "text/plain; charset=utf-8";

void Complain(const std::string &message)
{
    std::fprintf(stderr, "warden-hub: %s\n", message.c_str());
}

HttpReply Reply(std::string body, const char *type, int status = 200)
{
    HttpReply r;
    r.status = status;
    r.type = type;
    r.body = std::move(body);
    return r;
}

/* /api/sessions, a piece at a time: the lock is taken once per piece. */
class SessionsBody : public BodySource {
public:
    SessionsBody(HubState &state, SessionFilter filter) : state_(state), filter_(std::move(filter)) {}
    Step Next(std::string *out) override
    {
        return state_.SessionsChunk(filter_, &cursor_, kRowsPerPiece, out) ? Step::More : Step::End;
    }

private:
    HubState &state_;
    SessionFilter filter_;
    SessionCursor cursor_;
};

/* /api/events: what came after since, a keep-alive comment when nothing
 * did for a while, else waits for HttpServer::Wake(). */
class EventsBody : public BodySource {
public:
    EventsBody(HubState &state, uint64_t since) : state_(state), since_(since) {}
    Step Next(std::string *out) override
    {
        std::vector<std::string> frames;
        uint64_t last = since_;
        bool reset = false;
        if (!state_.WaitEvents(since_, std::chrono::milliseconds(0), &frames, &last, &reset, kEventBytesPerPiece))
            return Step::End;
        const auto now = std::chrono::steady_clock::now();
        if (reset)
            *out = "id: " + std::to_string(last) + "\nevent: reset\ndata: {}\n\n";
        for (const std::string &f : frames)
            *out += f;
        since_ = last;
        if (out->empty() && now - wrote_ >= kKeepAlive)
            *out = ": keep-alive\n\n";
        if (out->empty())
            return Step::Wait;
        wrote_ = now;
        return Step::More;
    }

private:
    HubState &state_;
    uint64_t since_;
    std::chrono::steady_clock::time_point wrote_ = std::chrono::steady_clock::now();
};

/* The routes of the HTTP server: one registration per route. */
void Routes(HttpServer &svr, HubState &state)
{
    for (const WebAsset &a : kWebAssets) {
        const std::string path = std::string("/") + (std::strcmp(a.name, "index.html") == 0 ? "" : a.name);
        svr.Route("GET", path, [&a](const HttpRequest &) {
            HttpReply r = Reply(std::string(reinterpret_cast<const char *>(a.data), a.size), a.type);
            r.headers.emplace_back("Cache-Control", "no-cache");
            return r;
        });
    }
    svr.Route("GET", "/metrics", [&state](const HttpRequest &) {
        return Reply(state.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    svr.Route("GET", "/healthz", [](const HttpRequest &) { return Reply("ok\n", kText); });
    svr.Route("GET", "/api/hosts", [&state](const HttpRequest &) {
        return Reply(state.TotalsJson() + "\n", "application/json");
    });
    svr.Route("GET", "/api/sessions", [&state](const HttpRequest &req) {
        SessionFilter f;
        f.host = req.Param("host");
        f.user = req.Param("user");
        f.state = req.Param("state");
        if (!f.state.empty() && f.state != "open" && f.state != "ended") {
            HttpReply r = Reply("state must be \"open\" or \"ended\"\n", kText);
            r.status = 400;
            return r;
        }
        HttpReply r;
        r.type = "application/json; charset=utf-8";
        /* Taken before the first piece: the events after it cover whatever
         * changed while the pieces were read. */
        r.headers.emplace_back("X-Event-Id", std::to_string(state.LastEvent()));
        r.source = std::make_shared<SessionsBody>(state, std::move(f));
        return r;
    });
    svr.Route("GET", "/api/events", [&state](const HttpRequest &req) {
        /* Where to start: ?since=N (the X-Event-Id of a table read), the
         * Last-Event-ID a reconnecting EventSource sends, else from now. */
        std::string from = req.Param("since");
        if (from.empty())
            from = req.Header("last-event-id");
        uint64_t since = state.LastEvent();
        if (!from.empty()) {
            char *end = nullptr;
            const unsigned long long v = std::strtoull(from.c_str(), &end, 10);
            if (end != from.c_str() && *end == '\0')
                since = v;
        }
        HttpReply r;
        r.type = "text/event-stream";
        r.headers.emplace_back("Cache-Control", "no-cache");
        r.headers.emplace_back("X-Accel-Buffering", "no");
        r.source = std::make_shared<EventsBody>(state, since);
        r.eventStream = true;
        return r;
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

    HttpServer svr;
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
        svr.Route("GET", path, [&history, query = query](const HttpRequest &req) {
            if (!history) /* 204, not 404: the page asks, and a browser logs every 404 */
                return Reply("", kText, 204);
            const HistoryReply r = query(*history, req.query);
            return Reply(r.body, "application/json; charset=utf-8", r.status);
        });
    if (!svr.Listen(opt.listen.host, static_cast<uint16_t>(opt.listen.port), &err)) {
        Complain("cannot listen on " + opt.listen.Label() + ": " + err);
        return kExitError;
    }
    if (journal)
        journal->Start();
    std::fprintf(stderr, "warden-hub: serving http://%s/\n", opt.listen.Label().c_str());

    /* Event streams waiting for data are woken by every new event, and at
     * least once a second for their keep-alive. */
    std::atomic<bool> stopping{false};
    std::thread waker([&] {
        uint64_t seq = state.LastEvent();
        while (!stopping) {
            seq = state.WaitNewer(seq, std::chrono::milliseconds(1000));
            svr.Wake();
            /* A busy upstream makes thousands of events a second: wake
             * the streams for a batch of them, not for each. */
            std::this_thread::sleep_for(kWakeEvery);
        }
    });

    std::vector<std::unique_ptr<Upstream>> upstreams;
    for (size_t i = 0; i < opt.upstreams.size(); ++i) {
        upstreams.push_back(std::make_unique<Upstream>(i, opt.upstreams[i], opt, &state));
        upstreams.back()->Start();
    }

    /* The tick keeps its pace whatever signals come in between. */
    int status = kExitOk;
    int ticks = 0;
    double nextTick = Monotonic() + 1;
    for (;;) {
        const double wait = std::max(0.0, nextTick - Monotonic());
        const struct timespec left = {static_cast<time_t>(wait), static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
        const int sig = sigtimedwait(&stops, nullptr, &left);
        if (sig == SIGHUP) {
            if (journal && !journal->Reopen(&err))
                Complain(err + "; still writing the old file");
        } else if (sig > 0) {
            break;
        }
        const double now = Monotonic();
        if (now < nextTick)
            continue;
        nextTick = std::max(nextTick + 1, now);
        state.Tick(now, std::time(nullptr));
        /* A table read of 10,000 sessions builds megabytes in an HTTP
         * thread's heap; without this the process keeps them for good. */
        if (++ticks % kTrimEvery == 0)
            malloc_trim(0);
    }

    stopping = true;
    state.Stop();
    waker.join();
    svr.Stop();
    for (auto &u : upstreams)
        u->Stop();
    if (journal && !journal->Stop(kJournalGrace)) {
        /* Its thread is stuck in a write nobody takes: end without it. */
        Complain("the journal's last lines could not be written");
        std::fflush(stderr);
        _exit(status);
    }
    upstreams.clear();
    return status;
}
