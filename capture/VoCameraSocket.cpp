#include "VoCameraSocket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Log.h"

namespace vocapture {

std::unique_ptr<VoCameraSocket> VoCameraSocket::initWithPort(int port, std::string *problem) {
    const auto fail = [&](const char *why) {
        if (problem != nullptr) *problem = why;
        return nullptr;
    };
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int r = getaddrinfo("localhost", service, &hints, &found); r != 0) {
        const char *why = r == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(r);
        logLine("error: getaddrinfo failed: %s", why);
        return fail(why);
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd < 0) {
        const char *why = std::strerror(errno);
        logLine("error: getaddrinfo failed: %s", why);
        return fail(why);
    }
    if (connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        const char *why = std::strerror(errno);
        logLine("error: unable to connect to port %d: %s", port, why);
        close(fd);
        return fail(why);
    }
    return std::unique_ptr<VoCameraSocket>(new VoCameraSocket(fd));
}

VoCameraSocket::~VoCameraSocket() {
    if (fd_ >= 0) close(fd_);
}

bool VoCameraSocket::sendData(const void *bytes, std::size_t length, std::string *problem) {
    const auto *at = static_cast<const char *>(bytes);
    while (length > 0) {
        // MSG_NOSIGNAL keeps a client that hung up from killing the process
        // even where SIGPIPE has not been ignored (the tests, for one).
        const ssize_t n = send(fd_, at, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            const char *why = std::strerror(errno);
            logLine("error: unable to send data: %s", why);
            if (problem != nullptr) *problem = why;
            return false;
        }
        at += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vocapture
