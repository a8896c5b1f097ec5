#pragma once

#include <string>

namespace saplugin {

// The two queue files of one picked-up message.
struct QueuePaths {
  std::string pickup_file;   // <data>\QUEUES\<connector>\Inbound\<name>
  std::string message_file;  // <data>\QUEUES\<connector>\Inbound\Messages\<name>
};

}  // namespace saplugin
