// A byte_source over a binary that drains it: each read takes the bytes from the binary's front,
// so a binary that has been sent is empty afterwards, as when the upload read it directly. The
// source keeps the binary alive.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "core/foundation/binary.h"
#include "core/foundation/byte_source.h"

namespace vocle {

class binary_source : public byte_source {
 public:
  // The size is the binary's when the source is made (0 for no binary).
  explicit binary_source(boost::shared_ptr<binary> bytes);
  ~binary_source() override;

  std::uint64_t size() const override { return m_size; }
  std::size_t read(char* to, std::size_t n) override;

 private:
  boost::shared_ptr<binary> m_bytes;
  std::uint64_t m_size;
};

}  // namespace vocle
