/*
 * historyrow.cpp - what a history row holds: a store record turned into a
 * row, two rows of one session folded together, address blocks as text,
 * and the checks of the history options.
 */
#include "history.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

HistorySettings_t historySettings;

namespace {

/* A text field of the record, which may lack its terminating zero. */
std::string Field(const char *text, size_t size)
{
    return std::string(text, strnlen(text, size));
}

bool AllZero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

} // namespace

std::string HistoryAddress(const unsigned char *block)
{
    if (AllZero(block, MON_ADDR_SIZE))
        return "";
    sa_family_t family;
    memcpy(&family, block, sizeof family);
    char text[INET6_ADDRSTRLEN + 16];
    if (family == AF_INET && AllZero(block + sizeof(sockaddr_in), MON_ADDR_SIZE - sizeof(sockaddr_in))) {
        sockaddr_in in;
        memcpy(&in, block, sizeof in);
        char a[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &in.sin_addr, a, sizeof a);
        snprintf(text, sizeof text, "%s:%u", a, ntohs(in.sin_port));
        return text;
    }
    if (family == AF_INET6 &&
        AllZero(block + sizeof(sockaddr_in6), MON_ADDR_SIZE - sizeof(sockaddr_in6))) {
        sockaddr_in6 in6;
        memcpy(&in6, block, sizeof in6);
        char a[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &in6.sin6_addr, a, sizeof a);
        snprintf(text, sizeof text, "[%s]:%u", a, ntohs(in6.sin6_port));
        return text;
    }
    // Not an address this system writes: the first bytes in hex, never a guess.
    std::string hex = "0x";
    for (int i = 0; i < 16; ++i) {
        snprintf(text, sizeof text, "%02x", block[i]);
        hex += text;
    }
    return hex;
}

HistoryRow_t HistoryRowFrom(const MonData_t &rec, bool ended)
{
    HistoryRow_t row;
    row.key = {rec.pid, rec.handleNum, rec.recordNum, rec.startTime};
    row.lastUpdate = rec.eventTime > rec.endTime ? rec.eventTime : rec.endTime;
    if (row.lastUpdate < rec.startTime)
        row.lastUpdate = rec.startTime;
    if (ended)
        row.end = rec.endTime >= rec.startTime && rec.endTime != 0 ? rec.endTime : row.lastUpdate;
    row.linkRecord = rec.linkPid == rec.pid && rec.linkHandleNum == rec.handleNum ? rec.linkRecordNum : 0;
    row.client = HistoryAddress(rec.addrA);
    row.resolved = HistoryAddress(rec.addrB);
    row.user = Field(rec.text1, sizeof rec.text1);
    row.destination = Field(rec.text2, sizeof rec.text2);
    row.command = Field(rec.text3, sizeof rec.text3);
    row.proxy = Field(rec.text4, sizeof rec.text4);
    row.status = rec.status;
    row.statusText = Field(rec.statusText, sizeof rec.statusText);
    row.bytesUp = QxMonTotalA(&rec);
    row.bytesDown = QxMonTotalB(&rec);
    return row;
}

void HistoryMerge(HistoryRow_t *row, const HistoryRow_t &newer)
{
    const uint64_t up = row->bytesUp > newer.bytesUp ? row->bytesUp : newer.bytesUp;
    const uint64_t down = row->bytesDown > newer.bytesDown ? row->bytesDown : newer.bytesDown;
    const int64_t end = row->end > newer.end ? row->end : newer.end;
    if (newer.lastUpdate >= row->lastUpdate)
        *row = newer;
    row->bytesUp = up;
    row->bytesDown = down;
    row->end = end;
}

bool HistoryWanted(void)
{
    return !historySettings.sqlitePath.empty() || !historySettings.dbName.empty();
}

bool HistoryCheckSettings(void)
{
    HistorySettings_t &s = historySettings;
    if (!s.sqlitePath.empty() && !s.dbName.empty()) {
        fprintf(stderr, "warden: --history FILE and -n DBNAME exclude each other: one database only\n");
        return false;
    }
    if (s.dbName.empty() && (!s.dbHost.empty() || !s.dbPort.empty() || !s.dbPasswordFile.empty())) {
        fprintf(stderr, "warden: -s, -p and -w need -n DBNAME\n");
        return false;
    }
    if (!HistoryWanted() && (s.keepDays != 0 || !s.spoolPath.empty() || !s.host.empty())) {
        fprintf(stderr, "warden: the --history-* options need --history FILE or -n DBNAME\n");
        return false;
    }
    if (!s.dbPasswordFile.empty()) {
        const int fd = open(s.dbPasswordFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            fprintf(stderr, "warden: cannot read the password file %s: %s\n",
                    s.dbPasswordFile.c_str(), strerror(errno));
            return false;
        }
        close(fd);
    }
    if (s.host.empty()) {
        char name[256] = "";
        if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
            snprintf(name, sizeof name, "localhost");
        s.host = name;
    }
    if (s.spoolPath.empty())
        s.spoolPath = !s.sqlitePath.empty() ? s.sqlitePath + ".spool" : "/tmp/warden-history.spool";
    return true;
}

std::string HistoryNewerSchemaText(const std::string &what, int version)
{
    return "the schema of " + what + " is version " + std::to_string(version) + ", newer than this warden's " +
           std::to_string(kHistorySchemaVersion) + "; nothing is written until warden is upgraded";
}
