/*
 * historyspool.cpp - the spool file.  A line is the row's fields separated
 * by tabs; a backslash, tab or newline inside a text is written as \\, \t,
 * \n, so every line is one row whatever the proxy reported.
 */
#include "historyspool.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kReadChunk = 256 * 1024;
constexpr int kFields = 17;

void PutText(std::string *out, const std::string &text)
{
    for (char c : text) {
        if (c == '\\')
            *out += "\\\\";
        else if (c == '\t')
            *out += "\\t";
        else if (c == '\n')
            *out += "\\n";
        else
            *out += c;
    }
}

std::string TakeText(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 1 < field.size()) {
            const char n = field[++i];
            out += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool Number(const std::string &field, int64_t *out)
{
    if (field.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = strtoll(field.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool Unsigned(const std::string &field, uint64_t *out)
{
    if (field.empty() || field[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(field.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

} // namespace

std::string HistorySpoolLine(const HistoryRow_t &r)
{
    char nums[256];
    snprintf(nums, sizeof nums, "%" PRIu32 "\t%" PRIu32 "\t%" PRIu32 "\t%" PRId64 "\t%" PRId64
             "\t%" PRId64 "\t%" PRIu32 "\t%" PRId32 "\t%" PRIu64 "\t%" PRIu64,
             r.key.pid, r.key.handle, r.key.record, r.key.start, r.end, r.lastUpdate,
             r.linkRecord, r.status, r.bytesUp, r.bytesDown);
    std::string line = nums;
    for (const std::string *t : {&r.client, &r.destination, &r.resolved, &r.user, &r.proxy,
                                 &r.command, &r.statusText}) {
        line += '\t';
        PutText(&line, *t);
    }
    line += '\n';
    return line;
}

bool HistorySpoolParse(const std::string &line, HistoryRow_t *r)
{
    std::vector<std::string> f;
    size_t from = 0;
    for (;;) {
        const size_t tab = line.find('\t', from);
        f.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos)
            break;
        from = tab + 1;
    }
    if (f.size() != kFields)
        return false;
    int64_t v[8];
    uint64_t up = 0, down = 0;
    for (int i = 0; i < 8; ++i)
        if (!Number(f[i], &v[i]))
            return false;
    if (!Unsigned(f[8], &up) || !Unsigned(f[9], &down))
        return false;
    r->key = {static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]), v[3]};
    r->end = v[4];
    r->lastUpdate = v[5];
    r->linkRecord = static_cast<uint32_t>(v[6]);
    r->status = static_cast<int32_t>(v[7]);
    r->bytesUp = up;
    r->bytesDown = down;
    r->client = TakeText(f[10]);
    r->destination = TakeText(f[11]);
    r->resolved = TakeText(f[12]);
    r->user = TakeText(f[13]);
    r->proxy = TakeText(f[14]);
    r->command = TakeText(f[15]);
    r->statusText = TakeText(f[16]);
    return true;
}

HistorySpool::~HistorySpool()
{
    if (fd_ >= 0)
        close(fd_);
}

bool HistorySpool::Open(const std::string &path, uint64_t limitBytes, std::string *error)
{
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot open the spool " + path + ": " +
                 (fd_ < 0 || errno != 0 ? strerror(errno) : "not a regular file");
        if (fd_ >= 0 && !S_ISREG(st.st_mode))
            *error = "the spool " + path + " is not a regular file";
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    limit_ = limitBytes;
    return true;
}

uint64_t HistorySpool::Append(const std::vector<HistoryRow_t> &rows)
{
    uint64_t dropped = 0;
    std::string block;
    for (const HistoryRow_t &r : rows) {
        const std::string line = HistorySpoolLine(r);
        if (fd_ < 0 || size_ + block.size() + line.size() > limit_) {
            ++dropped;
            continue;
        }
        block += line;
    }
    size_t done = 0;
    while (done < block.size()) {
        const ssize_t n = pwrite(fd_, block.data() + done, block.size() - done,
                                 static_cast<off_t>(size_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done < block.size()) {
        // A short write (disk full): cut back to whole lines and count the rest.
        const size_t keep = block.rfind('\n', done == 0 ? 0 : done - 1);
        const size_t whole = done == 0 || keep == std::string::npos ? 0 : keep + 1;
        for (size_t i = whole; i < block.size(); ++i)
            dropped += block[i] == '\n';
        (void)!ftruncate(fd_, static_cast<off_t>(size_ + whole));
        done = whole;
    }
    size_ += done;
    dropped_ += dropped;
    return dropped;
}

std::vector<HistoryRow_t> HistorySpool::Read(uint64_t *offset, size_t max)
{
    std::vector<HistoryRow_t> rows;
    std::string buf;
    while (rows.size() < max && *offset < size_) {
        buf.resize(kReadChunk);
        const ssize_t n = pread(fd_, buf.data(), buf.size(), static_cast<off_t>(*offset));
        if (n <= 0)
            break;
        buf.resize(static_cast<size_t>(n));
        size_t from = 0;
        size_t nl;
        while (rows.size() < max && (nl = buf.find('\n', from)) != std::string::npos) {
            HistoryRow_t r;
            if (HistorySpoolParse(buf.substr(from, nl - from), &r))
                rows.push_back(std::move(r));
            from = nl + 1;
        }
        if (from == 0) { // no whole line in a chunk: not a spool line; skip it
            *offset += buf.size();
            continue;
        }
        *offset += from;
    }
    return rows;
}

void HistorySpool::Clear()
{
    if (fd_ >= 0 && ftruncate(fd_, 0) == 0)
        size_ = 0;
}
