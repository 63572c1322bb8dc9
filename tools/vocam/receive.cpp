// The client end of the capture application's frame socket: each connection
// carries one message, "@Image width=W height=H type=BMP\n" followed by
// W x 3 x H bytes of red, green, blue pixels, or "@Quit\n".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "images.h"

namespace vocam::cli {

namespace {

constexpr std::size_t kLongestHeader = 128;
constexpr std::uint32_t kLargestSide = 65535;
constexpr std::size_t kLargestBody = std::size_t{1} << 30;
// A sender that stops mid-message is given up on rather than waited for.
constexpr int kStallSeconds = 10;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads up to `size` bytes; fewer only at the end of the stream or a stall.
std::size_t readFully(int fd, std::uint8_t *data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// The header line without its line feed; empty when none arrived whole.
std::string readHeader(int fd, bool &complete) {
    std::string line;
    complete = false;
    char c = 0;
    while (line.size() <= kLongestHeader) {
        const ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line;
        if (c == '\n') {
            complete = true;
            return line;
        }
        line += c;
    }
    return line;
}

std::string printable(const std::string &text) {
    std::string out;
    for (const char c : text.substr(0, 60)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out + (text.size() > 60 ? "..." : "");
}

enum class Outcome { Saved, Quit, Rejected };

Outcome serve(int fd, const std::string &folder, int &counter) {
    bool complete = false;
    const std::string header = readHeader(fd, complete);
    if (!complete) {
        errorLine("error: rejected a message: no complete header line (got '" + printable(header) +
                  "')");
        return Outcome::Rejected;
    }
    if (header == "@Quit") return Outcome::Quit;
    unsigned width = 0, height = 0;
    int end = 0;
    const bool parsed = std::sscanf(header.c_str(), "@Image width=%u height=%u type=BMP%n", &width,
                                    &height, &end) == 2;
    // The header must be exactly what the sender formats, so nothing odd
    // (signs, spaces, leading zeros) slips through the number parsing.
    const std::string expected =
        "@Image width=" + std::to_string(width) + " height=" + std::to_string(height) + " type=BMP";
    if (!parsed || header != expected || width == 0 || height == 0 || width > kLargestSide ||
        height > kLargestSide || std::size_t{width} * height * 3 > kLargestBody) {
        errorLine("error: rejected a message: malformed header '" + printable(header) +
                  "' (expected '@Image width=W height=H type=BMP' or '@Quit')");
        return Outcome::Rejected;
    }
    const std::size_t size = std::size_t{width} * height * 3;
    std::vector<std::uint8_t> pixels(size);
    const std::size_t got = readFully(fd, pixels.data(), size);
    if (got < size) {
        errorLine("error: rejected a message: short image body, " + std::to_string(got) + " of " +
                  std::to_string(size) + " bytes");
        return Outcome::Rejected;
    }
    char name[32];
    std::snprintf(name, sizeof name, "image-%04d.png", ++counter);
    const std::string path = folder + "/" + name;
    writePng(path, Rgb{width, height, std::size_t{width} * 3, 8, pixels.data()});
    std::printf("saved %s (%u x %u)\n", path.c_str(), width, height);
    std::fflush(stdout);
    return Outcome::Saved;
}

}  // namespace

int receiveCommand(int port, const std::string &folder) {
    if (port < 0 || port > 65535) usage("error: --port must be 0 to 65535");
    checkWritable(folder + "/image-0001.png");
    Descriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0)
        throw Failure(std::string("error: cannot create a socket: ") + std::strerror(errno));
    const int yes = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 8) != 0)
        throw Failure("error: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                      std::strerror(errno) + " (choose another --port)");
    socklen_t length = sizeof address;
    getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length);
    std::printf("listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    int counter = 0, rejected = 0;
    const Polling polling;  // Ctrl-C ends the loop, which then sums up
    while (!interrupted()) {
        pollfd waiting{listener.get(), POLLIN, 0};
        if (poll(&waiting, 1, 200) <= 0) continue;
        Descriptor client(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.get() < 0) continue;
        timeval stall{kStallSeconds, 0};
        setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
        const Outcome outcome = serve(client.get(), folder, counter);
        if (outcome == Outcome::Quit) break;
        if (outcome == Outcome::Rejected) ++rejected;
    }
    std::printf("%d image(s) saved, %d message(s) rejected\n", counter, rejected);
    if (rejected > 0)
        throw Failure("error: " + std::to_string(rejected) + " message(s) were rejected");
    return 0;
}

}  // namespace vocam::cli
