/*
 * journal.h - the journal of ended sessions: one JSON line per session,
 * appended with one write() on a descriptor opened with O_APPEND, so that
 * concurrent writers and a crash never leave half a line.  Reopen() follows
 * logrotate's convention: after a rename, SIGHUP makes the hub open a new
 * file under the old name.
 *
 * Once Start() was called, lines are handed over with Enqueue() and written
 * by a thread of the journal's own, so that a slow disk or a pipe nobody
 * reads never holds up the caller; what does not fit in the bounded queue
 * is dropped and counted.
 */
#ifndef WARDEN_HUB_JOURNAL_H
#define WARDEN_HUB_JOURNAL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace hub {

class Journal {
public:
    /* Lines (and bytes of them) the queue holds at most. */
    static constexpr size_t kQueueLines = 10000;
    static constexpr size_t kQueueBytes = 8u << 20;

    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    /* path "-" is standard output (which may be anything: a pipe, a
     * terminal).  false with *err set when the file cannot be opened: it is
     * created 0640 if missing, never through a symbolic link, never blocks
     * (a FIFO is refused), and an existing one must be a regular file owned
     * by this process's user. */
    bool Open(const std::string &path, std::string *err);

    /* Opens the path again and closes the old descriptor: false with *err
     * set (the old descriptor stays in use) when that fails. */
    bool Reopen(std::string *err);

    /* Appends line and a newline in one write: false with *err set when the
     * write failed or was short. */
    bool Write(const std::string &line, std::string *err);

    /* Starts the writing thread; from then on Enqueue() only queues. */
    void Start();

    /* Hands line over for writing: queued when the thread runs (dropped and
     * counted when the queue is full or Stop() was called), else written
     * at once.  Each episode of failures is logged once on standard error:
     * of writes, a run of them between two lines written; of lines that do
     * not fit, a run of them until the queue was emptied. */
    void Enqueue(std::string line);

    /* Stops the thread after it wrote what was queued, waiting at most
     * grace: true when it ended, false when it is still stuck in a write
     * (the process must then end without destroying this object). */
    bool Stop(std::chrono::milliseconds grace);

    /* Lines that could not be written or did not fit in the queue. */
    uint64_t Errors() const { return errors_.load(); }

    bool IsOpen() const;

private:
    int OpenPath(std::string *err) const;
    bool WriteWhenReady(const std::string &line, std::string *err);
    void Failed(const std::string &why, uint64_t lines, std::atomic<bool> *episode);
    void Run();

    mutable std::mutex mu_;  /* the descriptor */
    std::string path_;
    int fd_ = -1;
    bool ownFd_ = false;

    std::mutex qmu_;  /* the queue */
    std::condition_variable qcv_;
    std::deque<std::string> queue_;
    size_t queueBytes_ = 0;
    bool stopping_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point giveUp_{};
    std::thread thread_;

    std::atomic<uint64_t> errors_{0};
    std::atomic<bool> failing_{false};   /* in an episode of write failures  */
    std::atomic<bool> dropping_{false};  /* in one of lines that do not fit  */
};

}  // namespace hub

#endif /* WARDEN_HUB_JOURNAL_H */
