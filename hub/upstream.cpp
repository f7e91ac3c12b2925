/*
 * upstream.cpp - the viewer side of the hub, built on the library's viewer
 * calls alone (QxMonNetOpen, QxMonNetSetTimeout, QxMonRecvNextData,
 * QxMonClose).  A silent daemon costs at most the answer timeout: the
 * library then fails the request with ETIMEDOUT and the handle is closed
 * and opened afresh.
 */
#include "upstream.h"

#include "failtext.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace hub {

namespace {

constexpr double kFullReadEvery = 10.0;  /* seconds: whole store, a safety net for ends a full store dropped unread */
constexpr double kRetryFirst = 0.5;      /* first pause after a failed connect              */
constexpr size_t kBatch = 256;           /* records handed to the state under one lock       */

}  // namespace

double Monotonic()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Upstream::Upstream(size_t index, Endpoint where, const Options &opt, HubState *state)
    : index_(index), where_(std::move(where)), opt_(opt), state_(state)
{
}

Upstream::~Upstream()
{
    Stop();
    if (thread_.joinable())
        thread_.join();
    Close();
}

void Upstream::Start()
{
    thread_ = std::thread([this] { Run(); });
}

void Upstream::Stop()
{
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cv_.notify_all();
}

bool Upstream::PauseUntil(double when)
{
    std::unique_lock<std::mutex> lock(mu_);
    const auto wait = std::chrono::duration<double>(std::max(0.0, when - Monotonic()));
    cv_.wait_for(lock, wait, [this] { return stop_; });
    return !stop_;
}

std::string Upstream::FailureText(int e) const
{
    const std::string where = "warden at " + where_.Label();
    if (e == ETIMEDOUT || e == EAGAIN || e == EWOULDBLOCK) {
        char wait[32];
        std::snprintf(wait, sizeof wait, "%g", opt_.timeout);
        return where + " did not answer within " + wait + " s";
    }
    if (!answered_ && (e == ECONNRESET || e == EPIPE || e == 0))
        return where + " closed the connection at once (is it serving 4 viewers already?)";
    return "lost the connection to " + where + ": " + (e != 0 ? std::strerror(e) : "connection closed");
}

bool Upstream::Open(std::string *err)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_)
            return false;
    }
    answered_ = false;
    errno = 0;
    if (QxMonNetOpen(where_.host.c_str(), MON_CLIENT_VIEWER, &h_) != 0) {
        const int e = errno;
        h_ = nullptr;
        *err = sess::ConnectFailureText(where_.Label(), where_.host, e);
        return false;
    }
    (void)QxMonNetSetTimeout(h_, static_cast<int>(opt_.timeout * 1000));
    return true;
}

void Upstream::Close()
{
    if (h_ != nullptr)
        (void)QxMonClose(h_);
    h_ = nullptr;
}

bool Upstream::Stream(int all, std::string *err)
{
    std::vector<MonData_t> batch(kBatch);
    size_t n = 0;
    state_->BeginStream(index_, all != 0);
    const auto flush = [&] {
        state_->Apply(index_, batch.data(), n, Monotonic(), std::time(nullptr));
        n = 0;
    };
    for (;;) {
        errno = 0;
        const int r = QxMonRecvNextData(h_, all, &batch[n]);
        if (r > 0) {
            answered_ = true;
            if (++n == kBatch)
                flush();
            continue;
        }
        if (r == 0) {
            answered_ = true;
            flush();
            state_->EndStream(index_, Monotonic(), std::time(nullptr));
            return true;
        }
        if (errno == EBADMSG) {
            /* One record the library could not decode; the stream goes on. */
            answered_ = true;
            state_->BadRecord(index_);
            continue;
        }
        flush();
        *err = FailureText(errno);
        return false;
    }
}

void Upstream::Run()
{
    double retry = kRetryFirst;
    bool complained = false;
    for (;;) {
        std::string err;
        if (!Open(&err)) {
            if (err.empty())
                return;  /* stopped */
            state_->Disconnected(index_, err);
            if (!complained)
                std::fprintf(stderr, "warden-hub: %s; retrying\n", err.c_str());
            complained = true;
            if (!PauseUntil(Monotonic() + retry))
                return;
            retry = std::min(retry * 2, opt_.retryMax);
            continue;
        }
        std::fprintf(stderr, "warden-hub: watching warden at %s\n", where_.Label().c_str());
        state_->Connected(index_);
        complained = false;
        retry = kRetryFirst;
        double next = Monotonic();
        double nextFull = next;
        bool ok = true;
        while (ok) {
            const double now = Monotonic();
            const bool full = now >= nextFull;
            ok = Stream(full ? 1 : 0, &err);
            if (ok && full)
                nextFull = now + kFullReadEvery;
            next += opt_.interval;
            if (next < Monotonic())
                next = Monotonic();
            if (ok && !PauseUntil(next)) {
                Close();
                return;
            }
        }
        Close();
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_)
                return;
        }
        state_->Disconnected(index_, err);
        std::fprintf(stderr, "warden-hub: %s; reconnecting\n", err.c_str());
        complained = true;
        if (!PauseUntil(Monotonic() + retry))
            return;
    }
}

}  // namespace hub
