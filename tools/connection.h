/*
 * connection.h - warden-top's connection to the daemon's viewer port, with
 * the error texts an operator can act on.  Every request is bounded by the
 * answer wait through the library's reply timeout: a daemon that hangs, or
 * whose host vanished, is a lost connection, never a viewer stuck for good.
 */
#ifndef WARDEN_TOP_CONNECTION_H
#define WARDEN_TOP_CONNECTION_H

#include "fieldfmt.h"

#include <quelm/monitor.h>

#include <functional>
#include <string>

namespace wtop {

class Connection {
public:
    /* answerWait: seconds a request may go unanswered (1 or more). */
    Connection(std::string host, int answerWait) : host_(std::move(host)), answerWait_(answerWait) {}
    ~Connection() { Close(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    /* Connects; false with *err set when that fails. */
    bool Open(std::string *err);

    /* Reads one whole change stream (all: the all flag), calling fn with
     * every record.  false with *err set on failure; the connection is then
     * closed. */
    bool Stream(int all, const std::function<void(const MonData_t &)> &fn, std::string *err);

    enum class Found { Yes, No, Failed };

    /* Keyed read of key into *rec.  The library answers -1 both for an
     * empty reply (errno ENOENT) and for a failure; *err is set for the
     * latter, and the connection closed. */
    Found Get(const RecordKey &key, MonData_t *rec, std::string *err);

    void Close();
    bool IsOpen() const { return h_ != nullptr; }
    std::string Where() const;

private:
    bool Stopping(std::string *err);
    std::string FailureText(int e) const;
    std::string OpenFailureText(int e) const;

    std::string host_;
    int answerWait_;
    MonHandle_t *h_ = nullptr;
    bool answered_ = false;  /* a whole answer came on this connection: a stream to its end */
};

}  // namespace wtop

#endif /* WARDEN_TOP_CONNECTION_H */
