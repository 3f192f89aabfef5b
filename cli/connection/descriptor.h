// An open descriptor together with the duty to close it: a socket or a file that
// belongs to whoever holds the Descriptor. Moving it hands the duty on; the holder
// closes it when it lets go. Descriptors that are only read or written, never closed
// (standard input and output, a reader's socket), are passed as plain ints.
#pragma once

#include <unistd.h>

#include <utility>

namespace quillore {

class Descriptor {
 public:
  Descriptor() = default;
  // Takes over `fd`; a negative one (a failed open, socket or dup) makes an empty
  // Descriptor.
  explicit Descriptor(int fd) : fd_(fd < 0 ? -1 : fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }

  // The descriptor to read or write; -1 when empty.
  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Closes it now and leaves this empty. False when the system reports an error
  // (errno tells which); true when it closed cleanly or nothing was open.
  bool close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }

  // A second descriptor of the same open file or socket, with a duty of its own;
  // empty when the system refuses one.
  Descriptor duplicate() const { return Descriptor(fd_ < 0 ? -1 : ::dup(fd_)); }

 private:
  int fd_ = -1;
};

}  // namespace quillore
