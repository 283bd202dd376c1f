// The samples of one record, kept in fixed-size chunks. A block appended during a recording is
// copied once, into the last chunk or into a fresh one; nothing already stored is ever moved, so
// the audio thread never waits for a long record to be copied to a larger place, and memory grows
// by one chunk at a time instead of doubling.
//
// Readers take a view: the chunks it spans stay alive and unchanged for as long as it is held,
// whatever the store does after. Appends only write past every view's end; a trim that cuts into
// a chunk some view still shows leaves that chunk alone from then on, and later appends start a
// new one.
//
// The store holds no lock: its owner (the audio buffer's mutex) serialises every call on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/foundation/sample_view.h"

namespace vocle {
namespace audio {

class sample_store {
 public:
  // 64 KiB of samples: small enough to be the most a stream callback ever allocates, large enough
  // that a ten-minute record is a few hundred chunks.
  static constexpr std::size_t chunk_samples = 32768;

  sample_store();
  ~sample_store();
  sample_store(const sample_store&) = delete;
  sample_store& operator=(const sample_store&) = delete;

  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }

  // Appends n samples; the source may lie inside this store.
  void append(const std::int16_t* samples, std::size_t n);
  void assign(const std::vector<std::int16_t>& samples);
  // Also lets go of the room reserved.
  void clear();
  // Keeps [first, last): drops everything from last on (when last is below the count), then the
  // first `first` samples (when first is below what is left).
  void trim(std::size_t first, std::size_t last);
  // Moves all of other's samples to the end of this store without copying them; other is left
  // empty.
  void splice(sample_store& other);
  // Makes room for n more samples before they come, as chunks carved from one block whose pages
  // are made present at once: for a load, whose size is known, that is far cheaper than a page
  // fault at the first touch of every page. The block stays while any of its chunks is held, so
  // room reserved and never filled is let go only with the last of them.
  void reserve(std::size_t n);

  // A snapshot of the samples as they are now; no sample is copied.
  sample_view view() const;
  // Copies up to n samples from sample `first` on; returns how many (0 past the end).
  std::size_t copy(std::size_t first, std::int16_t* to, std::size_t n) const;
  std::int16_t at(std::size_t index) const;
  std::vector<std::int16_t> to_vector() const;

 private:
  struct segment {
    std::shared_ptr<std::int16_t> chunk;
    std::size_t begin;  // the first sample of the chunk in use
    std::size_t end;    // one past the last
    std::size_t start;  // the position of chunk[begin] in the store
    bool writable;      // appends may go on at chunk[end]
  };

  // The segment holding sample `index` (below size()).
  std::size_t segment_of(std::size_t index) const;
  // Room at the end for at least one sample: the last chunk, or a fresh one.
  segment& tail_with_room();

  std::deque<segment> m_segments;
  // Empty chunks made by reserve, taken before any new one is allocated.
  std::deque<std::shared_ptr<std::int16_t> > m_spare;
  std::size_t m_size;
};

}  // namespace audio
}  // namespace vocle
