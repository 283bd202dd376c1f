#include "core/foundation/settings.h"

#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "core/foundation/util.h"
#include "firebreath/Linux/util_linux.h"

namespace vocle {
namespace {

std::mutex g_instance_mutex;
std::atomic<settings*> g_instance{nullptr};

// Owns the process-wide object. It is made on the first `instance` call, before anything that
// object is used by, so it is destroyed after them at exit.
struct instance_holder {
  std::shared_ptr<settings> object;
  ~instance_holder() { g_instance.store(nullptr, std::memory_order_release); }
};

instance_holder& holder() {
  static instance_holder h;
  return h;
}

// Reads one INI file. A file that is missing or malformed is reported and leaves the tree
// empty, so every lookup gives its default: a configuration mistake must not end the host.
void read_file(const std::string& name, settings::tree& into) {
  try {
    std::string path = util::utf8_to_ansi(util::dll_relative_path(name));
    settings::tree t;
    boost::property_tree::read_ini(path, t);
    into.swap(t);
  } catch (const std::exception& e) {
    settings::report("error", e.what(), true);
  }
}

}  // namespace

settings& settings::instance() {
  settings* s = g_instance.load(std::memory_order_acquire);
  if (s) {
    return *s;
  }
  return *shared_instance();
}

std::shared_ptr<settings> settings::shared_instance() {
  std::lock_guard<std::mutex> lock(g_instance_mutex);
  instance_holder& h = holder();
  if (!h.object) {
    h.object.reset(new settings());
    g_instance.store(h.object.get(), std::memory_order_release);
  }
  return h.object;
}

void settings::reset() {
  std::lock_guard<std::mutex> lock(g_instance_mutex);
  g_instance.store(nullptr, std::memory_order_release);
  holder().object.reset();
}

settings::settings() {
  std::cout << "initializing settings..." << std::endl;
  read_file("vocle.conf", m_config);
  read_file("lang.conf", m_lang);
  check_patterns();
  m_current_lang = get(keys::system_lang);
  check_lang(m_current_lang);
  std::cout << "settings initialized!" << std::endl;
}

settings::~settings() = default;

std::string settings::get_from_tree(const tree& t, const std::string& key,
                                    const std::string& fallback) {
  try {
    return t.get<std::string>(key, fallback);
  } catch (const boost::property_tree::ptree_error&) {
    return fallback;
  }
}

std::string settings::get_string(const std::string& key, const std::string& fallback) const {
  return get_from_tree(m_config, key, fallback);
}

double settings::get_double(const std::string& key, double fallback) const {
  try {
    return m_config.get<double>(key, fallback);
  } catch (const boost::property_tree::ptree_error&) {
    return fallback;
  }
}

bool settings::get_bool(const std::string& key, bool fallback) const {
  try {
    return m_config.get<bool>(key, fallback);
  } catch (const boost::property_tree::ptree_error&) {
    return fallback;
  }
}

std::uint64_t settings::get_int(const std::string& key, std::uint64_t fallback) const {
  try {
    boost::optional<std::string> text = m_config.get_optional<std::string>(key);
    if (!text) {
      return fallback;
    }
    // A stream read of "-1" into an unsigned number wraps round to the largest value; a
    // negative count is a mistake, so it gets the default like any other bad text.
    std::string::size_type first = text->find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && (*text)[first] == '-') {
      return fallback;
    }
    boost::property_tree::stream_translator<char, std::char_traits<char>, std::allocator<char>,
                                            std::uint64_t>
        translator{std::locale()};
    boost::optional<std::uint64_t> value = translator.get_value(*text);
    return value ? *value : fallback;
  } catch (const boost::property_tree::ptree_error&) {
    return fallback;
  }
}

settings::list settings::get_list(const std::string& key, const std::string& separators) const {
  list pieces;
  std::string text = get_string(key, "");
  boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(separators));
  return pieces;
}

settings::list_list settings::get_list_list(const std::string& key, const std::string& outer,
                                            const std::string& inner) const {
  list_list groups;
  for (const std::string& piece : get_list(key, outer)) {
    list items;
    boost::algorithm::split(items, piece, boost::algorithm::is_any_of(inner));
    groups.push_back(items);
  }
  return groups;
}

bool settings::bounded_pattern(const std::string& text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (text[i] != '%') {
      ++i;
      continue;
    }
    if (i + 1 < n && text[i + 1] == '%') {
      i += 2;  // a literal percent sign
      continue;
    }
    // A directive: "%N%", or printf-like "%N$-+ #0W.P" before its conversion letter, also between
    // "|" bars. Every run of digits in it is a position, a width or a precision.
    std::size_t j = i + 1;
    bool digits_only = true;
    bool in_number = false;
    unsigned value = 0;
    for (; j < n && text[j] != '\0' && std::strchr("0123456789$.*-+ #'|", text[j]); ++j) {
      const char c = text[j];
      if (c >= '0' && c <= '9') {
        value = in_number ? value * 10 + static_cast<unsigned>(c - '0')
                          : static_cast<unsigned>(c - '0');
        in_number = true;
        if (value > max_format_field) {
          return false;
        }
      } else {
        in_number = false;
        digits_only = false;
      }
    }
    if (j < n && text[j] == '%' && digits_only && j > i + 1) {
      ++j;  // the percent sign that closes "%N%"
    }
    i = j;
  }
  return true;
}

void settings::check_patterns() const {
  for (const tree::value_type& section : m_lang) {
    for (const tree::value_type& entry : section.second) {
      if (!bounded_pattern(entry.second.data())) {
        report("error",
               (boost::format("language text %1%.%2% holds a format field above %3%; it is shown "
                              "as a text that does not fit its arguments") %
                section.first % entry.first % max_format_field)
                   .str(),
               false);
      }
    }
  }
}

std::string settings::lang() const {
  return m_current_lang;
}

std::string settings::log_level() const {
  return get(keys::log_level);
}

std::string settings::translate(const std::string& key) const {
  return get_from_tree(m_lang, m_current_lang + "." + key, key);
}

void settings::check_lang(const std::string& language) const {
  if (m_lang.find(language) != m_lang.not_found()) {
    return;
  }
  list names;
  for (const tree::value_type& section : m_lang) {
    names.push_back(section.first);
  }
  report("error",
         (boost::format("no such language: %1%, available: %2%") % language %
          boost::algorithm::join(names, ", "))
             .str(),
         false);
}

std::ostream& settings::dump_tree(std::ostream& out, const tree& t) {
  for (const tree::value_type& section : t) {
    out << "[" << section.first << "]\n";
    for (const tree::value_type& entry : section.second) {
      out << entry.first << "=" << entry.second.data() << "\n";
    }
  }
  return out;
}

std::string settings::dump() const {
  std::ostringstream out;
  dump_tree(out, m_config);
  dump_tree(out, m_lang);
  return out.str();
}

void settings::report(const std::string& tag, const std::string& message, bool show_box) {
  std::string text = "[" + tag + "] " + message;
  std::cout << text << std::endl;
  platform::debug_output(text);
  if (show_box) {
    platform::message_box(message, tag);
  }
}

}  // namespace vocle
