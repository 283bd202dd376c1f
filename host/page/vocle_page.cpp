// vocle-page: runs a page script with the plug-in, the way a page meets it.
//
//   vocle-page [--url URL] [--plugin PATH] [--timeout SECONDS] SCRIPT.js [ARG ...]
//
// Loads the library (default: libnpvocle.so in ../lib beside this program), makes one instance
// of "application/x-tarvix-vocle" for the page at URL (default: file:// and the script's absolute
// path), gives the script its scriptable object as `plugin`, and runs the page until done(code)
// or the time-out (default 30 s, counted from the start of vocle-page, the library's start-up
// included). A page does not end by itself: results of the library's workers arrive later, so a
// script that has finished waits for done() or the time-out.
//
// Exit status:
//   the code given to done(code), 0 for done()
//   1    an uncaught script error (also in a timer or a queued callback; printed with file and
//        line), a library that fails to load or initialise, an instance or scriptable object
//        that the library refuses (its reason on standard error), an unreadable script
//   2    a wrong command line
//   124  the time-out (a line on standard error); also when the page or the library does not give
//        the main thread back within 10 s after it, or the library takes over 60 s to shut down
//        (the watchdog ends the process with _exit)
// At the end the instance is destroyed and the library shut down before the program returns.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/core/command_line.h"
#include "host/core/host_core.h"
#include "host/core/watchdog.h"
#include "host/page/page_runtime.h"

namespace {

const char* const k_mime_type = "application/x-tarvix-vocle";
const char* const k_usage =
    "usage: vocle-page [--url URL] [--plugin PATH] [--timeout SECONDS] SCRIPT.js [ARG ...]\n";
// How long past the deadline a page may take to give the main thread back, and how long the
// library may take to shut down, before the watchdog ends the process.
const std::chrono::seconds k_grace(10);
const std::chrono::seconds k_teardown(60);
const int k_usage_status = 2;
const int k_failure_status = 1;

struct options {
  std::string url;
  std::string plugin;
  double timeout = 30;
  std::string script;
  std::vector<std::string> args;
};

// False (with the message) when the command line is wrong; *help when help was asked for.
bool parse(int argc, char** argv, options* out, bool* help, std::string* error) {
  *help = false;
  int i = 1;
  bool url_given = false;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string name, value;
    if (host::take_option(argc, argv, &i, {"--url", "--plugin", "--timeout"}, &name, &value,
                          error)) {
      if (!error->empty()) {
        return false;
      }
      if (name == "--url") {
        out->url = value;
        url_given = true;
      } else if (name == "--plugin") {
        out->plugin = value;
      } else {
        double seconds = 0;
        if (!host::seconds_of(value, &seconds)) {
          *error = "--timeout needs a number of seconds above 0, not \"" + value + "\"";
          return false;
        }
        out->timeout = std::min(seconds, 1e8);
      }
    } else if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    } else if (arg == "--") {
      ++i;
      break;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      break;
    }
  }
  if (i >= argc) {
    *error = "no script given";
    return false;
  }
  out->script = argv[i++];
  for (; i < argc; ++i) {
    out->args.push_back(argv[i]);
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!url_given) {
    const fs::path absolute = fs::absolute(out->script, ec);
    if (ec) {
      *error = "cannot find the absolute path of " + out->script + ": " + ec.message();
      return false;
    }
    out->url = "file://" + absolute.lexically_normal().string();
  }
  if (out->plugin.empty()) {
    out->plugin = host::default_plugin_path();
    if (out->plugin.empty()) {
      *error = "cannot find this program's folder";
      return false;
    }
  }
  return true;
}

bool read_file(const std::string& path, std::string* text, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  const int code = errno;
  std::fclose(file);
  if (failed) {
    *error = std::strerror(code);
    return false;
  }
  return true;
}

void report(const std::string& line) {
  std::fprintf(stderr, "vocle-page: %s\n", line.c_str());
}

std::string seconds_text(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

int run_page(const options& opts, const std::string& source, host::watchdog& dog,
             host::page_runtime::clock::time_point deadline) {
  host::host_core core;
  host::page_runtime::settings settings;
  settings.url = opts.url;
  settings.script_name = opts.script;
  settings.args = opts.args;
  settings.deadline = deadline;
  settings.timeout_seconds = opts.timeout;
  std::unique_ptr<host::page_runtime> page;
  try {
    page = std::make_unique<host::page_runtime>(core, settings);
  } catch (const std::exception& e) {
    report(e.what());
    return k_failure_status;
  }

  int status = k_failure_status;
  std::string error;
  vh_instance* instance = nullptr;
  vh_object* scriptable = nullptr;
  if (!core.load(opts.plugin, &error)) {
    report(error);
  } else if ((instance = core.create_instance(k_mime_type, page.get(), &error)) == nullptr) {
    report(error);
  } else if ((scriptable = core.scriptable(instance, &error)) == nullptr) {
    report("the plug-in gave the page no object: " + error);
  } else {
    try {
      page->set_plugin(scriptable);
      page->run_script(source);
      if (!page->ended() && core.loop().run(deadline) == host::main_loop::run_result::deadline) {
        page->time_out();
      }
      status = page->status();
    } catch (const std::exception& e) {
      report(e.what());
      status = k_failure_status;
    }
  }

  page->end();
  dog.arm(host::page_runtime::clock::now() + k_teardown,
          "vocle-page: the plug-in did not shut down within " + std::to_string(k_teardown.count()) +
              " s; stopped");
  core.shutdown();
  page.reset();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  options opts;
  bool help = false;
  std::string error;
  if (!parse(argc, argv, &opts, &help, &error)) {
    report(error);
    std::fputs(k_usage, stderr);
    return k_usage_status;
  }
  if (help) {
    std::fputs(k_usage, stdout);
    return 0;
  }
  std::string source;
  if (!read_file(opts.script, &source, &error)) {
    report("cannot read " + opts.script + ": " + error);
    return k_failure_status;
  }
  // A closed output must not kill the page (or the library) in the middle of its work, nor must
  // a file that reaches the file-size limit: the write fails instead (EFBIG), as any other.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  const auto start = host::page_runtime::clock::now();
  const auto deadline = start + std::chrono::duration_cast<host::page_runtime::clock::duration>(
                                    std::chrono::duration<double>(opts.timeout));
  host::watchdog dog(host::page_runtime::k_timeout_status);
  dog.arm(deadline + k_grace, "vocle-page: time-out: the page did not end within " +
                                  seconds_text(opts.timeout) + " s and does not stop; stopped");
  return run_page(opts, source, dog, deadline);
}
