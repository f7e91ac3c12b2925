/*
 * journal.cpp - whole-line appends to the journal file.  A line is built in
 * memory and handed to the kernel in one write(): with O_APPEND each write
 * lands at the end as one piece, so a hub killed at any instant leaves
 * whole lines behind.
 */
#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hub {

Journal::~Journal()
{
    if (ownFd_ && fd_ >= 0)
        (void)close(fd_);
}

int Journal::OpenPath(std::string *err) const
{
    const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0640);
    if (fd < 0) {
        *err = "cannot open the journal " + path_ + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        *err = "the journal " + path_ + " is not a regular file";
        (void)close(fd);
        return -1;
    }
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

bool Journal::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0;
}

}  // namespace hub
