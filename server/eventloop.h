/*
 * eventloop.h - a small single-threaded event loop: file events (a
 * descriptor readable or writable), time events (a callback due at a time,
 * which names its next delay or ends), and a hook run before every wait.
 * It knows nothing of what it serves; the fan-out's viewer logic lives
 * elsewhere and registers its callbacks here.
 */
#ifndef WARDEN_EVENTLOOP_H
#define WARDEN_EVENTLOOP_H

#include <ctime>
#include <vector>

constexpr int kEventNone = 0;
constexpr int kEventReadable = 1;
constexpr int kEventWritable = 2;

/* A time event's callback returns this to end, else its next delay in ms. */
constexpr long kEventNoMore = -1;

class EventLoop;
using FileProc = void (*)(EventLoop *loop, int fd, void *data, int mask);
using TimeProc = long (*)(EventLoop *loop, long long id, void *data);
using HookProc = void (*)(EventLoop *loop, void *data);

class EventLoop {
public:
    /* Watches fd for mask (kEventReadable, kEventWritable or both, replacing
     * what was watched; kEventNone keeps it registered but idle), calling
     * proc(loop, fd, data, ready) when some of it is ready. */
    void SetFile(int fd, int mask, FileProc proc, void *data);

    /* Changes what fd is watched for; nothing when fd is not registered. */
    void SetMask(int fd, int mask);

    /* Stops watching fd (before it is closed). */
    void DelFile(int fd);

    /* Calls proc in ms milliseconds; its id. */
    long long AddTimer(long ms, TimeProc proc, void *data);

    /* Moves a time event to ms milliseconds from now. */
    void MoveTimer(long long id, long ms);

    /* Runs proc before every wait. */
    void SetBeforeSleep(HookProc proc, void *data);

    /* Ends Run after the current round. */
    void Stop() { stop_ = true; }

    /* Waits and dispatches until Stop: 0, or -1 (errno kept) when the wait
     * itself failed. */
    int Run();

private:
    struct File {
        int fd;
        int mask;
        FileProc proc;
        void *data;
    };
    struct Timer {
        long long id;
        struct timespec when;
        TimeProc proc;
        void *data;
    };
    File *Find(int fd);
    int WaitMs() const;
    void RunTimers();

    std::vector<File> files_;
    std::vector<Timer> timers_;
    long long nextTimer_ = 1;
    HookProc beforeSleep_ = nullptr;
    void *beforeSleepData_ = nullptr;
    bool stop_ = false;
};

#endif /* WARDEN_EVENTLOOP_H */
