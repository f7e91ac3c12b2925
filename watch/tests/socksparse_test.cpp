// The handshake parser against whole handshakes replayed in every split
// across two reads, byte by byte, and cut at every length: the state after
// the pieces must be the state after the whole, a prefix must never be taken
// for a finished or a broken handshake, and relayed data after the handshake
// must be handed back uncounted as handshake.
#include "socksparse.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Handshake {
    const char *name;
    Bytes client;  // what the client sends, request last
    Bytes server;  // what the server answers, reply last
    const char *dest;
    const char *user;
    const char *command;
    int status;
    unsigned done;
};

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string &s) { return Bytes(s.begin(), s.end()); }

std::vector<Handshake> Handshakes()
{
    const Bytes name = Str("localhost");
    const Bytes login = Cat({{1, 5}, Str("alice"), {6}, Str("s3cret")});
    return {
        {"no-auth name", Cat({{5, 2, 0, 2}, {5, 1, 0, 3, 9}, name, {0x1f, 0x90}}),
         {5, 0, 5, 0, 0, 1, 127, 0, 0, 1, 4, 56}, "localhost:8080", "", "CONNECT", 0,
         SP_REQUEST | SP_REPLY},
        {"login IPv4 refused", Cat({{5, 1, 2}, login, {5, 1, 0, 1, 127, 0, 0, 1, 0, 9}}),
         {5, 2, 1, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0}, "127.0.0.1:9", "alice", "CONNECT", 5,
         SP_REQUEST | SP_REPLY},
        {"IPv6 bind, name reply",
         Cat({{5, 1, 0}, {5, 2, 0, 4}, Bytes(15, 0), {1}, {0, 80}}),
         Cat({{5, 0, 5, 0, 0, 3, 4}, Str("host"), {0, 1}}), "[::1]:80", "", "BIND", 0,
         SP_REQUEST | SP_REPLY},
        {"login refused", Cat({{5, 1, 2}, {1, 3}, Str("bob"), {2}, Str("no")}), {5, 2, 1, 1},
         "", "bob", "0x00", 0x101, SP_AUTHFAIL},
        {"SOCKS4", Cat({{4, 1, 0, 80, 127, 0, 0, 1}, Str("carol"), {0}}),
         {0, 90, 0, 0, 0, 0, 0, 0}, "127.0.0.1:80", "carol", "CONNECT", 0, SP_REQUEST | SP_REPLY},
        {"SOCKS4a", Cat({{4, 1, 1, 0, 0, 0, 0, 7}, {0}, Str("example.test"), {0}}),
         {0, 91, 0, 0, 0, 0, 0, 0}, "example.test:256", "", "CONNECT", 91, SP_REQUEST | SP_REPLY},
    };
}

// The parser's state as text, so that two states compare in one assertion
// with a readable difference.
std::string Summary(const SocksParse_t &p)
{
    char dest[300], cmd[8];
    SocksParseDest(&p, dest, sizeof dest);
    return std::string("done=") + std::to_string(p.done) + " dest=" + dest +
           " user=" + std::string(p.user, p.userLen) + " cmd=" + SocksParseCommand(&p, cmd) +
           " status=" + std::to_string(SocksParseStatus(&p));
}

// Feeds a stream in pieces at the cut points; returns the bytes of the
// stream the parser did not take as handshake.
size_t Feed(SocksParse_t &p, const Bytes &s, const std::vector<size_t> &cuts, bool client)
{
    size_t data = 0, from = 0;
    std::vector<size_t> all = cuts;
    all.push_back(s.size());
    for (size_t to : all) {
        const size_t n = to - from;
        const size_t took = client ? SocksParseClient(&p, s.data() + from, n)
                                   : SocksParseServer(&p, s.data() + from, n);
        data += n - took;
        from = to;
    }
    return data;
}

// The server answers each step only after the client sent it, so the two
// streams are fed interleaved: client greeting, server choice, and so on.
// Here both streams are fed whole after one another, which the parser
// allows as well (its directions are independent).
TEST(SocksParse, EverySplitGivesTheStateOfTheWhole)
{
    const Bytes payload = Str("GET / HTTP/1.0\r\n\r\n");
    for (const Handshake &h : Handshakes()) {
        SCOPED_TRACE(h.name);
        SocksParse_t whole{};
        Feed(whole, h.client, {}, true);
        Feed(whole, h.server, {}, false);
        EXPECT_EQ(whole.done, h.done);
        char dest[300], cmd[8];
        SocksParseDest(&whole, dest, sizeof dest);
        EXPECT_STREQ(dest, h.dest);
        EXPECT_EQ(std::string(whole.user, whole.userLen), h.user);
        EXPECT_STREQ(SocksParseCommand(&whole, cmd), h.command);
        EXPECT_EQ(SocksParseStatus(&whole), h.status);
        const std::string want = Summary(whole);

        // Relayed data after the handshake, in the same read as its end.
        const bool relays = (h.done & SP_REPLY) != 0;
        const Bytes client = relays ? Cat({h.client, payload}) : h.client;
        const Bytes server = Cat({h.server, payload});
        for (size_t i = 0; i <= client.size(); ++i) {
            SocksParse_t p{};
            const size_t dataC = Feed(p, client, {i}, true);
            const size_t dataS = Feed(p, server, {std::min(i, server.size())}, false);
            ASSERT_EQ(Summary(p), want) << "cut at " << i;
            if (relays) {
                EXPECT_EQ(dataC, payload.size()) << "cut at " << i;
                EXPECT_EQ(dataS, payload.size()) << "cut at " << i;
            }
        }
        // Byte by byte.
        std::vector<size_t> each;
        for (size_t i = 1; i < client.size(); ++i)
            each.push_back(i);
        SocksParse_t p{};
        const size_t dataC = Feed(p, client, each, true);
        each.clear();
        for (size_t i = 1; i < server.size(); ++i)
            each.push_back(i);
        Feed(p, server, each, false);
        EXPECT_EQ(Summary(p), want);
        if (relays) {
            EXPECT_EQ(dataC, payload.size());
        }
    }
}

TEST(SocksParse, EveryTruncatedLengthIsUnfinishedNeverBroken)
{
    for (const Handshake &h : Handshakes()) {
        SCOPED_TRACE(h.name);
        for (size_t len = 0; len < h.client.size(); ++len) {
            SocksParse_t p{};
            const Bytes cut(h.client.begin(), h.client.begin() + static_cast<long>(len));
            EXPECT_EQ(Feed(p, cut, {}, true), 0u) << "length " << len;
            EXPECT_EQ(p.done & (SP_REQUEST | SP_BAD), 0u) << "length " << len;
            char dest[300];
            EXPECT_EQ(SocksParseDest(&p, dest, sizeof dest), 0u);
            // The rest, arriving later, finishes it as the whole would.
            Feed(p, Bytes(h.client.begin() + static_cast<long>(len), h.client.end()), {}, true);
            EXPECT_EQ(p.done & (SP_REQUEST | SP_BAD), h.done & SP_REQUEST) << "length " << len;
        }
        SocksParse_t full{};
        Feed(full, h.client, {}, true);
        for (size_t len = 0; len < h.server.size(); ++len) {
            SocksParse_t p = full;
            Feed(p, Bytes(h.server.begin(), h.server.begin() + static_cast<long>(len)), {}, false);
            EXPECT_EQ(p.done & (SP_REPLY | SP_AUTHFAIL | SP_BAD), 0u) << "length " << len;
        }
    }
}

TEST(SocksParse, WhatIsNotSocksIsLeftAloneAsData)
{
    struct Case {
        const char *name;
        Bytes client, server;
        size_t dataC;  // bytes handed back as data
    };
    const std::vector<Case> cases = {
        {"HTTP", Str("GET / HTTP/1.1\r\n"), {}, 16},
        {"TLS", {0x16, 3, 1, 0, 0x40}, {}, 5},
        {"no methods", {5, 0}, {}, 1},
        {"bad address type", {5, 1, 0, 5, 1, 0, 9, 1, 2}, {}, 3},
        {"bad login version", {5, 1, 2, 7, 1}, {}, 2},
        {"GSS-API chosen", {5, 1, 1}, {5, 1}, 0},
        {"server speaks first", {}, Str("SSH-2.0-x\r\n"), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SocksParse_t p{};
        EXPECT_EQ(Feed(p, c.client, {}, true), c.dataC);
        Feed(p, c.server, {}, false);
        EXPECT_NE(p.done & SP_BAD, 0u);
        EXPECT_EQ(p.done & (SP_REQUEST | SP_REPLY), 0u);
        // Once broken it stays broken and takes nothing more.
        const Bytes more = {5, 1, 0};
        EXPECT_EQ(SocksParseClient(&p, more.data(), more.size()), 0u);
    }
    // A server that accepts none of the methods offered.
    SocksParse_t p{};
    const Bytes hello = {5, 1, 2}, none = {5, 0xff};
    Feed(p, hello, {}, true);
    Feed(p, none, {}, false);
    EXPECT_EQ(p.done, SP_NOMETHOD);
    // A name whose bytes are not printable is shown, not passed on raw.
    SocksParse_t q{};
    const Bytes req = {5, 1, 0, 5, 1, 0, 3, 3, 'a', '\n', 'b', 0, 1};
    Feed(q, req, {}, true);
    char dest[32];
    SocksParseDest(&q, dest, sizeof dest);
    EXPECT_STREQ(dest, "a?b:1");
}

}  // namespace
