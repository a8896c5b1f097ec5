#pragma once

#include <string>

namespace saplugin {

// The two queue files of one picked-up message.
struct QueuePaths {
  std::string pickup_file;   // <data>\QUEUES\<connector>\Inbound\<name>
  std::string message_file;  // <data>\QUEUES\<connector>\Inbound\Messages\<name>
  std::string connector, name;
};

// The queue files of a message of a connector in the data directory.
inline QueuePaths MakeQueuePaths(const std::string& data_directory, const std::string& connector, const std::string& name) {
  const std::string inbound = data_directory + "\\QUEUES\\" + connector + "\\Inbound\\";
  return {inbound + name, inbound + "Messages\\" + name, connector, name};
}

}  // namespace saplugin
