#include "platform/windows/windows_api.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/wait_end.h"
#include "platform/windows/windows_connection.h"
#include "platform/windows/windows_error.h"

namespace saplugin {

namespace {

// Owns one socket and closes it on destruction.
class ScopedSocket {
 public:
  explicit ScopedSocket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
  ~ScopedSocket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;
  SOCKET Get() const { return socket_; }
  SOCKET Release() {
    const SOCKET socket = socket_;
    socket_ = INVALID_SOCKET;
    return socket;
  }

 private:
  SOCKET socket_;
};

// Starts Winsock once for the process; it is never stopped, as the process
// ends soon after.
void StartWinsock() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw WindowsError("Could not start Winsock", static_cast<DWORD>(started));
}

// Waits until the socket can be written (for_writing) or read, or the wait's
// end has come; throws WSAETIMEDOUT in the second case.
void WaitFor(SOCKET socket, bool for_writing, const WaitEnd& end, const std::string& context) {
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed = set;
    const int left = end.Left();
    timeval limit{left / 1000, left % 1000 * 1000};
    const int ready = select(0, for_writing ? nullptr : &set, for_writing ? &set : nullptr, &failed, left < 0 ? nullptr : &limit);
    if (ready == SOCKET_ERROR) throw WindowsError(context, static_cast<DWORD>(WSAGetLastError()));
    if (ready > 0) return;
    if (end.Passed()) throw WindowsError(context, WSAETIMEDOUT);
  }
}

using Addresses = std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)>;

// One lookup by name, shared by the caller and the thread that does it; the
// last of the two to let go frees it, and what was found if nobody took it.
struct NameLookup {
  std::string host, service;
  HANDLE done = nullptr;  // set by the thread when getaddrinfo has answered
  LONG owners = 2;
  int status = 0;
  addrinfo* found = nullptr;
};

// What getaddrinfo is asked for: TCP addresses of either family.
addrinfo StreamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  return hints;
}

void LetGo(NameLookup* lookup) {
  if (InterlockedDecrement(&lookup->owners) != 0) return;
  if (lookup->found != nullptr) freeaddrinfo(lookup->found);
  CloseHandle(lookup->done);
  delete lookup;
}

DWORD WINAPI LookUpName(void* argument) {
  auto* const lookup = static_cast<NameLookup*>(argument);
  const addrinfo hints = StreamHints(0);
  lookup->status = getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &lookup->found);
  SetEvent(lookup->done);
  LetGo(lookup);
  return 0;
}

// The addresses of a host. An IP address is read at once, in this thread,
// without any name service. A name is looked up by getaddrinfo in a thread
// of its own, so that a name server that does not answer costs at most the
// time left before the end: the thread is then left to end by itself and
// frees what it finds.
// The thread and its signal are Win32's own: under Wine, a std::thread's
// lookup with a condition variable now and then never signalled its end on
// a busy machine.
Addresses FindAddresses(const std::string& host, std::uint16_t port, const WaitEnd& end, Milliseconds timeout, const std::string& peer) {
  const std::string service = std::to_string(port);
  const addrinfo hints = StreamHints(AI_NUMERICHOST);
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return {found, freeaddrinfo};

  auto* const lookup = new NameLookup{host, service};
  lookup->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const ScopedHandle thread(lookup->done == nullptr ? nullptr : CreateThread(nullptr, 0, LookUpName, lookup, 0, nullptr));
  if (!thread.Valid()) {
    const DWORD error = GetLastError();
    if (lookup->done != nullptr) CloseHandle(lookup->done);
    delete lookup;
    throw WindowsError("Could not look up " + peer, error);
  }
  const int left = end.Left();
  if (WaitForSingleObject(lookup->done, left < 0 ? INFINITE : static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
    LetGo(lookup);
    throw WindowsError("Could not find " + peer + " within " + std::to_string(timeout) + " ms", WSAETIMEDOUT);
  }
  const int status = lookup->status;
  found = lookup->found;
  lookup->found = nullptr;
  LetGo(lookup);
  if (status != 0) throw WindowsError("Could not find " + peer, static_cast<DWORD>(status));
  return {found, freeaddrinfo};
}

class WindowsConnection : public Connection {
 public:
  WindowsConnection(SOCKET socket, std::string peer) : socket_(socket), peer_(std::move(peer)) {}

  void Send(const char* data, std::size_t size, Milliseconds timeout) override {
    const std::string context = "Could not send to " + peer_;
    const WaitEnd end(timeout);
    while (size > 0) {
      WaitFor(socket_.Get(), true, end, context);
      const int sent = send(socket_.Get(), data, static_cast<int>(size < 65536 ? size : 65536), 0);
      if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
      if (sent == SOCKET_ERROR) throw WindowsError(context, static_cast<DWORD>(WSAGetLastError()));
      data += sent;
      size -= static_cast<std::size_t>(sent);
    }
  }

  void EndSending() override {
    if (shutdown(socket_.Get(), SD_SEND) != 0) {
      throw WindowsError("Could not end sending to " + peer_, static_cast<DWORD>(WSAGetLastError()));
    }
  }

  std::size_t Receive(char* data, std::size_t size, Milliseconds timeout) override {
    const std::string context = "Could not receive from " + peer_;
    const WaitEnd end(timeout);
    for (;;) {
      WaitFor(socket_.Get(), false, end, context);
      const int got = recv(socket_.Get(), data, static_cast<int>(size < 65536 ? size : 65536), 0);
      if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
      if (got == SOCKET_ERROR) throw WindowsError(context, static_cast<DWORD>(WSAGetLastError()));
      return static_cast<std::size_t>(got);
    }
  }

 private:
  ScopedSocket socket_;
  std::string peer_;
};

}  // namespace

std::unique_ptr<Connection> ConnectTcp(const std::string& host, std::uint16_t port, Milliseconds timeout) {
  StartWinsock();
  const std::string peer = host + ":" + std::to_string(port);
  // One time for the lookup and all the addresses: a host costs at most the
  // time, however many addresses its name has.
  const WaitEnd end(timeout);
  const auto found = FindAddresses(host, port, end, timeout, peer);
  std::vector<const addrinfo*> addresses;
  for (const addrinfo* address = found.get(); address != nullptr; address = address->ai_next) addresses.push_back(address);
  // Windows answers localhost with ::1 first; a daemon that listens on IPv4
  // only would cost every run a refused attempt (about a second on Windows).
  if (_stricmp(host.c_str(), "localhost") == 0) {
    std::stable_partition(addresses.begin(), addresses.end(), [](const addrinfo* a) { return a->ai_family == AF_INET; });
  }
  DWORD error = WSAECONNREFUSED;
  for (const addrinfo* address : addresses) {
    if (end.Passed()) {
      error = WSAETIMEDOUT;
      break;
    }
    ScopedSocket socket(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    u_long non_blocking = 1;
    if (socket.Get() == INVALID_SOCKET || ioctlsocket(socket.Get(), FIONBIO, &non_blocking) != 0) {
      error = static_cast<DWORD>(WSAGetLastError());
      continue;
    }
    if (connect(socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
      error = static_cast<DWORD>(WSAGetLastError());
      continue;
    }
    // Connected, or on the way: writable when it succeeds, in the exception
    // set when it fails.
    try {
      WaitFor(socket.Get(), true, end, peer);
    } catch (const Error& failure) {
      error = static_cast<DWORD>(failure.Number());
      continue;
    }
    int socket_error = 0;
    int length = sizeof socket_error;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socket_error), &length) != 0) {
      socket_error = WSAGetLastError();
    }
    if (socket_error == 0) return std::make_unique<WindowsConnection>(socket.Release(), peer);
    error = static_cast<DWORD>(socket_error);
  }
  throw WindowsError("Could not connect to " + peer, error);
}

}  // namespace saplugin
