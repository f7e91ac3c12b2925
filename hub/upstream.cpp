/*
 * upstream.cpp - the viewer side of the hub, built on the library's viewer
 * calls alone (QxMonNetOpen, QxMonRecvNextData, QxMonClose).  The library
 * has no call yet that bounds how long a reply is waited for, so the one
 * place that does it (BoundAnswerWait) finds the handle's socket among the
 * process's descriptors and sets receive and send timeouts on it.  Opens
 * and closes of viewer handles are serialised so that the socket a new
 * handle brought is the one viewer socket that was not there before.
 */
#include "upstream.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

namespace hub {

namespace {

constexpr double kFullReadEvery = 10.0;  /* seconds: whole store, for ends no change bit tells */
constexpr double kRetryFirst = 0.5;      /* first pause after a failed connect              */
constexpr size_t kBatch = 256;           /* records handed to the state under one lock       */

/* Held across every open and close of a viewer handle in this process. */
std::mutex handleMu;

bool IsViewerSocket(int fd)
{
    int type = 0;
    socklen_t typeLen = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_STREAM)
        return false;
    struct sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0)
        return false;
    uint16_t port = 0;
    if (peer.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const struct sockaddr_in *>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const struct sockaddr_in6 *>(&peer)->sin6_port);
    return port == MON_VIEWER_PORT;
}

/* The process's descriptors that are connections to a viewer port. */
std::set<int> ViewerSockets()
{
    std::set<int> found;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return found;
    const int own = dirfd(dir);
    while (const struct dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd < 0 || fd == own)
            continue;
        if (IsViewerSocket(static_cast<int>(fd)))
            found.insert(static_cast<int>(fd));
    }
    closedir(dir);
    return found;
}

/* The single place that bounds a viewer handle's waits: once the library
 * offers a timeout call for a viewer handle, it replaces this function and
 * the descriptor search.  Returns the socket found, or -1 (waits then stay
 * unbounded). */
int BoundAnswerWait(const std::set<int> &before, double seconds)
{
    std::set<int> added;
    for (int fd : ViewerSockets())
        if (before.count(fd) == 0)
            added.insert(fd);
    if (added.size() != 1)
        return -1;
    const int fd = *added.begin();
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - std::floor(seconds)) * 1e6);
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

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
    std::lock_guard<std::mutex> handles(handleMu);
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    if (fd_ >= 0)
        (void)shutdown(fd_, SHUT_RDWR);
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
    if (e == EAGAIN || e == EWOULDBLOCK) {
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
    std::lock_guard<std::mutex> handles(handleMu);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_)
            return false;
    }
    answered_ = false;
    const std::set<int> before = ViewerSockets();
    errno = 0;
    if (QxMonNetOpen(where_.host.c_str(), MON_CLIENT_VIEWER, &h_) != 0) {
        const int e = errno;
        h_ = nullptr;
        *err = "cannot connect to warden at " + where_.Label();
        if (e == ESRCH)
            *err += ": unknown host";
        else if (e != 0)
            *err += std::string(": ") + std::strerror(e);
        if (e == ECONNREFUSED)
            *err += " (is warden running?)";
        return false;
    }
    const int fd = BoundAnswerWait(before, opt_.timeout);
    std::lock_guard<std::mutex> lock(mu_);
    fd_ = fd;
    return true;
}

void Upstream::Close()
{
    std::lock_guard<std::mutex> handles(handleMu);
    {
        std::lock_guard<std::mutex> lock(mu_);
        fd_ = -1;  /* before the descriptor can be reused */
    }
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
