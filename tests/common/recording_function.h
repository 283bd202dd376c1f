// A page callback for tests: records every call it gets, from any thread, and lets the test wait
// until a number of them have arrived.
//
//   auto done = boost::make_shared<vocle::testkit::recording_function>();
//   start_something(done);                       // some worker calls done->call_async(...)
//   ASSERT_TRUE(done->wait_for(1));              // generous deadline, no sleeping
//   FB::VariantList result = done->lists().at(0);
//
// Every delivery carries a number from next_sequence(), a counter shared by the whole test kit
// (the HTTP test server stamps each request it receives with it too), so a test can tell in which
// order things happened on different threads without timing them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/foundation/function.h"

namespace vocle {
namespace testkit {

// The next number of the kit's process-wide event counter (starts at 1, thread-safe).
std::uint64_t next_sequence();

class recording_function : public vocle::function {
 public:
  struct delivery {
    FB::VariantList args;
    bool async;              // call_async (true) or call (false)
    std::uint64_t sequence;  // next_sequence() when it arrived
  };

  // Both record the list; call answers with the empty variant.
  FB::variant call(const FB::VariantList& args) override;
  void call_async(const FB::VariantList& args) override;

  // Every call and call_async, in arrival order.
  std::vector<delivery> deliveries() const;
  // The lists of the call_async deliveries, in arrival order.
  std::vector<FB::VariantList> lists() const;
  // Number of deliveries (both kinds).
  std::size_t count() const;
  // Waits until at least n deliveries have arrived; false when the deadline passed first.
  bool wait_for(std::size_t n,
                std::chrono::milliseconds deadline = std::chrono::milliseconds(30000)) const;

 private:
  void record(const FB::VariantList& args, bool async);

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_arrived;
  std::vector<delivery> m_deliveries;
};

}  // namespace testkit
}  // namespace vocle
