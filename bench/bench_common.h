// bench_common.h - what the daemon benchmarks share: running themselves in
// private namespaces, and a buffered reader of 2-byte-length frames from a
// viewer connection (or a pipe).
#ifndef QUELM_BENCH_COMMON_H
#define QUELM_BENCH_COMMON_H

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// Outside quelm_isolate, runs this program again under it (never to return
// unless that fails, then 1 with a message naming prog); inside, returns 0.
// So a benchmark never meets a real warden, its pipe, store or port.
inline int RunIsolated(int argc, char **argv, const char *isolate, const char *prog)
{
    if (getenv("QUELM_ISOLATED") != nullptr)
        return 0;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = '\0';
    std::vector<char *> args{const_cast<char *>(isolate), self};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(isolate, args.data());
    fprintf(stderr, "%s: %s: ", prog, isolate);
    perror(nullptr);
    return 1;
}

// Figure name -> one value per repetition, for the summary's medians.
inline std::map<std::string, std::vector<double>> results;

// The median of a figure's repetitions (0 when it was not measured).
inline double Median(const std::string &name)
{
    auto it = results.find(name);
    if (it == results.end() || it->second.empty())
        return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd) {}
    // Next frame's payload length (payload in buf), or -1 at end of stream.
    int Next(const unsigned char **payload)
    {
        if (!Fill(2))
            return -1;
        const int len = buf_[pos_] << 8 | buf_[pos_ + 1];
        if (!Fill(2 + static_cast<size_t>(len)))
            return -1;
        *payload = buf_ + pos_ + 2;
        pos_ += 2 + static_cast<size_t>(len);
        return len;
    }

private:
    bool Fill(size_t n)
    {
        if (end_ - pos_ >= n)
            return true;
        memmove(buf_, buf_ + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        while (end_ < n) {
            const ssize_t r = read(fd_, buf_ + end_, sizeof buf_ - end_);
            if (r <= 0)
                return false;
            end_ += static_cast<size_t>(r);
        }
        return true;
    }
    int fd_;
    unsigned char buf_[65536];
    size_t pos_ = 0, end_ = 0;
};


// Reads frames until the empty one; the number of non-empty frames, or -1.
inline int ReadStream(FrameReader &in)
{
    int n = 0;
    const unsigned char *p;
    for (;;) {
        const int len = in.Next(&p);
        if (len < 0)
            return -1;
        if (len == 0)
            return n;
        ++n;
    }
}

#endif // QUELM_BENCH_COMMON_H
