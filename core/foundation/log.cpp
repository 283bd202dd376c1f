#include "core/foundation/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <locale>

namespace vocle {
namespace log {
namespace {

// libstdc++'s ctype<char> fills its narrow() cache lazily, with one unsynchronised write per
// character, and boost::format narrows every character of its pattern: threads formatting
// their first lines at the same time race on that cache. Filling it before main, while no
// other thread exists, leaves nothing to write later.
[[maybe_unused]] const bool g_narrow_cache_filled = [] {
  const std::ctype<char>& ctype = std::use_facet<std::ctype<char> >(std::locale());
  for (int c = 0; c < 256; ++c) {
    ctype.narrow(static_cast<char>(c), 0);
  }
  return true;
}();

}  // namespace

unsigned long thread_id() {
  return static_cast<unsigned long>(::syscall(SYS_gettid));
}

namespace {

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool starts_with(const std::string& s, std::string::size_type at, const char* word) {
  return s.compare(at, std::strlen(word), word) == 0;
}

// The "operator" keyword standing on its own at the given position.
bool is_operator_keyword(const std::string& s, std::string::size_type at) {
  static const char keyword[] = "operator";
  const std::string::size_type after = at + sizeof keyword - 1;
  return starts_with(s, at, keyword) && (at == 0 || !is_identifier_char(s[at - 1])) &&
         (after >= s.size() || !is_identifier_char(s[after]));
}

// The position of the ")" that closes the "(" at open, or npos.
std::string::size_type closing_paren(const std::string& s, std::string::size_type open) {
  int depth = 0;
  for (std::string::size_type i = open; i < s.size(); ++i) {
    if (s[i] == '(') {
      ++depth;
    } else if (s[i] == ')' && --depth == 0) {
      return i;
    }
  }
  return std::string::npos;
}

// Skips the cv- and ref-qualifiers that may follow a parameter list.
std::string::size_type skip_qualifiers(const std::string& s, std::string::size_type at) {
  static const char* const qualifiers[] = {" const", " volatile", " &&", " &", "&&", "&"};
  for (bool again = true; again;) {
    again = false;
    for (const char* q : qualifiers) {
      const std::string::size_type n = std::strlen(q);
      if (starts_with(s, at, q) && (at + n >= s.size() || !is_identifier_char(s[at + n]))) {
        at += n;
        again = true;
        break;
      }
    }
  }
  return at;
}

}  // namespace

// GCC's forms, and what is kept of them:
//   "void ns::cls::fn(int) const"                 -> "ns::cls::fn"
//   "std::vector<T> ns::fn(T) [with T = int]"     -> "ns::fn"
//   "void ns::{anonymous}::fn()"                  -> "ns::{anonymous}::fn"
//   "bool ns::cls::operator<(const ns::cls&)"     -> "ns::cls::operator<"
//   "ns::cls::operator std::vector<int>() const"  -> "ns::cls::operator std::vector<int>"
//   "ns::cls::fn() const::<lambda(int)> mutable"  -> "ns::cls::fn::<lambda(int)>"
//   "void (* ns::fn())(int)"                      -> "ns::fn"
// The parameter lists of the functions that enclose a lambda or a local class are dropped; the
// lambda keeps its own brackets.
std::string qualified_name(const char* pretty_function) {
  if (!pretty_function) {
    return std::string();
  }
  const std::string s(pretty_function);
  static const char clang_anonymous[] = "(anonymous namespace)";
  std::string name;
  int angle = 0;
  std::string::size_type i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (angle == 0) {
      if (starts_with(s, i, clang_anonymous)) {
        name += clang_anonymous;
        i += sizeof clang_anonymous - 1;
        continue;
      }
      if (is_operator_keyword(s, i)) {
        name += "operator";
        i += 8;
        if (starts_with(s, i, "()")) {
          name += "()";
          i += 2;
        } else if (i < s.size() && s[i] == ' ') {
          // A conversion operator, new or delete: its name runs to the parameter list.
          int depth = 0;
          while (i < s.size() && !(s[i] == '(' && depth == 0)) {
            depth += s[i] == '<' ? 1 : s[i] == '>' ? -1 : 0;
            name += s[i++];
          }
        } else {
          while (i < s.size() && std::strchr("<>=!+-*/%^&|~,[]", s[i])) {
            name += s[i++];
          }
        }
        continue;
      }
      if (c == ' ') {
        // What follows a lambda ("mutable", "[with ...]") ends the name; otherwise everything
        // before the blank was the return type.
        if (starts_with(s, i + 1, "mutable") || starts_with(s, i + 1, "[")) {
          break;
        }
        name.clear();
        ++i;
        continue;
      }
      if (c == '(') {
        if (i + 1 < s.size() && (s[i + 1] == '*' || s[i + 1] == '&')) {
          // The declarator of a function returning a function pointer: "void (* ns::fn())(int)".
          name.clear();
          i += 2;
          continue;
        }
        const std::string::size_type close = closing_paren(s, i);
        if (close == std::string::npos) {
          break;
        }
        const std::string::size_type after = skip_qualifiers(s, close + 1);
        if (starts_with(s, after, "::")) {
          i = after;  // the enclosing function of a lambda or a local class
          continue;
        }
        break;
      }
    }
    if (c == '<') {
      ++angle;
    } else if (c == '>' && angle > 0) {
      --angle;
    }
    name += c;
    ++i;
  }
  return name.empty() ? s : name;
}

std::string prefix() {
  return (boost::format("vocle[thread:%1%] ") % thread_id()).str();
}

void write_text(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
                const std::string& text) noexcept {
  if (!FB::Log::isEnabled(level)) {
    return;
  }
  try {
    FB::Log::write(level, prefix() + text, file, line, qualified_name(pretty_function).c_str());
  } catch (const std::exception& e) {
    write_failure(level, file, line, pretty_function, e.what());
  } catch (...) {
    write_failure(level, file, line, pretty_function, "unknown error");
  }
}

void write_failure(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
                   const char* what) noexcept {
  try {
    std::string text = (boost::format("vocle[thread:%1%] log::%2% error: %3%") % thread_id() %
                        FB::Log::levelName(level) % what)
                           .str();
    FB::Log::write(FB::Log::LogLevel_Error, text, file, line,
                   qualified_name(pretty_function).c_str());
  } catch (...) {
    // Nothing is left to report a failure of the failure report with.
  }
}

}  // namespace log
}  // namespace vocle
