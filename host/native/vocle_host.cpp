// vocle-host: the native-messaging host that serves the vocle extension's pages in Chromium.
//
//   vocle-host [--plugin PATH] [--answer-timeout SECONDS] [--end-timeout SECONDS] [ORIGIN]
//
// The browser starts one vocle-host for each page that uses the plug-in, with the extension's
// origin (chrome-extension://ID/) as its argument, and talks to it over standard input and output
// (native_channel). It loads the library (default: libnpvocle.so in ../lib beside this program,
// with its vocle.conf) and serves the page (native_host) until the browser closes the channel.
//
//   --answer-timeout  how long a synchronous call of the plug-in waits for the page (default 5)
//   --end-timeout     how long the plug-in may take to end once the page has gone (default 60)
//
// Exit status: 0 after the page has gone, 2 for a wrong command line, 3 when the plug-in did not
// end within the end time-out.
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "host/core/command_line.h"
#include "host/core/host_core.h"
#include "host/native/native_channel.h"
#include "host/native/native_host.h"

namespace {

const char* const k_usage =
    "usage: vocle-host [--plugin PATH] [--answer-timeout SECONDS] [--end-timeout SECONDS] "
    "[ORIGIN]\n";

host::native_channel* g_channel = nullptr;
volatile pid_t g_child = -1;

void stop_on_signal(int) {
  if (g_channel != nullptr) {
    g_channel->stop_from_signal();
  }
}

void pass_on_signal(int signal_number) {
  if (g_child > 0) {
    ::kill(g_child, signal_number);
  }
}

void set_handler(int signal_number, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

// False (with the message) when the command line is wrong.
bool parse(int argc, char** argv, host::native_host::options* out, bool* help, std::string* error) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string name, value;
    if (host::take_option(argc, argv, &i, {"--plugin", "--answer-timeout", "--end-timeout"}, &name,
                          &value, error)) {
      if (!error->empty()) {
        return false;
      }
      double seconds = 0;
      if (name == "--plugin") {
        out->plugin_path = value;
      } else if (!host::seconds_of(value, &seconds) || seconds > 1e6) {
        *error = name + " needs a number of seconds above 0, not \"" + value + "\"";
        return false;
      } else if (name == "--answer-timeout") {
        out->answer_timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
      } else {
        out->end_timeout = std::chrono::seconds(static_cast<long long>(std::ceil(seconds)));
      }
    } else if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    } else if (arg.compare(0, 19, "chrome-extension://") == 0 ||
               arg.compare(0, 16, "--parent-window=") == 0) {
      // The caller's origin, and on some systems its window: nothing to do with either.
    } else {
      *error = "unknown argument " + arg;
      return false;
    }
  }
  if (out->plugin_path.empty()) {
    out->plugin_path = host::default_plugin_path();
    if (out->plugin_path.empty()) {
      out->plugin_path = "libnpvocle.so";
    }
  }
  return true;
}

// Chromium ends a host two seconds after the page's port closes, with SIGKILL to the process it
// started (that process alone). Ending the plug-in may take longer: a record being saved is
// written out first. So the process the browser started only waits, and its child, which alone
// holds the browser's pipes, is the host: it ends when it has finished, whenever the waiting
// process is killed. Returns in the child; the waiting process exits with the child's status.
void split_off_the_host() {
  const pid_t child = ::fork();
  if (child < 0) {
    std::cerr << "vocle-host: cannot start the host process (" << std::strerror(errno)
              << "); serving from this one\n";
    return;
  }
  if (child == 0) {
    ::setsid();
    return;
  }
  ::close(0);
  ::close(1);
  g_child = child;
  set_handler(SIGTERM, pass_on_signal);
  set_handler(SIGINT, pass_on_signal);
  set_handler(SIGHUP, pass_on_signal);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    std::exit(WEXITSTATUS(status));
  }
  std::exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1);
}

// The channel gets descriptors of its own; standard input then reads nothing and standard
// output goes to standard error, so nothing the library or its libraries print can break the
// browser's framing.
bool take_standard_streams(int* in, int* out) {
  *in = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  *out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (*in < 0 || *out < 0) {
    return false;
  }
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::close(null);
  }
  ::dup2(2, 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  host::native_host::options opts;
  bool help = false;
  std::string error;
  if (!parse(argc, argv, &opts, &help, &error)) {
    std::cerr << "vocle-host: " << error << "\n" << k_usage;
    return 2;
  }
  if (help) {
    std::cout << k_usage;
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // A save that reaches the file-size limit fails its write (EFBIG) rather than ending the host.
  ::signal(SIGXFSZ, SIG_IGN);
  split_off_the_host();

  int in = -1;
  int out = -1;
  if (!take_standard_streams(&in, &out)) {
    std::cerr << "vocle-host: standard input and output are not usable: " << std::strerror(errno)
              << "\n";
    return 1;
  }
  int status = 0;
  {
    host::host_core core;
    host::native_channel channel(in, out);
    g_channel = &channel;
    set_handler(SIGTERM, stop_on_signal);
    set_handler(SIGINT, stop_on_signal);
    set_handler(SIGHUP, stop_on_signal);
    {
      host::native_host served(core, channel, opts);
      status = served.run();
    }
    set_handler(SIGTERM, SIG_DFL);
    set_handler(SIGINT, SIG_DFL);
    set_handler(SIGHUP, SIG_DFL);
    g_channel = nullptr;
  }
  return status;
}
