// Path placeholders and code-page conversion over any text: expand_path with every placeholder
// the text may hold, and conversions between character sets (also to targets that drop or
// transliterate what they cannot carry), never reading or writing outside the text. The same text
// as a page's path for a save or load, and as an upload's address and cookie: one that holds a
// NUL, which the system would cut there, is refused, and nothing is sent for it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <boost/make_shared.hpp>

#include "core/foundation/util.h"
#include "core/http/request_factory.h"
#include "core/studio/studio.h"
#include "firebreath/Linux/util_linux.h"
#include "fuzz_support.h"

using vocle::fuzz::check;

namespace {

const char* const charsets[] = {
    "UTF-8",         "CP1252",         "ISO-8859-1",      "GBK",
    "ASCII",         "UTF-16",         "UTF-32",          "SHIFT_JIS",
    "ASCII//IGNORE", "CP1252//IGNORE", "GBK//IGNORE",     "ASCII//TRANSLIT",
    "UTF-7",         "ISO-2022-JP",    "no-such-charset", "ASCII//TRANSLIT//IGNORE",
};

const char* charset(FuzzedDataProvider& in) {
  return charsets[in.ConsumeIntegralInRange<std::size_t>(0,
                                                         sizeof charsets / sizeof *charsets - 1)];
}

// An address on this machine whose port is bound but takes no connection: were a text with a NUL
// sent after all, its cut address would end here, refused by the port, not by the text.
std::string closed_port_url() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  check(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0,
        "a local port to bind");
  // The socket stays bound until the process ends.
  return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
}

std::string g_closed_url;

// The one result of a transfer that must not have been made: a failure with libcurl's text for
// the refusal.
void check_refused_transfer(const std::string& uri, const std::string& cookie, CURLcode code,
                            const char* what) {
  const auto callback = boost::make_shared<vocle::fuzz::kept_calls>();
  vocle::http::request_factory::run_transfer(curl_easy_init(), uri, cookie, nullptr, callback,
                                             vocle::function_ptr(), nullptr);
  check(callback->lists.size() == 1 && callback->lists[0].size() == 4, what);
  const FB::VariantList& result = callback->lists[0];
  check(!result[0].convert_cast<bool>(), what);
  const std::string text = result[1].convert_cast<std::string>();
  const std::string expected = std::string(curl_easy_strerror(code)) + ", ";
  check(text.compare(0, expected.size(), expected) == 0, what);
}

bool has_placeholder(const std::string& text) {
  for (const char* p : {"@{dlldir}", "@{appdata}", "@{desktop}", "@{random-uuid}"}) {
    if (text.find(p) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vocle::fuzz::quiet();
  const std::string home = vocle::fuzz::folder();
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  ::unsetenv("XDG_DESKTOP_DIR");
  ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  vocle::fuzz::configure("[system]\nfile_permission=all\n",
                         "[en_US]\nSAVE_RECORD_FAILED=not saved\nZRV_ERR_NET_HTTP=%1%\n");
  vocle::http::request_factory::instance();
  g_closed_url = closed_port_url();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const char* from = charset(in);
  const char* to = charset(in);
  const std::string text = in.ConsumeRemainingBytesAsString();
  const std::string until_zero(text.c_str());

  const std::string expanded = vocle::util::expand_path(text);
  check(has_placeholder(text) || expanded == text, "a path without placeholders stays");

  const std::string converted = vocle::platform::convert(text, from, to);
  if (std::string(from) == to) {
    check(converted == until_zero, "the same set gives the text up to its first zero");
  }
  // Back again, whatever came out.
  vocle::platform::convert(converted, to, from);
  vocle::util::utf8_to_ansi(text);
  vocle::util::ansi_to_utf8(text);

  const bool nul = text.find('\0') != std::string::npos;
  check(vocle::util::holds_nul(text) == nul, "a NUL is found wherever it is");
  // The rule allows every path here ("all"): one with a NUL is refused with the request's failure,
  // before any placeholder is expanded; any other comes out whole, with no NUL.
  const vocle::audio::studio::file_access access =
      vocle::audio::studio::resolve_file_path(text, "@{appdata}/default.wav", "SAVE_RECORD_FAILED");
  if (nul) {
    check(!access.allowed && access.refusal == "not saved" && access.path.empty(),
          "a path with a NUL is refused");
  } else {
    check(access.allowed && !vocle::util::holds_nul(access.path), "a path without a NUL is used");
  }
  if (nul) {
    check_refused_transfer(g_closed_url + text, "", CURLE_URL_MALFORMAT,
                           "an address with a NUL is refused");
    check_refused_transfer(g_closed_url, text, CURLE_BAD_FUNCTION_ARGUMENT,
                           "a cookie with a NUL is refused");
  }
  return 0;
}
