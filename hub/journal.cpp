/*
 * journal.cpp - whole-line appends to the journal file.  A line is built in
 * memory and handed to the kernel in one write(): with O_APPEND each write
 * lands at the end as one piece, so a hub killed at any instant leaves
 * whole lines behind.
 */
#include "journal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hub {

Journal::~Journal()
{
    (void)Stop(std::chrono::milliseconds(1000));
    if (thread_.joinable())
        thread_.detach();  /* stuck in a write: the process is ending anyway */
    if (ownFd_ && fd_ >= 0)
        (void)close(fd_);
}

int Journal::OpenPath(std::string *err) const
{
    /* O_NONBLOCK: a FIFO planted at the path must not hold the hub in
     * open() (without a reader the open fails at once, with one it opens
     * and is refused below). */
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                        0640);
    if (fd < 0) {
        *err = "cannot open the journal " + path_ + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = "the journal " + path_ + " is not a regular file";
        (void)close(fd);
        return -1;
    }
    /* A file someone else made there could be read (or truncated) by them. */
    if (st.st_uid != geteuid()) {
        *err = "the journal " + path_ + " belongs to another user";
        (void)close(fd);
        return -1;
    }
    (void)fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    return fd;
}

bool Journal::Open(const std::string &path, std::string *err)
{
    std::lock_guard<std::mutex> lock(mu_);
    path_ = path;
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        ownFd_ = false;
        return true;
    }
    const int fd = OpenPath(err);
    if (fd < 0)
        return false;
    fd_ = fd;
    ownFd_ = true;
    return true;
}

bool Journal::Reopen(std::string *err)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!ownFd_)
        return true;
    const int fd = OpenPath(err);
    if (fd < 0)
        return false;
    (void)close(fd_);
    fd_ = fd;
    return true;
}

bool Journal::Write(const std::string &line, std::string *err)
{
    const std::string whole = line + "\n";
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) {
        *err = "the journal is not open";
        return false;
    }
    // A write that crosses a page of the file can be cut short by SIGKILL
    // (the kernel checks for it between pages): a line that would cross one
    // starts on the next page instead, after a blank line of spaces that
    // fills this one (JSON-lines readers skip whitespace).
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    struct stat st;
    if (ownFd_ && whole.size() <= page && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        const size_t room = page - static_cast<size_t>(st.st_size) % page;
        if (room < whole.size() && room < page) {
            std::string pad(room, ' ');
            pad.back() = '\n';
            if (write(fd_, pad.data(), pad.size()) != static_cast<ssize_t>(pad.size())) {
                *err = "cannot write the journal " + path_ + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    ssize_t n;
    do {
        n = write(fd_, whole.data(), whole.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *err = "cannot write the journal " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (static_cast<size_t>(n) != whole.size()) {
        *err = "short write to the journal " + path_ + " (disk full?)";
        return false;
    }
    return true;
}

void Journal::Failed(const std::string &why, uint64_t lines, std::atomic<bool> *episode)
{
    errors_ += lines;
    if (!episode->exchange(true))
        std::fprintf(stderr, "warden-hub: %s\n", why.c_str());
}

bool Journal::WriteWhenReady(const std::string &line, std::string *err)
{
    /* Standard output may be a pipe nobody reads: wait for room in short
     * steps, so that a stop is noticed. */
    if (!ownFd_) {
        for (;;) {
            struct pollfd p = {fd_, POLLOUT, 0};
            const int n = poll(&p, 1, 200);
            if (n > 0)
                break;
            if (n < 0 && errno != EINTR) {
                *err = std::string("cannot write the journal: ") + std::strerror(errno);
                return false;
            }
            std::lock_guard<std::mutex> lock(qmu_);
            if (stopping_ && std::chrono::steady_clock::now() >= giveUp_) {
                *err = "the journal's reader takes nothing";
                return false;
            }
        }
    }
    return Write(line, err);
}

void Journal::Run()
{
    std::unique_lock<std::mutex> lock(qmu_);
    for (;;) {
        qcv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            break;
        std::string line = std::move(queue_.front());
        queue_.pop_front();
        queueBytes_ -= line.size();
        lock.unlock();
        std::string err;
        if (WriteWhenReady(line, &err))
            failing_ = false;
        else
            Failed(err, 1, &failing_);
        lock.lock();
        if (queue_.empty())
            dropping_ = false;  /* caught up: a later overflow is news again */
        if (stopping_ && std::chrono::steady_clock::now() >= giveUp_ && !queue_.empty()) {
            Failed("the journal could not be written before the stop", queue_.size(), &dropping_);
            queue_.clear();
            queueBytes_ = 0;
        }
    }
    ended_ = true;
    qcv_.notify_all();
}

void Journal::Start()
{
    std::lock_guard<std::mutex> lock(qmu_);
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

void Journal::Enqueue(std::string line)
{
    std::unique_lock<std::mutex> lock(qmu_);
    if (stopping_) {
        /* Stopped, or stopping: nothing may wait on the file now. */
        lock.unlock();
        Failed("the journal is closed: a line was dropped", 1, &dropping_);
        return;
    }
    if (!thread_.joinable()) {
        lock.unlock();
        std::string err;
        if (Write(line, &err))
            failing_ = false;
        else
            Failed(err, 1, &failing_);
        return;
    }
    if (queue_.size() >= kQueueLines || queueBytes_ + line.size() > kQueueBytes) {
        lock.unlock();
        Failed("the journal falls behind: lines are dropped", 1, &dropping_);
        return;
    }
    queueBytes_ += line.size();
    queue_.push_back(std::move(line));
    qcv_.notify_one();
}

bool Journal::Stop(std::chrono::milliseconds grace)
{
    std::unique_lock<std::mutex> lock(qmu_);
    if (!thread_.joinable())
        return true;
    if (!stopping_) {
        stopping_ = true;
        giveUp_ = std::chrono::steady_clock::now() + grace;
        qcv_.notify_all();
    }
    if (!qcv_.wait_for(lock, grace + std::chrono::milliseconds(300), [&] { return ended_; }))
        return false;
    lock.unlock();
    thread_.join();
    return true;
}

bool Journal::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0;
}

}  // namespace hub
