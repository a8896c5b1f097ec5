#include "platform/posix/posix_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/posix_error.h"
#include "platform/posix/scoped_fd.h"
#include "platform/wait_end.h"

namespace saplugin {

namespace {

// Waits until the socket is ready for the events or the wait's end has
// come; throws ETIMEDOUT in the second case.
void WaitFor(int fd, short events, const WaitEnd& end, const std::string& context) {
  pollfd wanted{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&wanted, 1, end.Left());
    if (ready > 0) return;
    if (ready < 0 && errno != EINTR) throw PosixError(context, errno);
    // A wait that INT_MAX cut short, or one that a signal interrupted, goes on.
    if (end.Passed()) throw PosixError(context, ETIMEDOUT);
  }
}

class PosixConnection : public Connection {
 public:
  PosixConnection(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}

  void Send(const char* data, std::size_t size, Milliseconds timeout) override {
    const std::string context = "Could not send to " + peer_;
    const WaitEnd end(timeout);
    while (size > 0) {
      WaitFor(fd_.Get(), POLLOUT, end, context);
      // MSG_NOSIGNAL: a peer that has gone is an error here, not a SIGPIPE.
      const ssize_t sent = ::send(fd_.Get(), data, size, MSG_NOSIGNAL);
      if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (sent < 0) throw PosixError(context, errno);
      data += sent;
      size -= static_cast<std::size_t>(sent);
    }
  }

  void EndSending() override {
    if (::shutdown(fd_.Get(), SHUT_WR) != 0) throw PosixError("Could not end sending to " + peer_, errno);
  }

  std::size_t Receive(char* data, std::size_t size, Milliseconds timeout) override {
    const std::string context = "Could not receive from " + peer_;
    const WaitEnd end(timeout);
    for (;;) {
      WaitFor(fd_.Get(), POLLIN, end, context);
      const ssize_t got = ::recv(fd_.Get(), data, size, 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) throw PosixError(context, errno);
      return static_cast<std::size_t>(got);
    }
  }

 private:
  ScopedFd fd_;
  std::string peer_;
};

}  // namespace

std::unique_ptr<Connection> ConnectTcp(const std::string& host, std::uint16_t port, Milliseconds timeout) {
  const std::string peer = host + ":" + std::to_string(port);
  // Addresses only (and localhost): a statically linked program cannot use
  // the system's name services, and this build is the stand-in for tests.
  sockaddr_storage address{};
  socklen_t length = 0;
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, numeric.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, numeric.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    throw PosixError("Could not find " + peer + " (the POSIX build takes IP addresses and localhost)", EHOSTUNREACH);
  }
  ScopedFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw PosixError("Could not connect to " + peer, errno);
  int error = 0;
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINPROGRESS) throw PosixError("Could not connect to " + peer, errno);
    // On the way: the socket turns writable when it is settled.
    WaitFor(fd.Get(), POLLOUT, WaitEnd(timeout), "Could not connect to " + peer);
    socklen_t size = sizeof error;
    if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) throw PosixError("Could not connect to " + peer, error);
  }
  return std::make_unique<PosixConnection>(fd.Release(), peer);
}

}  // namespace saplugin
