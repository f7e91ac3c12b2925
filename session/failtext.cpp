/*
 * failtext.cpp - connect failures in words.  The library answers an
 * unresolvable name with ESRCH or a socket error, so the name is asked of
 * the resolver again here to tell "no such host" from "no answer".
 */
#include "failtext.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace sess {

namespace {

/* Why host cannot be used as the daemon's address, or "" when it can:
 * the library takes a dotted IPv4 address or a name with an IPv4 address. */
std::string UnresolvedWhy(const std::string &host)
{
    struct in_addr a;
    if (inet_aton(host.c_str(), &a) != 0)
        return "";
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc == 0) {
        freeaddrinfo(found);
        return "";
    }
#ifdef EAI_ADDRFAMILY
    if (rc == EAI_ADDRFAMILY)
        return "the host name '" + host + "' has no IPv4 address";
#endif
    if (rc == EAI_AGAIN)
        return "the host name '" + host + "' cannot be resolved now (" + gai_strerror(rc) + ")";
    return "the host name '" + host + "' does not resolve (" + gai_strerror(rc) + ")";
}

}  // namespace

std::string ConnectFailureText(const std::string &where, const std::string &host, int e)
{
    std::string text = "cannot connect to warden at " + where;
    if (e != ECONNREFUSED && e != ETIMEDOUT && e != ENETUNREACH && e != EHOSTUNREACH) {
        if (const std::string why = UnresolvedWhy(host); !why.empty())
            return text + ": " + why;
    }
    if (e == ESRCH)
        return text + ": unknown host";
    if (e != 0)
        text += std::string(": ") + std::strerror(e);
    if (e == ECONNREFUSED)
        text += " (is warden running?)";
    return text;
}

}  // namespace sess
