// A fixed run of 16-bit samples, seen as spans over storage that the view keeps alive or that its
// caller does. A record's samples reach the encoders, the uploads and the page as a view taken
// under the record's lock: taking it copies no sample, and what it shows never changes after, so
// a recording that goes on into the same record cannot tear what is being encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vocle {

class sample_view {
 public:
  struct span {
    const std::int16_t* data;
    std::size_t size;
  };

  // No samples.
  sample_view();
  // Borrows the samples: the caller keeps them alive and unchanged while the view is in use.
  sample_view(const std::int16_t* data, std::size_t n);
  explicit sample_view(const std::vector<std::int16_t>& samples);
  ~sample_view();

  // Adds n samples at the end, read from data, which owner keeps alive (may be null when the
  // caller does). An empty span is not kept.
  void add(std::shared_ptr<const void> owner, const std::int16_t* data, std::size_t n);

  // Room for n spans, so that adding them allocates nothing more.
  void reserve(std::size_t n);

  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  // In order; none is empty.
  const std::vector<span>& spans() const { return m_spans; }

  // Copies up to n samples from sample `first` on; returns how many (0 past the end).
  std::size_t copy(std::size_t first, std::int16_t* to, std::size_t n) const;
  // Copies up to n bytes of the little-endian sample bytes from byte `first` on; returns how
  // many (0 past the end). A sample may be split between two calls.
  std::size_t copy_bytes(std::uint64_t first, char* to, std::size_t n) const;
  std::vector<std::int16_t> to_vector() const;

  // Reads a view from its start on, in pieces of any size, without looking the position up again
  // for every piece.
  class reader {
   public:
    explicit reader(const sample_view& view);
    // Copies up to n samples and moves on; returns how many (fewer only at the end).
    std::size_t read(std::int16_t* to, std::size_t n);
    std::size_t remaining() const { return m_remaining; }

   private:
    const sample_view& m_view;
    std::size_t m_span;    // the span being read
    std::size_t m_offset;  // within it
    std::size_t m_remaining;
  };

 private:
  // The span holding sample `index` (below size()), by the spans' first positions.
  std::size_t span_of(std::size_t index) const;

  std::vector<span> m_spans;
  std::vector<std::size_t> m_starts;  // the position of each span's first sample
  std::vector<std::shared_ptr<const void> > m_owners;
  std::size_t m_size;
};

}  // namespace vocle
