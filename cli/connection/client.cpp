#include "connection/client.h"

#include "entry/outcome.h"
#include "entry/settings.h"

namespace quillore {

const char* const connectionClosedMessage =
    "Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off.";

namespace {

// A reply matches when its "id" is an integer equal to ours; a text "1" or a
// fraction never does.
bool answers(const json& message, int64_t id) {
  auto it = message.find("id");
  if (it == message.end()) return false;
  if (it->is_number_integer()) return it->get<int64_t>() == id;
  if (it->is_number_unsigned()) return id >= 0 && it->get<uint64_t>() == uint64_t(id);
  return false;
}

}  // namespace

Client::Client(int fd) : fd_(fd), reader_(fd) {}

json Client::request(const std::string& method, const json& params) {
  const int64_t id = nextId_++;
  json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
  if (writeAll(fd_, encode(message) + newline())) {
    while (auto line = reader_.next()) {
      auto reply = parseObject(*line);
      if (reply && answers(*reply, id)) return std::move(*reply);
    }
  }
  fail(connectionClosedMessage, Exit::unreachable);
}

void Client::notify(const std::string& method) {
  json message = {{"jsonrpc", "2.0"}, {"method", method}};
  writeAll(fd_, encode(message) + newline());
}

}  // namespace quillore
