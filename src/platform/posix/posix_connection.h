#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace saplugin {

// A TCP connection over POSIX sockets (see Platform::Connect).
std::unique_ptr<Connection> ConnectTcp(const std::string& host, std::uint16_t port, Milliseconds timeout);

}  // namespace saplugin
