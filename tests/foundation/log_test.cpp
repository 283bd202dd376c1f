#include "core/foundation/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/format.hpp>

#include "common/temp_dir.h"
#include "framework/logging.h"

namespace {

using FB::Log::LogLevel;

std::string kernel_thread_id() {
  return std::to_string(::syscall(SYS_gettid));
}

std::vector<std::string> lines_of_file(const std::string& path) {
  return vocle::testkit::lines_of(vocle::testkit::read_file(path));
}

// The message part of a line: what follows the layout's " - ".
std::string message_of(const std::string& line) {
  std::string::size_type at = line.find(" - vocle[thread:");
  return at == std::string::npos ? std::string() : line.substr(at + 3);
}

// "<file>:<line> <function>" as the layout writes them before the message.
std::string location(int line, const std::string& function) {
  return (boost::format(" %1%:%2% %3% - ") % __FILE__ % line % function).str();
}

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { FB::Log::stopLogging(); }

  void start(LogLevel level) { start(level, m_path); }
  void start(LogLevel level, const std::string& path) {
    FB::Log::initLogging({{FB::Log::LogMethod_File, path}}, level);
  }
  std::vector<std::string> lines() const { return lines_of_file(m_path); }

  vocle::testkit::temp_dir m_dir;
  std::string m_path = m_dir.file("vocle.log");
};

int g_named_line = 0;

}  // namespace

namespace vocle_log_test {
void log_from_named_function(int id) {
  g_named_line = __LINE__ + 1;
  VOCLE_LOG_INFO("task(%1%) canceling %2%", id, "now");
}
}  // namespace vocle_log_test

namespace vocle_log_test {
namespace {
template <class T>
struct widget {
  std::vector<T> make(T value) const {
    auto inner = [&](int times) {
      VOCLE_LOG_INFO("inner %1%", times);
      return std::vector<T>(times, value);
    };
    VOCLE_LOG_INFO("make");
    return inner(2);
  }
};
}  // namespace
}  // namespace vocle_log_test

namespace {

TEST_F(LogTest, LineCarriesPrefixSourcePathLineAndFunction) {
  start(FB::Log::LogLevel_Trace);
  vocle_log_test::log_from_named_function(7);
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 1u);
  // The source path is the one below the tree, not the build machine's.
  EXPECT_EQ(std::string(__FILE__), "tests/foundation/log_test.cpp");
  EXPECT_NE(got[0].find(location(g_named_line, "vocle_log_test::log_from_named_function")),
            std::string::npos)
      << got[0];
  EXPECT_EQ(message_of(got[0]), "vocle[thread:" + kernel_thread_id() + "] task(7) canceling now");
}

TEST_F(LogTest, LevelsBelowTheThresholdWriteNothing) {
  const LogLevel levels[] = {FB::Log::LogLevel_Trace, FB::Log::LogLevel_Debug,
                             FB::Log::LogLevel_Info, FB::Log::LogLevel_Warn,
                             FB::Log::LogLevel_Error};
  for (LogLevel threshold : levels) {
    SCOPED_TRACE(FB::Log::levelName(threshold));
    const std::string path = m_dir.file(std::string("level-") + FB::Log::levelName(threshold));
    start(threshold, path);
    VOCLE_LOG_TRACE("at %1%", "trace");
    VOCLE_LOG_DEBUG("at %1%", "debug");
    VOCLE_LOG_INFO("at %1%", "info");
    VOCLE_LOG_WARN("at %1%", "warn");
    VOCLE_LOG_ERROR("at %1%", "error");
    FB::Log::stopLogging();

    std::vector<std::string> expected;
    for (LogLevel level : levels) {
      EXPECT_FALSE(FB::Log::isEnabled(level)) << "after stopLogging";
      if (level >= threshold) {
        expected.push_back("vocle[thread:" + kernel_thread_id() + "] at " +
                           FB::Log::levelName(level));
      }
    }
    std::vector<std::string> written;
    for (const std::string& line : lines_of_file(path)) {
      written.push_back(message_of(line));
    }
    EXPECT_EQ(written, expected);
  }
}

TEST_F(LogTest, NothingIsWrittenWithoutATarget) {
  VOCLE_LOG_ERROR("before any set-up");
  FB::Log::initLogging({}, FB::Log::LogLevel_Trace);
  EXPECT_FALSE(FB::Log::isEnabled(FB::Log::LogLevel_Error));
  VOCLE_LOG_ERROR("with no target");
  start(FB::Log::LogLevel_Info);
  EXPECT_FALSE(FB::Log::isEnabled(FB::Log::LogLevel_Debug));
  EXPECT_TRUE(FB::Log::isEnabled(FB::Log::LogLevel_Info));
  VOCLE_LOG_INFO("kept");
  FB::Log::stopLogging();
  VOCLE_LOG_ERROR("after stop");
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(message_of(got[0]), "vocle[thread:" + kernel_thread_id() + "] kept");
}

TEST_F(LogTest, SetUpAgainReplacesTheTargets) {
  const std::string second = m_dir.file("second.log");
  start(FB::Log::LogLevel_Info);
  VOCLE_LOG_INFO("one");
  start(FB::Log::LogLevel_Info, second);
  VOCLE_LOG_INFO("two");
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_NE(lines()[0].find("] one"), std::string::npos);
  const std::vector<std::string> got = lines_of_file(second);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("] two"), std::string::npos);
}

TEST_F(LogTest, FileTargetAppendsAndMakesItsFolder) {
  const std::string nested = m_dir.file("a/b/vocle.log");
  m_dir.write("a-before.log", "earlier line\n");
  start(FB::Log::LogLevel_Info, nested);
  VOCLE_LOG_INFO("in a new folder");
  EXPECT_EQ(lines_of_file(nested).size(), 1u);
  start(FB::Log::LogLevel_Info, m_dir.file("a-before.log"));
  VOCLE_LOG_INFO("appended");
  const std::vector<std::string> got = lines_of_file(m_dir.file("a-before.log"));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "earlier line");
  EXPECT_NE(got[1].find("] appended"), std::string::npos);
}

struct throws_when_printed {};
std::ostream& operator<<(std::ostream&, const throws_when_printed&) {
  throw std::runtime_error("printing failed");
}

// A printer may throw what is no std::exception at all.
struct throws_an_int_when_printed {};
std::ostream& operator<<(std::ostream&, const throws_an_int_when_printed&) {
  throw 42;
}

TEST_F(LogTest, FormattingFailureIsLoggedAtErrorLevelAndNeverEscapes) {
  start(FB::Log::LogLevel_Info);
  const std::string tid = kernel_thread_id();
  struct failure_case {
    int line;
    const char* level;
    const char* what;  // the start of the error text
  };
  std::vector<failure_case> cases;
  // Each case records the line of the call that follows it.
  cases.push_back({__LINE__ + 1, "info", "boost::too_few_args"});
  VOCLE_LOG_INFO("a %1% b %2%", 1);
  cases.push_back({__LINE__ + 1, "warn", "boost::too_many_args"});
  VOCLE_LOG_WARN("a %1%", 1, 2);
  cases.push_back({__LINE__ + 1, "info", "boost::bad_format_string"});
  VOCLE_LOG_INFO("100%");
  cases.push_back({__LINE__ + 1, "error", "boost::bad_format_string"});
  VOCLE_LOG_ERROR("%1", 1);
  cases.push_back({__LINE__ + 1, "info", "printing failed"});
  VOCLE_LOG_INFO("%1%", throws_when_printed());
  cases.push_back({__LINE__ + 1, "warn", "unknown error"});
  VOCLE_LOG_WARN("%1%", throws_an_int_when_printed());
  // Below the threshold nothing is formatted, so nothing fails.
  VOCLE_LOG_DEBUG("a %1% b %2%", 1);

  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].level);
    const std::string expected_start =
        "vocle[thread:" + tid + "] log::" + cases[i].level + " error: " + cases[i].what;
    EXPECT_EQ(message_of(got[i]).compare(0, expected_start.size(), expected_start), 0) << got[i];
    EXPECT_NE(got[i].find("ERROR"), std::string::npos) << got[i];
    EXPECT_NE(got[i].find(location(cases[i].line,
                                   "{anonymous}::LogTest_FormattingFailureIsLog"
                                   "gedAtErrorLevelAndNeverEscapes_Test::TestBody")),
              std::string::npos)
        << got[i];
  }
}

TEST_F(LogTest, TextIsWrittenAsItStands) {
  start(FB::Log::LogLevel_Info);
  const std::string page_text = "100% of %1% done %s %";
  VOCLE_LOG_TEXT(FB::Log::LogLevel_Info, page_text);
  VOCLE_LOG_TEXT(FB::Log::LogLevel_Debug, "below the threshold");
  // "%%" is the escape of a format, so a format keeps one of them.
  VOCLE_LOG_INFO("50%% of %1%", "it");
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(message_of(got[0]), "vocle[thread:" + kernel_thread_id() + "] " + page_text);
  EXPECT_EQ(message_of(got[1]), "vocle[thread:" + kernel_thread_id() + "] 50% of it");
}

TEST_F(LogTest, EachThreadNamesItselfAndLinesStayWhole) {
  start(FB::Log::LogLevel_Trace);
  const int threads = 8;
  const int per_thread = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t] {
      const unsigned long self = vocle::log::thread_id();
      for (int i = 0; i < per_thread; ++i) {
        VOCLE_LOG_DEBUG("worker %1% of thread %2% line %3%", t, self, i);
      }
    });
  }
  for (std::thread& w : workers) {
    w.join();
  }
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(threads * per_thread));
  std::set<std::string> seen;
  std::set<unsigned long> ids;
  for (const std::string& line : got) {
    unsigned long prefix_id = 0;
    unsigned long logged_id = 0;
    int worker = -1;
    int index = -1;
    char tail = 0;
    const std::string message = message_of(line);
    ASSERT_EQ(std::sscanf(message.c_str(), "vocle[thread:%lu] worker %d of thread %lu line %d%c",
                          &prefix_id, &worker, &logged_id, &index, &tail),
              4)
        << line;
    EXPECT_EQ(prefix_id, logged_id) << line;
    ids.insert(prefix_id);
    seen.insert(std::to_string(worker) + "/" + std::to_string(index));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(threads * per_thread));
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads));
  EXPECT_EQ(ids.count(vocle::log::thread_id()), 0u);
}

// Workers keep logging while the targets change under them: nothing breaks, and every line
// that reaches a file arrives whole (a line written while the targets are being swapped may
// reach none).
TEST_F(LogTest, SetUpWhileOtherThreadsLog) {
  const std::string other = m_dir.file("other.log");
  start(FB::Log::LogLevel_Info);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop.load()) {
        VOCLE_LOG_INFO("steady %1%", written.fetch_add(1));
      }
    });
  }
  for (int round = 0; round < 50; ++round) {
    start(FB::Log::LogLevel_Info, round % 2 ? m_path : other);
  }
  while (written.load() < 1000) {
    std::this_thread::yield();
  }
  stop = true;
  for (std::thread& w : workers) {
    w.join();
  }
  FB::Log::stopLogging();
  std::size_t total = 0;
  for (const std::string& path : {m_path, other}) {
    for (const std::string& line : lines_of_file(path)) {
      int n = -1;
      char tail = 0;
      EXPECT_EQ(std::sscanf(message_of(line).c_str(), "vocle[thread:%*u] steady %d%c", &n, &tail),
                1)
          << line;
      ++total;
    }
  }
  EXPECT_GT(total, 0u);
  EXPECT_LE(total, static_cast<std::size_t>(written.load()));
}

TEST(LogNames, QualifiedNameKeepsTheScopesAndDropsTheRest) {
  struct name_case {
    const char* pretty;
    const char* expected;
  };
  const name_case cases[] = {
      {"void vocle::audio::studio::start_record(int)", "vocle::audio::studio::start_record"},
      {"vocle::settings::settings()", "vocle::settings::settings"},
      {"vocle::settings::~settings()", "vocle::settings::~settings"},
      {"int vocle::x::get() const", "vocle::x::get"},
      {"static std::map<int, std::__cxx11::basic_string<char> > vocle::x::table(int, char)",
       "vocle::x::table"},
      {"std::vector<T> vocle::x::make(T) [with T = int]", "vocle::x::make"},
      {"void vocle::holder<T>::run() [with T = int]", "vocle::holder<T>::run"},
      {"void vocle::{anonymous}::helper()", "vocle::{anonymous}::helper"},
      {"void vocle::(anonymous namespace)::helper()", "vocle::(anonymous namespace)::helper"},
      {"bool FB::variant::operator==(const FB::variant&) const", "FB::variant::operator=="},
      {"bool vocle::x::operator<(const vocle::x&) const", "vocle::x::operator<"},
      {"std::ostream& vocle::operator<<(std::ostream&, const vocle::x&)", "vocle::operator<<"},
      {"vocle::x* vocle::x::operator->()", "vocle::x::operator->"},
      {"void vocle::x::operator()()", "vocle::x::operator()"},
      {"vocle::x::operator std::vector<int>() const", "vocle::x::operator std::vector<int>"},
      {"void (* vocle::x::callback())(int)", "vocle::x::callback"},
      {"vocle::x::lam()::<lambda(int)>", "vocle::x::lam::<lambda(int)>"},
      {"vocle::x::get() const::<lambda()>", "vocle::x::get::<lambda()>"},
      {"vocle::x::mut()::<lambda()> mutable", "vocle::x::mut::<lambda()>"},
      {"vocle::x::t<double>(double)::<lambda(auto:1)> [with auto:1 = int]",
       "vocle::x::t<double>::<lambda(auto:1)>"},
      {"vocle::x::lam()::<lambda()>::<lambda()>", "vocle::x::lam::<lambda()>::<lambda()>"},
      {"void vocle::tf(T)::local::f() [with T = int]", "vocle::tf::local::f"},
      {"main()::<lambda()>", "main::<lambda()>"},
  };
  for (const name_case& c : cases) {
    EXPECT_EQ(vocle::log::qualified_name(c.pretty), c.expected) << c.pretty;
  }
  EXPECT_EQ(vocle::log::qualified_name(nullptr), "");
}

// The names the compiler really gives, as they reach the log (inside a template's lambda the
// compiler names the enclosing function with its arguments filled in).
TEST_F(LogTest, FunctionNamesAsTheCompilerGivesThem) {
  start(FB::Log::LogLevel_Info);
  vocle_log_test::widget<int>().make(1);
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find(" vocle_log_test::{anonymous}::widget<T>::make - "), std::string::npos)
      << got[0];
  EXPECT_NE(got[1].find(" vocle_log_test::{anonymous}::widget<int>::make::<lambda(int)> - "),
            std::string::npos)
      << got[1];
}

}  // namespace
