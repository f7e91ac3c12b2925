/*
 * upstream.h - one watched warden: a thread that holds a viewer connection,
 * drains the change stream at a steady interval, reads the whole store after
 * every (re)connect and now and then to notice sessions that vanished, and
 * reconnects with a growing pause when the daemon goes away.
 */
#ifndef WARDEN_HUB_UPSTREAM_H
#define WARDEN_HUB_UPSTREAM_H

#include "hubstate.h"
#include "options.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace hub {

class Upstream {
public:
    Upstream(size_t index, Endpoint where, const Options &opt, HubState *state);
    ~Upstream();
    Upstream(const Upstream &) = delete;
    Upstream &operator=(const Upstream &) = delete;

    void Start();
    /* Ends the thread: wakes its pauses and cuts a read that waits. */
    void Stop();

private:
    void Run();
    bool Open(std::string *err);
    void Close();
    /* Reads one whole change stream into the state, a batch of records at a
     * time (the lock is not held while the daemon is read); false with *err
     * set, the part read so far applied. */
    bool Stream(int all, std::string *err);
    /* Waits until the monotonic time when, or Stop(); false once stopped. */
    bool PauseUntil(double when);
    std::string FailureText(int e) const;

    size_t index_;
    Endpoint where_;
    const Options &opt_;
    HubState *state_;
    MonHandle_t *h_ = nullptr;
    bool answered_ = false;   /* the daemon answered on this connection      */
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

/* Seconds on a clock that never jumps. */
double Monotonic();

}  // namespace hub

#endif /* WARDEN_HUB_UPSTREAM_H */
