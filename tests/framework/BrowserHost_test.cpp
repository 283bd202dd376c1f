// The page's main thread as the plug-in reaches it from other threads, and the page's objects.
#include "framework/BrowserHost.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "framework/JSObject.h"
#include "test_page.h"

namespace {

using FB::variant;
using FB::VariantList;
using vocle::testkit::test_object;

class MainThread : public ::testing::Test {
 protected:
  MainThread() : m_host(boost::make_shared<FB::BrowserHost>(m_page.funcs(), m_page.instance())) {}

  vocle::testkit::test_page m_page;
  FB::BrowserHostPtr m_host;
};

TEST_F(MainThread, WorkerCallsRunOnTheMainThreadAndCarryTheirErrorsBack) {
  std::thread::id ran_on;
  std::string failure;
  std::thread worker([&]() {
    m_host->CallOnMainThread([&]() { ran_on = std::this_thread::get_id(); });
    try {
      m_host->CallOnMainThread([]() { throw FB::script_error("boom"); });
    } catch (const FB::script_error& e) {
      failure = e.what();
    }
  });
  m_page.wait_queued(1);
  EXPECT_EQ(m_page.run_queued(), 1u);
  m_page.wait_queued(1);
  EXPECT_EQ(m_page.run_queued(), 1u);
  worker.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_EQ(failure, "boom");
}

// A worker that waits for the page while the page closes gets an error instead of waiting
// forever, and the call it left behind never runs.
TEST_F(MainThread, ShutdownReleasesAWaitingWorker) {
  std::atomic<bool> ran{false};
  std::string failure;
  std::thread worker([&]() {
    try {
      m_host->CallOnMainThread([&]() { ran = true; });
    } catch (const FB::script_error& e) {
      failure = e.what();
    }
  });
  m_page.wait_queued(1);
  m_host->shutdown();
  worker.join();
  EXPECT_EQ(failure, "the page has closed");
  EXPECT_EQ(m_page.run_queued(), 1u);  // run after the shutdown: dropped
  EXPECT_FALSE(ran);
}

// A page that goes frees its queued calls without running them; a worker waiting for one hears
// of it then, before the plug-in is told.
TEST_F(MainThread, AWorkerHearsWhenThePageDropsItsCall) {
  std::string failure;
  std::thread worker([&]() {
    try {
      m_host->CallOnMainThread([]() {});
    } catch (const FB::script_error& e) {
      failure = e.what();
    }
  });
  m_page.wait_queued(1);
  m_page.close();
  worker.join();
  EXPECT_EQ(failure, "the page has closed");
  EXPECT_FALSE(m_host->isShutDown());
}

TEST_F(MainThread, NothingIsQueuedOrWaitedForAfterShutdown) {
  m_host->shutdown();
  EXPECT_TRUE(m_host->isShutDown());
  EXPECT_FALSE(m_host->ScheduleOnMainThread([]() {}));
  EXPECT_THROW(m_host->CallOnMainThread([]() {}), FB::script_error);
  std::thread worker([&]() { EXPECT_THROW(m_host->CallOnMainThread([]() {}), FB::script_error); });
  worker.join();
  EXPECT_EQ(m_page.run_queued(), 0u);
}

TEST_F(MainThread, LastReleaseFromAWorkerReachesThePageOnItsMainThread) {
  test_object* object = vocle::testkit::make_test_object({});
  {
    FB::JSObjectPtr held = boost::make_shared<FB::JSObject>(m_host, &object->base);
    std::thread worker([held = std::move(held)]() mutable { held.reset(); });
    worker.join();
  }
  EXPECT_FALSE(object->released);
  EXPECT_EQ(m_page.run_queued(), 1u);
  EXPECT_TRUE(object->released);
  EXPECT_TRUE(object->released_on_main);
  vocle::testkit::free_test_object(object);
}

TEST_F(MainThread, ReleasesAfterShutdownAreLeftToTheHost) {
  test_object* object = vocle::testkit::make_test_object({});
  FB::JSObjectPtr held = boost::make_shared<FB::JSObject>(m_host, &object->base);
  m_host->shutdown();
  held.reset();
  m_page.run_queued();
  EXPECT_FALSE(object->released);
  EXPECT_EQ(object->references, 1);
  vocle::testkit::free_test_object(object);
}

// Arrays the page passes are read element by element; a length no array has is refused at once,
// so a hostile {length: 4e9} cannot hang the page.
TEST_F(MainThread, ArraysConvertByTheirLength) {
  struct list_case {
    const char* what;
    std::vector<std::pair<std::string, double> > properties;
    bool converts;
    const char* message;
  };
  const std::vector<list_case> cases = {
      {"array", {{"length", 2}, {"0", 1.5}, {"1", 7}}, true, ""},
      {"empty array", {{"length", 0}}, true, ""},
      {"no length", {{"0", 1}}, false, "cannot convert object to list"},
      {"huge length", {{"length", 4e9}}, false, "cannot convert array of length 4e+09 to list"},
      {"negative length", {{"length", -1}}, false, "cannot convert array of length -1 to list"},
      {"fractional length", {{"length", 1.5}}, false, "cannot convert array of length 1.5 to list"},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.what);
    test_object* object = vocle::testkit::make_test_object(c.properties);
    {
      variant value(FB::JSObjectPtr(boost::make_shared<FB::JSObject>(m_host, &object->base)));
      if (c.converts) {
        VariantList list = value.convert_cast<VariantList>();
        if (list.size() == 2) {
          EXPECT_EQ(list, (VariantList{1.5, 7}));
        } else {
          EXPECT_TRUE(list.empty());
        }
      } else {
        try {
          value.convert_cast<VariantList>();
          ADD_FAILURE() << "converted";
        } catch (const FB::bad_variant_cast& e) {
          EXPECT_EQ(std::string(e.what()), c.message);
        }
      }
    }
    EXPECT_TRUE(object->released);
    vocle::testkit::free_test_object(object);
  }
}

TEST_F(MainThread, AWorkerReadsAPageObjectThroughTheMainThread) {
  test_object* object = vocle::testkit::make_test_object({{"length", 1}, {"0", 3}});
  FB::JSObjectPtr held = boost::make_shared<FB::JSObject>(m_host, &object->base);
  VariantList list;
  std::thread worker([&]() { list = variant(held).convert_cast<VariantList>(); });
  m_page.wait_queued(1);
  m_page.run_queued();
  worker.join();
  EXPECT_EQ(list, VariantList{3});
  held.reset();
  vocle::testkit::free_test_object(object);
}

}  // namespace
