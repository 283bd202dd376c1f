// A byte_source over a sample_view: the samples' little-endian bytes, two per sample, read
// straight from the spans the view holds. The view keeps its storage alive, so the source may
// outlive the lock under which the view was taken, and what it gives never changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/foundation/byte_source.h"
#include "core/foundation/sample_view.h"

namespace vocle {

class sample_view_source : public byte_source {
 public:
  explicit sample_view_source(sample_view view);
  ~sample_view_source() override;

  std::uint64_t size() const override;
  // A piece may end or start in the middle of a sample.
  std::size_t read(char* to, std::size_t n) override;

 private:
  const sample_view m_view;
  std::uint64_t m_position;  // in bytes
};

}  // namespace vocle
