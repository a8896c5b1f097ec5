#include "platform/posix/posix_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

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
  const std::string context = "Could not connect to " + peer;
  // Addresses only (and localhost): a statically linked program cannot use
  // the system's name services, and this build is the stand-in for tests.
  // localhost is 127.0.0.1, then ::1, as the Windows build orders it.
  const std::vector<std::string> numerics = host == "localhost" ? std::vector<std::string>{"127.0.0.1", "::1"} : std::vector<std::string>{host};
  std::vector<sockaddr_storage> addresses;
  for (const std::string& numeric : numerics) {
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, numeric.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, numeric.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
    } else {
      throw PosixError("Could not find " + peer + " (the POSIX build takes IP addresses and localhost)", EHOSTUNREACH);
    }
    addresses.push_back(address);
  }
  // One time for all the addresses, so that a host costs at most the time.
  const WaitEnd end(timeout);
  int error = ECONNREFUSED;
  for (const sockaddr_storage& address : addresses) {
    if (end.Passed()) {
      error = ETIMEDOUT;
      break;
    }
    const socklen_t length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    ScopedFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
      error = errno;  // a system without IPv6, say: the next address may do
      continue;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      error = errno;
      if (error != EINPROGRESS) continue;
      // On the way: the socket turns writable when it is settled.
      try {
        WaitFor(fd.Get(), POLLOUT, end, context);
      } catch (const Error& failure) {
        error = static_cast<int>(failure.Number());
        continue;
      }
      socklen_t size = sizeof error;
      if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      if (error != 0) continue;
    }
    return std::make_unique<PosixConnection>(fd.Release(), peer);
  }
  throw PosixError(context, error);
}

}  // namespace saplugin
