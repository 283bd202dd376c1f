// The chunked record storage: what it holds whatever the chunk boundaries, and views that keep
// showing the moment they were taken while the store goes on.
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/sample_store.h"

namespace vocle {
namespace audio {
namespace {

constexpr std::size_t chunk = sample_store::chunk_samples;

std::vector<std::int16_t> counting(std::size_t n, std::int16_t from = 0) {
  std::vector<std::int16_t> samples(n);
  std::iota(samples.begin(), samples.end(), from);
  return samples;
}

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& all, std::size_t from,
                                std::size_t to) {
  return std::vector<std::int16_t>(all.begin() + static_cast<std::ptrdiff_t>(from),
                                   all.begin() + static_cast<std::ptrdiff_t>(to));
}

// Fills a store block by block.
void fill(sample_store& store, const std::vector<std::int16_t>& samples, std::size_t block) {
  for (std::size_t at = 0; at < samples.size(); at += block) {
    store.append(samples.data() + at, std::min(block, samples.size() - at));
  }
}

TEST(sample_store, holds_every_sample_whatever_the_block_and_chunk_boundaries) {
  const std::vector<std::int16_t> all = counting(3 * chunk + 17);
  for (const std::size_t block :
       {std::size_t(1), std::size_t(1000), chunk - 1, chunk, 2 * chunk, all.size()}) {
    sample_store store;
    fill(store, all, block);
    ASSERT_EQ(store.size(), all.size()) << block;
    EXPECT_EQ(store.to_vector(), all) << block;
    EXPECT_EQ(store.view().to_vector(), all) << block;
    // Ranges that start and end on either side of chunk boundaries, and run past the end.
    for (const std::size_t first : {std::size_t(0), chunk - 3, chunk, 2 * chunk + 5}) {
      std::vector<std::int16_t> out(chunk + 10, -1);
      const std::size_t n = store.copy(first, out.data(), out.size());
      EXPECT_EQ(n, std::min(out.size(), all.size() - first));
      out.resize(n);
      EXPECT_EQ(out, slice(all, first, first + n)) << block << " from " << first;
      EXPECT_EQ(store.at(first), all[first]);
    }
    std::int16_t untouched = 5;
    EXPECT_EQ(store.copy(all.size(), &untouched, 1), 0u);
    EXPECT_EQ(untouched, 5);
  }
}

TEST(sample_store, trims_across_chunks_like_a_vector_would) {
  const std::size_t n = 3 * chunk + 100;
  const std::vector<std::int16_t> all = counting(n);
  const struct {
    std::size_t first, last, kept_from, kept_to;
  } cases[] = {
      {0, n, 0, n},
      {chunk, 2 * chunk, chunk, 2 * chunk},                  // exactly whole chunks
      {chunk - 1, 2 * chunk + 1, chunk - 1, 2 * chunk + 1},  // one sample past each boundary
      {10, 20, 10, 20},                                      // inside the first chunk
      {3 * chunk + 50, n + 7, 3 * chunk + 50, n},            // inside the last, last beyond the end
      {n, n, 0, n},                                          // first at the count: nothing dropped
      {5, 0, 0, 0},
  };
  for (const auto& c : cases) {
    sample_store store;
    fill(store, all, 4096);
    store.trim(c.first, c.last);
    EXPECT_EQ(store.to_vector(), slice(all, c.kept_from, c.kept_to))
        << "trim(" << c.first << ", " << c.last << ")";
    // What comes after a trim follows what was kept, across the next boundaries too.
    const std::vector<std::int16_t> more = counting(chunk + 3, 7000);
    store.append(more.data(), more.size());
    std::vector<std::int16_t> expected = slice(all, c.kept_from, c.kept_to);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(store.to_vector(), expected)
        << "append after trim(" << c.first << ", " << c.last << ")";
  }
}

TEST(sample_store, a_view_keeps_showing_its_moment_whatever_the_store_does_after) {
  const std::vector<std::int16_t> all = counting(2 * chunk + 500);
  const std::vector<std::int16_t> other = counting(3 * chunk, -20000);
  const struct {
    const char* name;
    void (*change)(sample_store&, const std::vector<std::int16_t>&);
  } cases[] = {
      {"appended to",
       [](sample_store& s, const std::vector<std::int16_t>& o) { s.append(o.data(), o.size()); }},
      // The cut lies inside the last chunk, which the view still shows: new samples must not be
      // written over the ones cut.
      {"cut short and appended to",
       [](sample_store& s, const std::vector<std::int16_t>& o) {
         s.trim(0, s.size() - 300);
         s.append(o.data(), o.size());
       }},
      {"cut at the front and appended to",
       [](sample_store& s, const std::vector<std::int16_t>& o) {
         s.trim(chunk + 1, s.size());
         s.append(o.data(), o.size());
       }},
      {"emptied and refilled",
       [](sample_store& s, const std::vector<std::int16_t>& o) {
         s.clear();
         s.append(o.data(), o.size());
       }},
  };
  for (const auto& c : cases) {
    sample_store store;
    fill(store, all, 1024);
    const sample_view view = store.view();
    c.change(store, other);
    EXPECT_EQ(view.to_vector(), all) << c.name;
  }
  // Without a view the cut samples may be written over; the store is right either way.
  sample_store store;
  fill(store, all, 1024);
  store.trim(0, all.size() - 300);
  store.append(other.data(), 10);
  std::vector<std::int16_t> expected = slice(all, 0, all.size() - 300);
  expected.insert(expected.end(), other.begin(), other.begin() + 10);
  EXPECT_EQ(store.to_vector(), expected);
}

TEST(sample_store, room_made_beforehand_holds_the_samples_like_any_other) {
  const std::vector<std::int16_t> all = counting(3 * chunk + 17);
  const struct {
    const char* name;
    std::size_t before;  // samples appended before the room is made
    std::size_t room;
  } cases[] = {
      {"exactly the record", 0, all.size()},   {"less than the record", 0, chunk + 1},
      {"more than the record", 0, 5 * chunk},  {"several megabytes", 0, 70 * chunk},
      {"after a part chunk", 100, all.size()}, {"none", 0, 0},
  };
  for (const auto& c : cases) {
    sample_store store;
    store.append(all.data(), c.before);
    store.reserve(c.room);
    store.reserve(c.room);  // asking again for what is there makes nothing more
    fill(store, std::vector<std::int16_t>(all.begin() + c.before, all.end()), 1000);
    EXPECT_EQ(store.to_vector(), all) << c.name;
    // Views and cuts work on reserved chunks as on any.
    const sample_view view = store.view();
    store.trim(0, store.size() - 10);
    store.append(all.data(), 20);
    EXPECT_EQ(view.to_vector(), all) << c.name;
    store.clear();
    EXPECT_TRUE(store.empty()) << c.name;
  }
}

TEST(sample_store, a_view_outlives_its_store) {
  sample_view view;
  const std::vector<std::int16_t> all = counting(chunk + 1);
  {
    sample_store store;
    store.assign(all);
    view = store.view();
  }
  EXPECT_EQ(view.to_vector(), all);
}

TEST(sample_store, splicing_moves_the_other_stores_samples_to_the_end) {
  const std::vector<std::int16_t> head = counting(chunk + 10);
  const std::vector<std::int16_t> tail = counting(2 * chunk + 3, 9000);
  sample_store store;
  store.assign(head);
  sample_store loaded;
  loaded.assign(tail);
  const sample_view before = loaded.view();
  store.splice(loaded);
  EXPECT_TRUE(loaded.empty());
  std::vector<std::int16_t> expected = head;
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(store.to_vector(), expected);
  // The spliced chunks are the very ones the loaded store had.
  EXPECT_EQ(store.view().spans().back().data, before.spans().back().data);
  // Appends, positions and trims run on over the joined chunks.
  const std::int16_t more[] = {1, 2, 3};
  store.append(more, 3);
  expected.insert(expected.end(), more, more + 3);
  EXPECT_EQ(store.at(head.size()), tail.front());
  store.trim(head.size() - 5, expected.size() - 1);
  EXPECT_EQ(store.to_vector(), slice(expected, head.size() - 5, expected.size() - 1));
  store.splice(store);  // onto itself: nothing happens
  EXPECT_EQ(store.size(), expected.size() - 1 - (head.size() - 5));
}

}  // namespace
}  // namespace audio
}  // namespace vocle
