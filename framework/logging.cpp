#include "framework/logging.h"

#include <atomic>
#include <memory>
#include <mutex>

#include <log4cplus/appender.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

namespace FB {
namespace Log {
namespace {

std::atomic<int> g_threshold{0};  // 0: no target, nothing is logged
std::mutex g_setup_mutex;

log4cplus::Logger& logger() {
  // log4cplus must be initialised before its first logger and torn down after its last use;
  // the initializer lives as long as the process. So does the logger handle: destructors of
  // other statics (the settings, the request factory) may still log at exit, after a static
  // handle would have been destroyed.
  static log4cplus::Initializer* initializer = new log4cplus::Initializer();
  (void)initializer;
  static log4cplus::Logger* instance =
      new log4cplus::Logger(log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("vocle")));
  return *instance;
}

log4cplus::LogLevel to_log4cplus(LogLevel level) {
  switch (level) {
    case LogLevel_Trace:
      return log4cplus::TRACE_LOG_LEVEL;
    case LogLevel_Debug:
      return log4cplus::DEBUG_LOG_LEVEL;
    case LogLevel_Info:
      return log4cplus::INFO_LOG_LEVEL;
    case LogLevel_Warn:
      return log4cplus::WARN_LOG_LEVEL;
    case LogLevel_Error:
      return log4cplus::ERROR_LOG_LEVEL;
  }
  return log4cplus::INFO_LOG_LEVEL;
}

std::unique_ptr<log4cplus::Layout> make_layout() {
  return std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(
      LOG4CPLUS_TEXT("%D{%Y-%m-%d %H:%M:%S.%q} [%-5p] %F:%L %M - %m%n")));
}

}  // namespace

void initLogging(const LogMethodList& methods, LogLevel level) {
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  log4cplus::Logger& log = logger();
  log.removeAllAppenders();
  for (const auto& method : methods) {
    log4cplus::SharedAppenderPtr appender;
    if (method.first == LogMethod_Console) {
      appender = new log4cplus::ConsoleAppender(true /* standard error */, true /* flush */);
    } else {
      appender = new log4cplus::FileAppender(LOG4CPLUS_STRING_TO_TSTRING(method.second),
                                             std::ios_base::app, true /* flush */,
                                             true /* create folders */);
    }
    appender->setLayout(make_layout());
    log.addAppender(appender);
  }
  log.setLogLevel(to_log4cplus(level));
  g_threshold.store(methods.empty() ? 0 : level, std::memory_order_release);
}

void stopLogging() {
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  g_threshold.store(0, std::memory_order_release);
  logger().removeAllAppenders();
}

bool isEnabled(LogLevel level) {
  int threshold = g_threshold.load(std::memory_order_acquire);
  return threshold != 0 && level >= threshold;
}

const char* levelName(LogLevel level) {
  switch (level) {
    case LogLevel_Trace:
      return "trace";
    case LogLevel_Debug:
      return "debug";
    case LogLevel_Info:
      return "info";
    case LogLevel_Warn:
      return "warn";
    case LogLevel_Error:
      return "error";
  }
  return "info";
}

void write(LogLevel level, const std::string& message, const char* file, int line, const char* fn) {
  if (!isEnabled(level)) {
    return;
  }
  logger().log(to_log4cplus(level), LOG4CPLUS_STRING_TO_TSTRING(message), file, line, fn);
}

}  // namespace Log
}  // namespace FB
