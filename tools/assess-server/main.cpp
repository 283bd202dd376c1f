// assess-server [--host 127.0.0.1] [--port N] [--max-body BYTES]
//
// A local stand-in for the speech-assessment server (see assess_server.h for what it answers).
// Port 0, the default, takes any free port. A request body larger than --max-body bytes (64 MiB
// by default) is answered 413 and not kept. The first line on standard output is
// "listening on <host>:<port>", so a program that starts it can read where it listens; requests
// are noted on standard error. SIGTERM or SIGINT stops it: it finishes the requests in progress,
// cuts delayed answers short and exits with status 0.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tools/assess-server/assess_server.h"

namespace {

const char* const usage = "usage: assess-server [--host 127.0.0.1] [--port N] [--max-body BYTES]\n";

int refuse(const std::string& why) {
  std::fprintf(stderr, "assess-server: %s\n%s", why.c_str(), usage);
  return 2;
}

bool read_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  port = std::stoi(text);
  return port <= 65535;
}

// A whole number of bytes, at most 2^40.
bool read_size(const std::string& text, std::size_t& size) {
  if (text.empty() || text.size() > 13 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long long value = std::stoull(text);
  if (value > (1ull << 40)) {
    return false;
  }
  size = static_cast<std::size_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  std::size_t max_body = assess::assess_server::default_max_body;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    std::string option = arg, value;
    const std::string::size_type equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      option = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else if (arg == "--host" || arg == "--port" || arg == "--max-body") {
      if (i + 1 == argc) {
        return refuse(arg + " needs a value");
      }
      value = argv[++i];
    }
    if (option == "--host") {
      if (value.empty()) {
        return refuse("--host needs a value");
      }
      host = value;
    } else if (option == "--port") {
      if (!read_port(value, port)) {
        return refuse("not a port: \"" + value + "\"");
      }
    } else if (option == "--max-body") {
      if (!read_size(value, max_body)) {
        return refuse("not a byte count up to 2^40: \"" + value + "\"");
      }
    } else {
      return refuse("unknown argument \"" + arg + "\"");
    }
  }

  // The signals are taken by sigwait below; every thread started from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  // A client that goes away mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);

  assess::assess_server server(max_body);
  const int bound = server.bind(host, port);
  if (bound < 0) {
    std::fprintf(stderr, "assess-server: cannot listen on %s:%d\n", host.c_str(), port);
    return 1;
  }
  std::printf("listening on %s:%d\n", host.c_str(), bound);
  std::fflush(stdout);

  std::atomic<bool> stopping{false};
  std::atomic<bool> failed{false};
  std::thread serving([&] {
    if (!server.run() && !stopping) {
      failed = true;
      std::fprintf(stderr, "assess-server: serving on %s:%d failed\n", host.c_str(), bound);
      ::kill(::getpid(), SIGTERM);  // wakes the wait below
    }
  });

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  stopping = true;
  server.stop();
  serving.join();
  if (failed) {
    return 1;
  }
  std::fprintf(stderr, "assess-server: stopped by signal %d\n", signal_number);
  return 0;
}
