/*
 * httpserver.cpp - the hub's HTTP layer on libmicrohttpd.  The library
 * gives the connection caps (in all, per address), the per-connection
 * memory pool (a header that does not fit is answered 431), an inactivity
 * timeout and suspend/resume for bodies that wait for data.  Here: the
 * routes, the count of header lines, the places for event streams, and the
 * table of open connections that the sweeping thread (httpsweep.cpp) walks
 * for what the library lacks: a deadline for a whole request header, one
 * for an idle kept-alive connection, and the release of a stream whose
 * client takes nothing.
 */
#include "httpserver.h"
#include "httpconns.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace hub {

namespace {

const char *const kTextType = "text/plain; charset=utf-8";

}  // namespace


namespace {

/* The body of a reply whose source produces it. */
struct Body {
    HttpServer::Impl *impl;
    Conn *conn;
    std::shared_ptr<BodySource> source;
    bool stream;
    std::string pending;
    size_t off = 0;
    bool ended = false;
};

Conn *ConnOf(MHD_Connection *c)
{
    const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return ci != nullptr ? static_cast<Conn *>(ci->socket_context) : nullptr;
}

void OnConnection(void *cls, MHD_Connection *c, void **socketContext, MHD_ConnectionNotificationCode code)
{
    auto *impl = static_cast<HttpServer::Impl *>(cls);
    std::lock_guard<std::mutex> lock(impl->mu);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *conn = new Conn;
        conn->c = c;
        const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        conn->fd = ci != nullptr ? ci->connect_fd : -1;
        conn->since = Clock::now();
        impl->conns.insert(conn);
        *socketContext = conn;
        return;
    }
    /* Closed: the library closes the descriptor after this notice, so the
     * sweeper (under the same lock) never shuts down a reused one. */
    auto *conn = static_cast<Conn *>(*socketContext);
    if (conn != nullptr) {
        impl->conns.erase(conn);
        delete conn;
        *socketContext = nullptr;
    }
}

void OnCompleted(void *cls, MHD_Connection *c, void **, MHD_RequestTerminationCode)
{
    auto *impl = static_cast<HttpServer::Impl *>(cls);
    std::lock_guard<std::mutex> lock(impl->mu);
    if (Conn *conn = ConnOf(c)) {
        conn->phase = Phase::Idle;
        conn->since = Clock::now();
    }
}

MHD_Result CollectValue(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *m = static_cast<std::map<std::string, std::string> *>(cls);
    std::string k = key != nullptr ? key : "";
    (*m)[k] = value != nullptr ? value : "";
    return MHD_YES;
}

ssize_t ReadBody(void *cls, uint64_t, char *buf, size_t max)
{
    auto *b = static_cast<Body *>(cls);
    while (b->off >= b->pending.size()) {
        if (b->ended)
            return MHD_CONTENT_READER_END_OF_STREAM;
        if (b->stream) {
            std::lock_guard<std::mutex> lock(b->impl->mu);
            if (b->conn->drop)
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        b->pending.clear();
        b->off = 0;
        const BodySource::Step step = b->source->Next(&b->pending);
        if (step == BodySource::Step::End) {
            b->ended = true;
        } else if (step == BodySource::Step::Wait && b->pending.empty()) {
            /* Suspended until Wake(); the flag and the call under one lock,
             * so that Wake() never resumes what is not yet suspended. */
            std::lock_guard<std::mutex> lock(b->impl->mu);
            if (b->conn->drop)
                return MHD_CONTENT_READER_END_WITH_ERROR;
            b->conn->suspended = true;
            MHD_suspend_connection(b->conn->c);
            return 0;
        }
    }
    const size_t n = std::min(max, b->pending.size() - b->off);
    std::memcpy(buf, b->pending.data() + b->off, n);
    b->off += n;
    return static_cast<ssize_t>(n);
}

void FreeBody(void *cls)
{
    auto *b = static_cast<Body *>(cls);
    if (b->stream) {
        std::lock_guard<std::mutex> lock(b->impl->mu);
        --b->impl->streams;
    }
    delete b;
}

MHD_Result Send(MHD_Connection *c, const HttpReply &reply, HttpServer::Impl *impl, Conn *conn)
{
    MHD_Response *r;
    if (reply.source) {
        auto *b = new Body{impl, conn, reply.source, reply.eventStream, {}, 0, false};
        r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, ReadBody, b, FreeBody);
        if (r == nullptr) {
            FreeBody(b);
            return MHD_NO;
        }
    } else {
        r = MHD_create_response_from_buffer(reply.body.size(), const_cast<char *>(reply.body.data()),
                                            MHD_RESPMEM_MUST_COPY);
        if (r == nullptr)
            return MHD_NO;
    }
    if (!reply.type.empty())
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type.c_str());
    for (const auto &[name, value] : reply.headers)
        MHD_add_response_header(r, name.c_str(), value.c_str());
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(reply.status), r);
    MHD_destroy_response(r);
    return ok;
}

HttpReply Text(int status, const std::string &text)
{
    HttpReply r;
    r.status = status;
    r.type = kTextType;
    r.body = text;
    return r;
}

MHD_Result OnRequest(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                     const char *, size_t *uploadSize, void **requestContext)
{
    auto *impl = static_cast<HttpServer::Impl *>(cls);
    Conn *conn = ConnOf(c);
    if (conn == nullptr)
        return MHD_NO;
    HttpRequest req;
    req.method = method != nullptr ? method : "";
    req.path = url != nullptr ? url : "";
    const bool bodyless = req.method == "GET" || req.method == "HEAD";
    /* *requestContext: null at the first call of a request, then &kWaiting
     * until the reply is queued, then &kAnswered. */
    static char kWaiting, kAnswered;
    if (*requestContext == &kAnswered) {
        *uploadSize = 0;  /* a body nobody asked for */
        return MHD_YES;
    }
    if (*requestContext == nullptr) {
        /* The first call: the header is complete. */
        *requestContext = &kWaiting;
        {
            std::lock_guard<std::mutex> lock(impl->mu);
            conn->phase = Phase::Busy;
        }
        const int headers = MHD_get_connection_values(c, MHD_HEADER_KIND, nullptr, nullptr);
        if (headers < 0 || static_cast<unsigned>(headers) > impl->lim.headersMax) {
            *requestContext = &kAnswered;
            return Send(c, Text(MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "too many header lines\n"), impl, conn);
        }
        /* A request without a body is answered on the next call, which
         * keeps the connection alive; one with a body (none is wanted
         * here) is answered now, and the connection closed after it. */
        const bool body = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH) != nullptr ||
                          MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        if (bodyless && !body)
            return MHD_YES;
    }
    *requestContext = &kAnswered;
    std::map<std::string, std::string> raw;
    MHD_get_connection_values(c, MHD_HEADER_KIND, CollectValue, &raw);
    for (auto &[k, v] : raw) {
        std::string lower = k;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
        req.headers[lower] = v;
    }
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, CollectValue, &req.query);

    const std::string lookup = req.method == "HEAD" ? "GET" : req.method;
    auto it = impl->routes.find({lookup, req.path});
    HttpReply reply;
    if (it == impl->routes.end()) {
        const bool other = std::any_of(impl->routes.begin(), impl->routes.end(),
                                       [&](const auto &r) { return r.first.second == req.path; });
        reply = other ? Text(MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n") : Text(MHD_HTTP_NOT_FOUND, "not found\n");
    } else {
        reply = it->second(req);
    }
    if (reply.source && reply.eventStream) {
        std::lock_guard<std::mutex> lock(impl->mu);
        if (impl->streams >= impl->lim.streams) {
            reply = Text(MHD_HTTP_SERVICE_UNAVAILABLE, "too many event streams open\n");
            reply.headers.emplace_back("Retry-After", "10");
        } else {
            ++impl->streams;
            conn->stream = true;
        }
    }
    if (conn->stream) {
        /* An idle stream is kept open on purpose: the sweeper watches it. */
        MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    }
    return Send(c, reply, impl, conn);
}

}  // namespace

std::string HttpRequest::Param(const std::string &name) const
{
    const auto it = query.find(name);
    return it != query.end() ? it->second : "";
}

std::string HttpRequest::Header(const std::string &lowerName) const
{
    const auto it = headers.find(lowerName);
    return it != headers.end() ? it->second : "";
}

HttpServer::HttpServer(HttpLimits limits) : impl_(std::make_unique<Impl>())
{
    impl_->lim = limits;
}

HttpServer::~HttpServer()
{
    Stop();
}

void HttpServer::Route(const std::string &method, const std::string &path, HttpHandler handler)
{
    impl_->routes[{method, path}] = std::move(handler);
}

bool HttpServer::Listen(const std::string &host, uint16_t port, std::string *err)
{
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0) {
        *err = gai_strerror(gai);
        return false;
    }
    int fd = -1;
    int saved = 0;
    bool v6 = false;
    for (struct addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            saved = errno;
            continue;
        }
        const int on = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 128) != 0) {
            saved = errno;
            (void)close(fd);
            fd = -1;
            continue;
        }
        v6 = a->ai_family == AF_INET6;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *err = std::strerror(saved);
        return false;
    }
    const HttpLimits &l = impl_->lim;
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (v6)
        flags |= MHD_USE_IPv6;
    impl_->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, OnRequest, impl_.get(),
        MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, l.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, l.perAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, l.ioSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, l.memoryPerConnection,
        MHD_OPTION_THREAD_POOL_SIZE, l.threads,
        MHD_OPTION_NOTIFY_CONNECTION, OnConnection, impl_.get(),
        MHD_OPTION_NOTIFY_COMPLETED, OnCompleted, impl_.get(),
        MHD_OPTION_END);
    if (impl_->daemon == nullptr) {
        (void)close(fd);
        *err = "the HTTP server did not start";
        return false;
    }
    impl_->sweeper = std::thread([impl = impl_.get()] { impl->Sweep(); });
    return true;
}

void HttpServer::Wake()
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (Conn *conn : impl_->conns) {
        if (conn->suspended) {
            conn->suspended = false;
            MHD_resume_connection(conn->c);
        }
    }
}

void HttpServer::Stop()
{
    if (impl_->daemon == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->smu);
        impl_->stopping = true;
        impl_->scv.notify_all();
    }
    if (impl_->sweeper.joinable())
        impl_->sweeper.join();
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        for (Conn *conn : impl_->conns) {
            conn->drop = true;
            if (conn->suspended) {
                conn->suspended = false;
                MHD_resume_connection(conn->c);
            }
        }
    }
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
}

}  // namespace hub
