// Upload tasks: ids, time-outs, cancellation, and the table that outlives its studio.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/config_dir.h"
#include "core/studio/studio.h"
#include "core/studio/task.h"
#include "log_capture.h"

namespace {

using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
typedef studio::task task;
typedef std::unique_ptr<task> task_holder;

class Tasks : public ::testing::Test {
 protected:
  config_dir m_cfg{"[audio]\nupload_timeout=60\n"};
  log_capture m_log;
  studio m_studio;

  std::vector<std::string> errors() const { return m_log.messages("ERROR"); }
};

TEST_F(Tasks, IdsCountFromZeroPerStudioAndAreNeverReused) {
  task_holder a(m_studio.create_task(-1));
  task_holder b(m_studio.create_task(-1));
  EXPECT_EQ(0, a->id());
  EXPECT_EQ(1, b->id());
  a.reset();
  b.reset();
  task_holder c(m_studio.create_task(-1));
  EXPECT_EQ(2, c->id());

  studio other;
  task_holder d(other.create_task(-1));
  EXPECT_EQ(0, d->id());
}

TEST_F(Tasks, ANewTaskIsCreatedNotUploading) {
  task_holder t(m_studio.create_task(-1));
  EXPECT_EQ(task::task_created, t->status());
}

TEST_F(Tasks, TimeOutRules) {
  struct {
    std::int32_t requested;
    std::uint64_t studio_timeout;
    std::int32_t expected;
  } cases[] = {
      {-1, 60, 60},
      {-5, 60, 60},
      {0, 60, 0},  // no limit in the transfer
      {15, 60, 15},
      {-1, 0, 0},
      {-1, 25, 25},
      {std::numeric_limits<std::int32_t>::max(), 60, std::numeric_limits<std::int32_t>::max()},
      // A page's time-out beyond the task's range means "very long", never a short or negative
      // one: 2^32 + 5 must not become 5.
      {-1, (std::uint64_t(1) << 32) + 5, std::numeric_limits<std::int32_t>::max()},
      {-1, std::uint64_t(1) << 31, std::numeric_limits<std::int32_t>::max()},
  };
  for (const auto& c : cases) {
    m_studio.set_upload_timeout(c.studio_timeout);
    task_holder t(m_studio.create_task(c.requested));
    EXPECT_EQ(c.expected, t->timeout())
        << "requested " << c.requested << ", studio time-out " << c.studio_timeout;
  }
}

TEST_F(Tasks, CancelOfAnUnknownId) {
  EXPECT_FALSE(m_studio.cancel_upload(7));
  EXPECT_EQ(std::vector<std::string>{"no task(7)"}, errors());
}

TEST_F(Tasks, CancelIsRefusedUnlessTheTaskIsUploading) {
  task_holder t(m_studio.create_task(-1));
  // Before the worker has started.
  EXPECT_FALSE(m_studio.cancel_upload(0));
  EXPECT_EQ(task::task_created, t->status());

  t->set_status(task::task_posting);
  EXPECT_TRUE(m_studio.cancel_upload(0));
  EXPECT_EQ(task::task_cancel_requested, t->status());

  // A second cancel finds the request already made; later states are refused alike.
  EXPECT_FALSE(m_studio.cancel_upload(0));
  t->set_status(task::task_canceled);
  EXPECT_FALSE(m_studio.cancel_upload(0));
  t->set_status(task::task_done);
  EXPECT_FALSE(m_studio.cancel_upload(0));
  EXPECT_EQ(task::task_done, t->status());

  EXPECT_EQ((std::vector<std::string>{"invalid task(0) status(0)", "task(0) canceling",
                                      "invalid task(0) status(2)", "invalid task(0) status(3)",
                                      "invalid task(0) status(4)"}),
            errors());
}

TEST_F(Tasks, CancelAllMarksEveryUploadingTaskInIdOrder) {
  task_holder t0(m_studio.create_task(-1));
  task_holder t1(m_studio.create_task(-1));
  task_holder t2(m_studio.create_task(-1));
  task_holder t3(m_studio.create_task(-1));
  t3->set_status(task::task_posting);
  t1->set_status(task::task_posting);
  t2->set_status(task::task_done);

  EXPECT_TRUE(m_studio.cancel_upload(-1));
  EXPECT_EQ(task::task_created, t0->status());
  EXPECT_EQ(task::task_cancel_requested, t1->status());
  EXPECT_EQ(task::task_done, t2->status());
  EXPECT_EQ(task::task_cancel_requested, t3->status());
  EXPECT_EQ((std::vector<std::string>{"task(1) canceling", "task(3) canceling"}), errors());

  // Nothing is uploading any more: still true, and nothing more is logged.
  EXPECT_TRUE(m_studio.cancel_upload(-1));
  EXPECT_EQ(2u, errors().size());
}

TEST_F(Tasks, CancelAllOfAnEmptyTable) {
  EXPECT_TRUE(m_studio.cancel_upload(-1));
  EXPECT_TRUE(m_studio.cancel_upload(std::numeric_limits<std::int32_t>::min()));
  EXPECT_TRUE(errors().empty());
}

TEST_F(Tasks, AnEndedTaskLeavesTheTable) {
  task_holder t(m_studio.create_task(-1));
  t->set_status(task::task_posting);
  t.reset();
  EXPECT_FALSE(m_studio.cancel_upload(0));
  EXPECT_EQ(std::vector<std::string>{"no task(0)"}, errors());
}

// The convention for an upload that never reaches the transfer: whoever fails destroys the task,
// which takes it out of the table, so it does not linger at status 0 or 1.
TEST_F(Tasks, AFailedStarterDestroysItsTask) {
  const std::int32_t id = [&] {
    task_holder t(m_studio.create_task(-1));
    const std::int32_t taken = t->id();
    t->set_status(task::task_posting);
    // ... the encoding fails and the holder goes out of scope ...
    return taken;
  }();
  EXPECT_FALSE(m_studio.cancel_upload(id));
  EXPECT_TRUE(m_studio.cancel_upload(-1));
  EXPECT_EQ(std::vector<std::string>{"no task(0)"}, errors());
}

TEST(TaskTable, AnUploadOutlivesItsStudio) {
  config_dir cfg("");
  task_holder t;
  {
    studio s;
    t.reset(s.create_task(-1));
    t->set_status(task::task_posting);
  }
  // A studio that goes leaves its uploads running; the transfer ends its task afterwards, and
  // must then find a live table.
  EXPECT_EQ(task::task_posting, t->status());
  t->set_status(task::task_done);
  t.reset();
  SUCCEED();
}

TEST(TaskTable, UploadsEndingOnTheirThreadsWhileTheStudioGoes) {
  config_dir cfg("");
  std::vector<std::thread> uploads;
  {
    studio s;
    for (int i = 0; i < 8; ++i) {
      task* t = s.create_task(-1);
      uploads.emplace_back([t] {
        task_holder held(t);
        held->set_status(task::task_posting);
        held->set_status(task::task_done);
      });
    }
    s.cancel_upload(-1);
  }
  for (std::thread& u : uploads) {
    u.join();
  }
  SUCCEED();
}

// cancel_upload walks the table on the page's thread while uploads start and end on theirs; each
// task ends either cancelled-requested or as its worker left it, and nothing is touched after it
// has gone.
TEST_F(Tasks, CancelWhileUploadsStartAndEnd) {
  std::vector<std::thread> uploads;
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 16; ++i) {
    task* t = m_studio.create_task(-1);
    ids.push_back(t->id());
    uploads.emplace_back([t] {
      task_holder held(t);
      held->set_status(task::task_posting);
      for (int spin = 0; spin < 100 && held->status() == task::task_posting; ++spin) {
        std::this_thread::yield();
      }
      held->set_status(task::task_done);
    });
  }
  for (int round = 0; round < 50; ++round) {
    m_studio.cancel_upload(-1);
    m_studio.cancel_upload(ids[round % ids.size()]);
  }
  for (std::thread& u : uploads) {
    u.join();
  }
  EXPECT_TRUE(m_studio.cancel_upload(-1));
  for (std::int32_t id : ids) {
    EXPECT_FALSE(m_studio.cancel_upload(id));
  }
}

}  // namespace
