/*
 * eventloop.cpp - the event loop: poll(2) over the registered descriptors,
 * waiting no longer than the nearest time event.
 */
#include "eventloop.h"

#include "viewrules.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

EventLoop::File *EventLoop::Find(int fd)
{
    for (File &f : files_)
        if (f.fd == fd)
            return &f;
    return nullptr;
}

void EventLoop::SetFile(int fd, int mask, FileProc proc, void *data)
{
    if (File *f = Find(fd)) {
        *f = File{fd, mask, proc, data};
        return;
    }
    files_.push_back(File{fd, mask, proc, data});
}

void EventLoop::SetMask(int fd, int mask)
{
    if (File *f = Find(fd))
        f->mask = mask;
}

void EventLoop::DelFile(int fd)
{
    files_.erase(std::remove_if(files_.begin(), files_.end(),
                                [fd](const File &f) { return f.fd == fd; }),
                 files_.end());
}

long long EventLoop::AddTimer(long ms, TimeProc proc, void *data)
{
    const long long id = nextTimer_++;
    timers_.push_back(Timer{id, ViewerLater(ViewerNow(), ms), proc, data});
    return id;
}

void EventLoop::MoveTimer(long long id, long ms)
{
    for (Timer &t : timers_)
        if (t.id == id)
            t.when = ViewerLater(ViewerNow(), ms);
}

void EventLoop::SetBeforeSleep(HookProc proc, void *data)
{
    beforeSleep_ = proc;
    beforeSleepData_ = data;
}

// Milliseconds until the nearest time event (rounded up), -1 with none.
int EventLoop::WaitMs() const
{
    if (timers_.empty())
        return -1;
    struct timespec next = timers_.front().when;
    for (const Timer &t : timers_)
        if (ViewerBefore(t.when, next))
            next = t.when;
    const struct timespec now = ViewerNow();
    const long ms = ViewerMsBetween(&now, &next);
    return ms < 0 ? 0 : static_cast<int>(std::min<long>(ms + 1, INT_MAX));
}

// Runs every time event that is due, each once.  A callback may add or
// move timers: the due ones are taken by id first.
void EventLoop::RunTimers()
{
    const struct timespec now = ViewerNow();
    std::vector<long long> due;
    for (const Timer &t : timers_)
        if (!ViewerBefore(now, t.when))
            due.push_back(t.id);
    for (long long id : due) {
        auto it = std::find_if(timers_.begin(), timers_.end(),
                               [id](const Timer &t) { return t.id == id; });
        if (it == timers_.end())
            continue;
        const Timer t = *it;
        const long next = t.proc(this, t.id, t.data);
        it = std::find_if(timers_.begin(), timers_.end(),
                          [id](const Timer &x) { return x.id == id; });
        if (it == timers_.end())
            continue;
        if (next == kEventNoMore)
            timers_.erase(it);
        else
            it->when = ViewerLater(ViewerNow(), next);
    }
}

int EventLoop::Run()
{
    std::vector<struct pollfd> fds;
    std::vector<File> polled;
    while (!stop_) {
        if (beforeSleep_ != nullptr)
            beforeSleep_(this, beforeSleepData_);
        fds.clear();
        polled = files_;
        for (const File &f : polled) {
            short events = 0;
            if (f.mask & kEventReadable)
                events |= POLLIN;
            if (f.mask & kEventWritable)
                events |= POLLOUT;
            fds.push_back({f.fd, events, 0});
        }
        const int r = poll(fds.data(), fds.size(), WaitMs());
        if (r < 0 && errno != EINTR)
            return -1;
        for (size_t i = 0; r > 0 && i < fds.size() && !stop_; ++i) {
            const short got = fds[i].revents;
            if (got == 0)
                continue;
            // A callback before this one may have closed the descriptor, or
            // changed what it waits for: only what is still watched counts.
            const File *now = Find(polled[i].fd);
            if (now == nullptr || now->proc != polled[i].proc || now->data != polled[i].data)
                continue;
            int ready = 0;
            if (got & (POLLIN | POLLERR | POLLHUP))
                ready |= kEventReadable;
            if (got & (POLLOUT | POLLERR | POLLHUP))
                ready |= kEventWritable;
            ready &= now->mask | (got & (POLLERR | POLLHUP) ? kEventReadable | kEventWritable : 0);
            if (ready != 0)
                now->proc(this, now->fd, now->data, ready);
        }
        if (!stop_)
            RunTimers();
    }
    return 0;
}
