/*
 * journal.h - the journal of ended sessions: one JSON line per session,
 * appended with one write() on a descriptor opened with O_APPEND, so that
 * concurrent writers and a crash never leave half a line.  Reopen() follows
 * logrotate's convention: after a rename, SIGHUP makes the hub open a new
 * file under the old name.
 */
#ifndef WARDEN_HUB_JOURNAL_H
#define WARDEN_HUB_JOURNAL_H

#include <mutex>
#include <string>

namespace hub {

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    /* path "-" is standard output.  false with *err set when the file cannot
     * be opened: it is created 0640 if missing, never through a symbolic
     * link, and must be a regular file, a pipe or a character device. */
    bool Open(const std::string &path, std::string *err);

    /* Opens the path again and closes the old descriptor: false with *err
     * set (the old descriptor stays in use) when that fails. */
    bool Reopen(std::string *err);

    /* Appends line and a newline in one write: false with *err set when the
     * write failed or was short. */
    bool Write(const std::string &line, std::string *err);

    bool IsOpen() const;

private:
    int OpenPath(std::string *err) const;

    mutable std::mutex mu_;
    std::string path_;
    int fd_ = -1;
    bool ownFd_ = false;
};

}  // namespace hub

#endif /* WARDEN_HUB_JOURNAL_H */
