// Keyed callbacks and the page's thread, on the framework tests' page stand-in: a delivery never
// waits for the page, the page's thread never waits behind a worker that waits for it, a worker
// waiting for a closing page gives up, and dropping a callback never throws. The page's host
// object here has numbers where functions belong, so every resolution fails.
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "firebreath/jskey_funchost_simple.h"
#include "firebreath/jskey_function.h"
#include "framework/BrowserHost.h"
#include "framework/JSObject.h"
#include "framework/script_error.h"
#include "test_page.h"

namespace {

using vocle::testkit::test_object;

const char kNoCallFunction[] = "jskey_funchost_simple get m_call_function failed";

class KeyHostThreads : public ::testing::Test {
 protected:
  KeyHostThreads()
      : m_host(boost::make_shared<FB::BrowserHost>(m_page.funcs(), m_page.instance())),
        m_object(vocle::testkit::make_test_object(
            {{"call_function", 1}, {"apply_function", 2}, {"release_function", 3}})),
        m_funchost(boost::make_shared<vocle::jskey_funchost_simple>(
            boost::make_shared<FB::JSObject>(m_host, &m_object->base))) {}

  ~KeyHostThreads() override {
    m_funchost.reset();
    m_host->shutdown();
    m_page.close();
    vocle::testkit::free_test_object(m_object);
  }

  static FB::VariantList keyed() {
    return FB::VariantList{FB::variant("k"), FB::variant(FB::VariantList())};
  }

  vocle::testkit::config_dir m_config;  // the default names of the host's functions
  vocle::testkit::test_page m_page;
  FB::BrowserHostPtr m_host;
  test_object* m_object;
  vocle::jskey_funchost_ptr m_funchost;
};

TEST_F(KeyHostThreads, AWorkerDeliveryReturnsWithoutThePage) {
  // The first use reads the host's functions, which needs the page's thread; the worker must not
  // wait for it (it may hold a lock that thread wants).
  std::thread worker([this]() { m_funchost->apply_async(keyed()); });
  worker.join();
  // The resolution runs here, fails, and the delivery is dropped: nothing is queued for the page.
  EXPECT_EQ(m_page.run_queued(), 1u);
  EXPECT_EQ(m_page.run_queued(), 0u);
}

TEST_F(KeyHostThreads, ThePageThreadResolvesWhileAWorkerWaitsForIt) {
  std::string worker_error;
  std::thread worker([this, &worker_error]() {
    try {
      m_funchost->apply(keyed());
    } catch (const FB::script_error& e) {
      worker_error = e.what();
    }
  });
  m_page.wait_queued(1);  // the worker's first property read waits for this thread
  // This thread's own first use runs here and now, not behind the waiting worker.
  try {
    m_funchost->apply_async(keyed());
    ADD_FAILURE() << "a host without functions resolved";
  } catch (const FB::script_error& e) {
    EXPECT_EQ(std::string(e.what()), kNoCallFunction);
  }
  // The page closes before it answers the worker: the worker gives up with a script error.
  m_host->shutdown();
  worker.join();
  EXPECT_EQ(worker_error, "the page has closed");
}

TEST_F(KeyHostThreads, DroppingACallbackNeverThrows) {
  // The release resolves and fails on this thread, and from a worker it is queued and dropped.
  { vocle::jskey_function on_page(m_funchost, "page"); }
  std::thread worker([this]() { vocle::jskey_function on_worker(m_funchost, "worker"); });
  worker.join();
  EXPECT_EQ(m_page.run_queued(), 1u);
  EXPECT_EQ(m_page.run_queued(), 0u);
}

TEST_F(KeyHostThreads, AClosedPageGetsNothing) {
  m_host->shutdown();
  std::thread worker([this]() { m_funchost->apply_async(keyed()); });
  worker.join();
  m_funchost->release_async(FB::VariantList{FB::variant("k")});
  EXPECT_EQ(m_page.run_queued(), 0u);
}

}  // namespace
