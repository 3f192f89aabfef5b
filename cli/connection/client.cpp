#include "connection/client.h"

#include <simdjson.h>

#include "entry/outcome.h"
#include "entry/settings.h"

namespace quillore {

namespace {

// The message a run ends with when the app goes away during a request.
const char* const connectionClosedMessage =
    "Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off.";

// A reply matches when its "id" is an integer equal to ours; a text "1" or a
// fraction never does.
bool answers(const json& message, int64_t id) {
  auto it = message.find("id");
  if (it == message.end()) return false;
  if (it->is_number_integer()) return it->get<int64_t>() == id;
  if (it->is_number_unsigned()) return id >= 0 && it->get<uint64_t>() == uint64_t(id);
  return false;
}

// Turns what simdjson read into a JSON value. The line itself is no longer needed
// once simdjson has read it, so its buffer, already in memory, is reused for the first
// long text (a base64 image), which then costs no fresh allocation of its size.
class Converter {
 public:
  explicit Converter(std::string&& spare) : spare_(std::move(spare)) {}

  // False when the value nests deeper than parseObject allows.
  bool convert(simdjson::dom::element element, json& out, size_t depth) {
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
      case Type::OBJECT: {
        if (++depth > maxJsonDepth) return false;
        out = json::object();
        for (simdjson::dom::key_value_pair member : simdjson::dom::object(element)) {
          json value;
          if (!convert(member.value, value, depth)) return false;
          out[std::string(member.key)] = std::move(value);  // a repeated key keeps its last value, as with parseObject
        }
        return true;
      }
      case Type::ARRAY: {
        if (++depth > maxJsonDepth) return false;
        out = json::array();
        for (simdjson::dom::element item : simdjson::dom::array(element)) {
          json value;
          if (!convert(item, value, depth)) return false;
          out.push_back(std::move(value));
        }
        return true;
      }
      case Type::STRING: out = text(element); return true;
      case Type::INT64: out = int64_t(element); return true;
      case Type::UINT64: out = uint64_t(element); return true;
      case Type::DOUBLE: out = double(element); return true;
      case Type::BOOL: out = bool(element); return true;
      case Type::NULL_VALUE: out = nullptr; return true;
    }
    return false;
  }

 private:
  static constexpr size_t longText = 1 << 20;

  std::string text(std::string_view view) {
    if (view.size() < longText || view.size() > spare_.capacity()) return std::string(view);
    std::string reused = std::move(spare_);
    reused.assign(view);  // fits: no allocation
    spare_ = std::string();
    return reused;
  }

  std::string spare_;
};

}  // namespace

std::optional<json> parseReplyLine(std::string line) {
  // simdjson reads a line many times faster than the JSON library; it reads a little
  // past the text, and the padding's content does not matter.
  if (line.capacity() - line.size() < simdjson::SIMDJSON_PADDING)
    line.reserve(line.size() + simdjson::SIMDJSON_PADDING);
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.parse(line.data(), line.size(), /*realloc_if_needed=*/false).get(document)) {
    // What simdjson refuses (bad JSON, a number beyond 64 bits, nesting beyond its
    // limit, a NUL byte, a byte-order mark) is left to parseObject, which has the
    // last word on every line.
    return parseObject(line);
  }
  if (!document.is_object()) return std::nullopt;
  json object;
  // Too deep for parseObject too; the line may have given its buffer away by then.
  if (!Converter(std::move(line)).convert(document, object, 0)) return std::nullopt;
  return object;
}

Client::Client(Descriptor socket) : socket_(std::move(socket)), reader_(socket_.fd()) {}

json Client::request(const std::string& method, const json& params) {
  const int64_t id = nextId_++;
  json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
  if (writeAll(socket_.fd(), encode(message) + newline())) {
    while (auto line = reader_.next()) {
      auto reply = parseReplyLine(std::move(*line));
      if (reply && answers(*reply, id)) return std::move(*reply);
    }
  }
  fail(connectionClosedMessage, Exit::unreachable);
}

void Client::notify(const std::string& method) {
  json message = {{"jsonrpc", "2.0"}, {"method", method}};
  writeAll(socket_.fd(), encode(message) + newline());
}

}  // namespace quillore
