// The framework's logging front end: levels, targets and the call every log line goes through.
// Nothing is written until initLogging has been given at least one target.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace FB {
namespace Log {

enum LogLevel {
  LogLevel_Trace = 1,
  LogLevel_Debug = 2,
  LogLevel_Info = 4,
  LogLevel_Warn = 8,
  LogLevel_Error = 16,
};

enum LogMethod {
  LogMethod_Console,  // the debugger output: standard error here
  LogMethod_File,     // appended to the file named beside the method
};

typedef std::vector<std::pair<LogMethod, std::string> > LogMethodList;

// Starts logging to the given targets at the given threshold; replaces an earlier set-up.
void initLogging(const LogMethodList& methods, LogLevel level);
// Flushes and removes every target; later log calls write nothing.
void stopLogging();

// True when a line at this level would reach a target, so callers can skip building it.
bool isEnabled(LogLevel level);

// The lowercase name of a level ("trace" ... "error").
const char* levelName(LogLevel level);

// Writes one line. file is the source path below the tree, fn the qualified function name.
void write(LogLevel level, const std::string& message, const char* file, int line, const char* fn);

}  // namespace Log
}  // namespace FB
