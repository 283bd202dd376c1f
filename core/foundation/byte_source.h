// Bytes read once from start to end, in pieces of the reader's choosing, whose total is known
// before the first read: what an upload streams a form part from, without holding the part's
// bytes in a buffer of their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vocle {

class byte_source {
 public:
  virtual ~byte_source();

  // The bytes from the start to the end, however many have been read; it never changes.
  virtual std::uint64_t size() const = 0;
  // Copies up to n of the next bytes to `to` and moves past them; returns how many, fewer than
  // n only at the end (0 there).
  virtual std::size_t read(char* to, std::size_t n) = 0;

 protected:
  byte_source() = default;
  byte_source(const byte_source&) = default;
  byte_source& operator=(const byte_source&) = default;
};

}  // namespace vocle
