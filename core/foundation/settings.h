// The process-wide configuration: "vocle.conf" and "lang.conf" from the library's folder, typed
// lookups that fall back to their defaults, list splitting, translation of message keys, and the
// start-up folder and file jobs. It exists before logging does, so it reports through `report`.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/format.hpp>
#include <boost/noncopyable.hpp>
#include <boost/property_tree/ptree.hpp>

#include "core/foundation/keys.h"

namespace vocle {

class settings : private boost::noncopyable {
 public:
  typedef boost::property_tree::ptree tree;
  typedef std::vector<std::string> list;
  typedef std::vector<list> list_list;

  // The process-wide object, read from the library's folder on first use.
  static settings& instance();
  // The same object, shared: whoever holds it keeps it alive through a reset, as a worker does
  // that may still read the configuration while a host or a test replaces it.
  static std::shared_ptr<settings> shared_instance();
  // Forgets the process-wide object; the next `instance` reads both files again. For hosts and
  // tests that point the library's folder elsewhere; no other thread may hold the old object.
  static void reset();

  std::string get_string(const std::string& key, const std::string& fallback) const;
  double get_double(const std::string& key, double fallback) const;
  bool get_bool(const std::string& key, bool fallback) const;
  std::uint64_t get_int(const std::string& key, std::uint64_t fallback) const;
  list get_list(const std::string& key, const std::string& separators) const;
  list_list get_list_list(const std::string& key, const std::string& outer,
                          const std::string& inner) const;
  static std::string get_from_tree(const tree& t, const std::string& key,
                                   const std::string& fallback);

  // Lookups of the key table, each with its default.
  std::string get(const keys::string_key& k) const { return get_string(k.name, k.fallback); }
  double get(const keys::double_key& k) const { return get_double(k.name, k.fallback); }
  bool get(const keys::bool_key& k) const { return get_bool(k.name, k.fallback); }
  std::uint64_t get(const keys::int_key& k) const { return get_int(k.name, k.fallback); }
  list get(const keys::list_key& k) const { return get_list(k.name, ";"); }

  std::string lang() const;
  std::string log_level() const;
  // The expanded "log.file" path, drawn once per process.
  std::string log_file();

  std::string translate(const std::string& key) const;
  template <class A>
  std::string translate_format(const std::string& key, const A& a) const;
  template <class A, class B>
  std::string translate_format(const std::string& key, const A& a, const B& b) const;
  void check_lang(const std::string& language) const;
  // Reports every language text that bounded_pattern refuses, naming its language and key.
  void check_patterns() const;

  // The start-up folder and file jobs ("system.startup_mkdir", "system.startup_rm").
  void startup();

  static std::ostream& dump_tree(std::ostream& out, const tree& t);
  std::string dump() const;

  // "[tag] message" to standard output and the debugger output; a message box when asked.
  static void report(const std::string& tag, const std::string& message, bool show_box);

  const tree& config_tree() const { return m_config; }
  const tree& lang_tree() const { return m_lang; }

  ~settings();

 private:
  settings();

  tree m_config;
  tree m_lang;
  std::string m_current_lang;
  std::string m_log_file;
  std::mutex m_log_file_mutex;

  // The text as a format pattern that stands for itself ("%" doubled).
  static std::string literal_pattern(const std::string& text);

 public:
  // The largest number a width, precision or argument position of a language text may hold.
  static constexpr unsigned max_format_field = 99;
  // Whether every number in the text's format directives is at most max_format_field. A text
  // with a larger one is never used as a pattern: a width of 2000000000 builds a string of that
  // size at every translation, and a position beyond the int range overflows inside the format
  // library. Such a text falls back as one that does not fit its arguments.
  static bool bounded_pattern(const std::string& text);
};

inline std::string settings::literal_pattern(const std::string& text) {
  std::string pattern;
  for (char c : text) {
    pattern += c;
    if (c == '%') {
      pattern += '%';
    }
  }
  return pattern;
}

template <class A>
std::string settings::translate_format(const std::string& key, const A& a) const {
  std::string pattern = translate(key);
  if (bounded_pattern(pattern)) {
    try {
      return (boost::format(pattern) % a).str();
    } catch (const boost::io::format_error&) {
    }
  }
  std::string prefix = translate("ERROR_I18N_FORMAT_PREFIX");
  if (bounded_pattern(prefix)) {
    try {
      return (boost::format(prefix + "%2%") % pattern % a).str();
    } catch (const boost::io::format_error&) {
    }
  }
  // A prefix that does not format itself is taken as plain text.
  return (boost::format(literal_pattern(prefix) + "%2%") % pattern % a).str();
}

template <class A, class B>
std::string settings::translate_format(const std::string& key, const A& a, const B& b) const {
  std::string pattern = translate(key);
  if (bounded_pattern(pattern)) {
    try {
      return (boost::format(pattern) % a % b).str();
    } catch (const boost::io::format_error&) {
    }
  }
  std::string prefix = translate("ERROR_I18N_FORMAT_PREFIX");
  if (bounded_pattern(prefix)) {
    try {
      return (boost::format(prefix + "%2%, %3%") % pattern % a % b).str();
    } catch (const boost::io::format_error&) {
    }
  }
  // A prefix that does not format itself is taken as plain text.
  return (boost::format(literal_pattern(prefix) + "%2%, %3%") % pattern % a % b).str();
}

}  // namespace vocle
