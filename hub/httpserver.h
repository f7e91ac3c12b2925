/*
 * httpserver.h - the hub's HTTP server: routes registered by method and
 * path, each a handler that gets the request (method, path, query
 * parameters, headers) and returns a status, a content type and a body, or
 * a source that produces the body piece by piece (a large table, an event
 * stream).  Built on libmicrohttpd, with the limits a server facing
 * untrusted clients needs: connections in all and per peer address, a
 * deadline for a whole request header and for an idle keep-alive, header
 * size and count (431), places for event streams, and the release of a
 * stream whose client takes nothing of what it is sent.
 */
#ifndef WARDEN_HUB_HTTPSERVER_H
#define WARDEN_HUB_HTTPSERVER_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace hub {

struct HttpRequest {
    std::string method;  /* "GET", "HEAD", ... */
    std::string path;    /* without the query, decoded */
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers;  /* names in lower case */

    /* The query parameter or header, "" when absent. */
    std::string Param(const std::string &name) const;
    std::string Header(const std::string &lowerName) const;
};

/* A body produced in pieces, on the server's threads. */
class BodySource {
public:
    enum class Step {
        More,  /* appended something (or nothing yet): call again          */
        Wait,  /* nothing to give now: call again after HttpServer::Wake() */
        End,   /* the body is complete (whatever was appended is the last)  */
    };
    virtual ~BodySource() = default;
    virtual Step Next(std::string *out) = 0;
};

struct HttpReply {
    int status = 200;
    std::string type;  /* Content-Type */
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<BodySource> source;  /* when set, the body comes from it */
    bool eventStream = false;            /* source is an event stream: takes a place */
};

using HttpHandler = std::function<HttpReply(const HttpRequest &)>;

struct HttpLimits {
    unsigned connections = 256;     /* open at once, in all ...               */
    unsigned perAddress = 64;       /* ... and from one peer address          */
    unsigned headerSeconds = 5;     /* a whole request header, from the connect */
    unsigned idleSeconds = 10;      /* a kept-alive connection between requests */
    unsigned ioSeconds = 10;        /* no byte moved while a reply is under way */
    size_t memoryPerConnection = 32 * 1024;  /* header and buffers: larger is 431 */
    unsigned headersMax = 100;      /* header lines of a request: more is 431 */
    unsigned threads = 8;           /* a scrape rarely shares one with a table read */
    unsigned streams = 32;          /* event streams at once: more get 503    */
    size_t unreadMax = 8 * 1024;    /* a stream client leaving more than this unread ... */
    unsigned stallSeconds = 10;     /* ... and taking none of it this long is let go      */
};

class HttpServer {
public:
    explicit HttpServer(HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    /* Routes method (a GET route also answers HEAD) and exact path to
     * handler.  Before Listen(). */
    void Route(const std::string &method, const std::string &path, HttpHandler handler);

    /* Listens on host (an IPv4 or IPv6 literal, or "localhost") and port
     * and serves on threads of its own: false with *err set on failure. */
    bool Listen(const std::string &host, uint16_t port, std::string *err);

    /* Calls again every waiting source; from any thread. */
    void Wake();

    /* Ends every connection and the threads. */
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace hub

#endif /* WARDEN_HUB_HTTPSERVER_H */
