#include "firebreath/Linux/util_linux.h"

#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <utility>

#include "framework/system.h"

namespace vocle {
namespace platform {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// The value of XDG_DESKTOP_DIR in a user-dirs.dirs file: a shell assignment of a double-quoted
// path, absolute or starting with $HOME. "" when the file has no usable entry.
std::string desktop_from_user_dirs(const std::string& file, const std::string& home) {
  std::ifstream in(file);
  std::string line;
  std::string found;
  static const char key[] = "XDG_DESKTOP_DIR=";
  while (std::getline(in, line)) {
    std::string::size_type start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, sizeof key - 1, key) != 0) {
      continue;
    }
    std::string value = line.substr(start + sizeof key - 1);
    std::string::size_type end = value.find_last_not_of(" \t\r");
    value.erase(end == std::string::npos ? 0 : end + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    std::string unescaped;
    for (std::string::size_type i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) {
        ++i;
      }
      unescaped += value[i];
    }
    std::string path;
    if (unescaped.compare(0, 5, "$HOME") == 0) {
      path = home.empty() ? std::string() : home + unescaped.substr(5);
    } else if (unescaped.compare(0, 7, "${HOME}") == 0) {
      path = home.empty() ? std::string() : home + unescaped.substr(7);
    } else if (!unescaped.empty() && unescaped[0] == '/') {
      path = unescaped;
    }
    if (!path.empty()) {
      found = path;  // the last assignment wins, as when the shell reads the file
    }
  }
  return found;
}

std::string until_zero(const std::string& text) {
  return std::string(text.c_str());
}

std::mutex g_box_mutex;
message_box_handler g_box_handler;

}  // namespace

std::string desktop_folder() {
  // Relative folders from the environment are not folders: they would name a different place
  // for every current folder.
  std::string desktop = env("XDG_DESKTOP_DIR");
  if (!desktop.empty() && desktop[0] == '/') {
    return desktop;
  }
  const std::string home = FB::System::environmentHome();
  std::string config = env("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') {
    config = home.empty() ? std::string() : home + "/.config";
  }
  if (!config.empty()) {
    desktop = desktop_from_user_dirs(config + "/user-dirs.dirs", home);
    if (!desktop.empty()) {
      return desktop;
    }
  }
  return home.empty() ? std::string() : home + "/Desktop";
}

std::string narrow_charset() {
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  if (!name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
    return "UTF-8";
  }
  const char* codeset = nl_langinfo(CODESET);
  return codeset && *codeset ? std::string(codeset) : std::string("UTF-8");
}

bool is_utf8(const std::string& charset) {
  std::string folded;
  for (char c : charset) {
    if (c != '-' && c != '_') {
      folded += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return folded == "UTF8";
}

std::string convert(const std::string& text, const std::string& from, const std::string& to) {
  std::string input = until_zero(text);
  if (input.empty() || from == to || (is_utf8(from) && is_utf8(to))) {
    return input;
  }
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return input;
  }
  const bool from_utf8 = is_utf8(from);
  const std::size_t failed = static_cast<std::size_t>(-1);
  std::string out(input.size() * 4 + 16, '\0');
  std::size_t used = 0;
  char* in_ptr = &input[0];
  std::size_t in_left = input.size();
  bool all_read = false;
  for (;;) {
    char* out_ptr = &out[used];
    std::size_t out_left = out.size() - used;
    // Once the text is read, a null input ends the shift state of the target set.
    std::size_t rc = all_read ? iconv(cd, nullptr, nullptr, &out_ptr, &out_left)
                              : iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    int error = errno;
    used = out.size() - out_left;
    if (rc != failed) {
      if (all_read) {
        break;
      }
      all_read = in_left == 0;
      continue;
    }
    if (error == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (all_read || (error != EILSEQ && error != EINVAL)) {
      break;  // keep what was converted
    }
    if (in_left == 0) {
      // A target that drops what it cannot carry (//IGNORE) reads the whole text and reports
      // the dropped characters only then: nothing is left to mark or to skip.
      all_read = true;
      continue;
    }
    // A character the target lacks, or a malformed or cut-off sequence: one "?" for it.
    if (used == out.size()) {
      out.resize(out.size() * 2);
    }
    out[used++] = '?';
    if (error == EINVAL) {
      in_left = 0;
      all_read = true;
      continue;
    }
    ++in_ptr;
    --in_left;
    while (from_utf8 && in_left && (static_cast<unsigned char>(*in_ptr) & 0xC0) == 0x80) {
      ++in_ptr;
      --in_left;
    }
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::string narrow_to_utf8(const std::string& text) {
  std::string charset = narrow_charset();
  return is_utf8(charset) ? until_zero(text) : convert(text, charset, "UTF-8");
}

std::string utf8_to_narrow(const std::string& text) {
  std::string charset = narrow_charset();
  return is_utf8(charset) ? until_zero(text) : convert(text, "UTF-8", charset);
}

void debug_output(const std::string& text) {
  std::string line = text;
  if (line.empty() || line.back() != '\n') {
    line += '\n';
  }
  std::cerr << line << std::flush;
}

void message_box(const std::string& text, const std::string& caption) {
  message_box_handler handler;
  {
    std::lock_guard<std::mutex> lock(g_box_mutex);
    handler = g_box_handler;
  }
  if (handler) {
    handler(text, caption);
    return;
  }
  std::cerr << caption << ": " << text << '\n' << std::flush;
}

message_box_handler set_message_box_handler(message_box_handler handler) {
  std::lock_guard<std::mutex> lock(g_box_mutex);
  std::swap(g_box_handler, handler);
  return handler;
}

}  // namespace platform
}  // namespace vocle
