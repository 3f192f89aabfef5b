// The JSON-RPC client of command-line mode: one request at a time over the app's socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "connection/descriptor.h"
#include "connection/json.h"
#include "connection/transport.h"

namespace quillore {

class Client {
 public:
  // Takes over a connected socket; command-line mode leaves it to the process exit.
  explicit Client(Descriptor socket);

  // Sends a request with the next id and returns the reply carrying that id, whatever
  // else it holds. Lines that are not that reply are skipped. When the connection
  // fails or closes first, the run ends with exit code 3.
  json request(const std::string& method, const json& params);

  // Sends a notification (no id, no params); a failure shows at the next request.
  void notify(const std::string& method);

 private:
  Descriptor socket_;
  LineReader reader_;  // reads `socket_`
  int64_t nextId_ = 1;
};

// The object a line from the app holds, accepted and read exactly as `parseObject`
// reads it, but fast enough for replies carrying images of many megabytes. The line
// is taken over: its buffer may end up holding the reply's longest text.
std::optional<json> parseReplyLine(std::string line);

}  // namespace quillore
