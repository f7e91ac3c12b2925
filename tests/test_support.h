// test_support.h - helpers the daemon-level test programs share: waiting for
// a condition with a bound, reading a whole file, and a raw viewer connection
// to the daemon's port on loopback.
#ifndef QUELM_TEST_SUPPORT_H
#define QUELM_TEST_SUPPORT_H

#include <quelm/monitor.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace testsupport {

// Polls cond every 5 ms: true once it holds, false after ms milliseconds.
// The bound only turns a hang into a failure; no test measures time with it.
inline bool WaitFor(const std::function<bool()> &cond, int ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The whole file at path, or "" when it cannot be read.
inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A TCP connection to the viewer port on 127.0.0.1, or -1.
inline int ConnectViewer()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MON_VIEWER_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace testsupport

#endif  // QUELM_TEST_SUPPORT_H
