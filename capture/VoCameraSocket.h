// One short-lived TCP connection to the frame client on the local host: the
// application connects, writes one message and closes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace vocapture {

class VoCameraSocket {
  public:
    // The connected socket, or null after one log line when the port cannot
    // be resolved or nobody listens on it; `problem` then says why.
    static std::unique_ptr<VoCameraSocket> initWithPort(int port, std::string *problem = nullptr);
    ~VoCameraSocket();
    VoCameraSocket(const VoCameraSocket &) = delete;
    VoCameraSocket &operator=(const VoCameraSocket &) = delete;

    // Writes everything, or logs the failure, gives the rest up and says why.
    bool sendData(const void *bytes, std::size_t length, std::string *problem = nullptr);

  private:
    explicit VoCameraSocket(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace vocapture
