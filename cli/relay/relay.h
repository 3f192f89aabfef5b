// Relay mode: MCP on standard input and output, passed on to the app's socket.
#pragma once

namespace quillore {

class Relay {
 public:
  Relay();
  // Serves until standard input ends or standard output breaks; exits with 0.
  [[noreturn]] void run();
};

}  // namespace quillore
