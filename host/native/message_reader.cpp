#include "host/native/message_reader.h"

#include <utility>

#include "host/core/variants.h"

namespace host {

namespace {

typedef nlohmann::json json;

// What the host needs of a refused message to answer it.
bool is_envelope_key(const std::string& key) {
  return key == "t" || key == "q" || key == "i";
}

// An envelope's value is kept when it is a number or a short text (a type, or a wrong element
// number to quote): a refused message holds little, whatever its text.
bool is_envelope_value(const json& value) {
  return value.is_primitive() &&
         (!value.is_string() || value.get_ref<const std::string&>().size() <= 64);
}

// nlohmann's words for a parse error, without the text it last read (which may be long).
std::string parse_error_text(std::size_t position, const std::string& what) {
  std::string reason = what;
  const std::size_t column = reason.find("column ");
  const std::size_t start =
      column == std::string::npos ? std::string::npos : reason.find(": ", column);
  if (start != std::string::npos) {
    reason.erase(0, start + 2);
  }
  const std::size_t last_read = reason.find("; last read: '");
  if (last_read != std::string::npos) {
    const std::size_t end = reason.rfind('\'');
    reason = reason.substr(0, last_read) +
             (end > last_read + 13 ? reason.substr(end + 1) : std::string());
  }
  if (reason.size() > 200) {
    reason.resize(200);
  }
  return "the message is not valid JSON at byte " + std::to_string(position) + ": " + reason;
}

unsigned hex_value(const char* text, std::size_t size, std::size_t at) {
  if (at + 4 > size) {
    return 0x10000;
  }
  unsigned value = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    const char c = text[k];
    const unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                           : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                           : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                  : 16u;
    if (digit > 15) {
      return 0x10000;
    }
    value = value * 16 + digit;
  }
  return value;
}

// The text with each escape of a lone surrogate replaced by \ufffd (as long), or empty when it
// has none.
std::string mended_surrogates(const char* text, std::size_t size) {
  std::string mended;
  for (std::size_t at = 0; at + 1 < size; ++at) {
    if (text[at] != '\\') {
      continue;
    }
    if (text[at + 1] != 'u') {
      ++at;  // an escape of one character, perhaps a backslash
      continue;
    }
    const unsigned unit = hex_value(text, size, at + 2);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && at + 12 <= size && text[at + 6] == '\\' && text[at + 7] == 'u') {
      const unsigned low = hex_value(text, size, at + 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        at += 11;  // a pair: one character
        continue;
      }
    }
    if (high || (unit >= 0xDC00 && unit <= 0xDFFF)) {
      if (mended.empty()) {
        mended.assign(text, size);
      }
      mended.replace(at + 2, 4, "fffd");
    }
    at += 5;
  }
  return mended;
}

// A page object as the page script sends it: "$" is "o" (an object) or "f" (a function), "id"
// its number on the page.
bool reference_id(const json& object, std::int64_t* id) {
  const auto tag = object.find("$");
  if (tag == object.end() || !tag->is_string()) {
    return false;
  }
  const std::string& kind = tag->get_ref<const std::string&>();
  const auto number = object.find("id");
  if ((kind != "o" && kind != "f") || number == object.end() || !number->is_number_integer()) {
    return false;
  }
  *id = number->get<std::int64_t>();
  return true;
}

// nlohmann's SAX events: builds the message as nlohmann's own reader does until the text breaks
// a limit, then only follows the text to its end.
class limited_builder {
 public:
  explicit limited_builder(message_reader::message* out) : m_out(out) {}

  bool null() { return scalar(json(nullptr)); }
  bool boolean(bool value) { return scalar(json(value)); }
  bool number_integer(json::number_integer_t value) { return scalar(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return scalar(json(value)); }
  bool number_float(json::number_float_t value, const json::string_t&) {
    return scalar(json(value));
  }
  bool string(json::string_t& value) { return scalar(json(std::move(value))); }
  // JSON text holds no binary values.
  bool binary(json::binary_t&) { return scalar(json()); }
  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(json::string_t& name) {
    const std::size_t depth = m_refused ? m_depth : m_open.size();
    if (depth == 1) {
      m_top_key = name;
    }
    m_last_key = name == "$" ? last_key::tag : name == "id" ? last_key::id : last_key::other;
    if (!m_refused) {
      m_member = &(*m_open.back())[name];
    }
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    fail(parse_error_text(position, error.what()));
    return false;
  }

  // The message is refused for this reason, whatever else it breaks.
  void fail(const std::string& reason) {
    m_parse_error = reason;
    if (!m_refused) {
      refuse();
    }
  }
  bool failed() const { return !m_parse_error.empty(); }
  const std::string& reason() const { return m_parse_error; }

  // After the text: false when it held no JSON object.
  bool finish() {
    if (!m_root.is_object()) {
      return false;
    }
    message_reader::message& out = *m_out;
    out.value = std::move(m_root);
    if (m_refused) {
      out.refused = !m_parse_error.empty() ? m_parse_error
                    : m_too_deep           ? "the message is nested deeper than " +
                                       std::to_string(message_reader::k_deepest_text) + " levels"
                    : m_too_many_values ? "the message holds more than " +
                                              std::to_string(message_reader::k_most_values) +
                                              " values, the most one message may hold"
                                        : too_many_elements(m_count_array, m_count);
      out.footprint = 256 + sizeof(std::int64_t) * out.references.size();
    }
    return true;
  }

  std::size_t values() const { return m_values; }

 private:
  enum class last_key { other, tag, id };

  bool scalar(json&& value) {
    if (!m_refused && count_element() && count_value()) {
      add(std::move(value));
      return true;
    }
    if (m_depth == m_count_depth) {
      ++m_count;
    }
    if (m_depth == 1 && m_root.is_object() && is_envelope_key(m_top_key) &&
        is_envelope_value(value)) {
      m_root[m_top_key] = value;
    }
    // The innermost object's "$" and "id", when both come before anything nested in it (as the
    // page script writes them): a page object the host gives back.
    if (m_last_key == last_key::tag && value.is_string()) {
      const std::string& kind = value.get_ref<const std::string&>();
      m_tagged = kind == "o" || kind == "f";
    } else if (m_last_key == last_key::id && value.is_number_integer()) {
      m_has_id = true;
      m_id = value.get<std::int64_t>();
    }
    if (m_tagged && m_has_id) {
      m_out->references.push_back(m_id);
      m_tagged = m_has_id = false;
    }
    m_last_key = last_key::other;
    return true;
  }

  bool open(bool object) {
    if (!m_refused && count_element() && count_value()) {
      if (m_open.size() < message_reader::k_deepest_text) {
        m_open.push_back(add(object ? json::object() : json::array()));
        m_counts.push_back(0);
        return true;
      }
      m_too_deep = true;
      refuse();
    }
    if (m_depth == m_count_depth) {
      ++m_count;
    }
    ++m_depth;
    forget_object();
    return true;
  }

  bool close() {
    if (!m_refused) {
      m_open.pop_back();
      m_counts.pop_back();
      return true;
    }
    if (m_depth == m_count_depth) {
      m_count_depth = 0;  // its end: every element is counted
    }
    --m_depth;
    forget_object();
    return true;
  }

  // Counts one more element of the innermost container; false, the message refused, past the
  // limit (the element is then counted again while skipping).
  bool count_element() {
    if (m_open.empty() || ++m_counts.back() <= k_most_elements) {
      return true;
    }
    m_count_depth = m_open.size();
    m_count = m_counts.back() - 1;
    m_count_array = m_open.back()->is_array();
    refuse();
    return false;
  }

  // Counts one more value of the message; false, the message refused, past the limit.
  bool count_value() {
    if (m_values < message_reader::k_most_values) {
      ++m_values;
      return true;
    }
    m_too_many_values = true;
    refuse();
    return false;
  }

  json* add(json&& value) {
    if (m_open.empty()) {
      m_root = std::move(value);
      return &m_root;
    }
    json& parent = *m_open.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    *m_member = std::move(value);
    return m_member;
  }

  // From building to following: what is built gives its page objects and its envelope.
  void refuse() {
    m_refused = true;
    m_depth = m_open.size();
    message_reader::references(m_root, &m_out->references);
    // A page object cut off between its "$" and its "id" is counted once its id comes.
    last_key key = last_key::other;
    bool tagged = false;
    if (!m_open.empty() && m_open.back()->is_object()) {
      key = m_last_key;
      const json& innermost = *m_open.back();
      const auto tag = innermost.find("$");
      const auto id = innermost.find("id");
      tagged = tag != innermost.end() && (*tag == "o" || *tag == "f") &&
               (id == innermost.end() || !id->is_number_integer());
    }
    json envelope = json::object();
    if (m_root.is_object()) {
      for (auto member = m_root.begin(); member != m_root.end(); ++member) {
        if (is_envelope_key(member.key()) && is_envelope_value(*member)) {
          envelope[member.key()] = *member;
        }
      }
      m_root = std::move(envelope);
    } else {
      m_root = json();
    }
    m_open.clear();
    m_counts.clear();
    m_member = nullptr;
    forget_object();
    m_last_key = key;
    m_tagged = tagged;
  }

  void forget_object() {
    m_last_key = last_key::other;
    m_tagged = m_has_id = false;
  }

  message_reader::message* m_out;
  json m_root;
  std::size_t m_values = 0;
  std::string m_top_key;

  // While building: the containers open, innermost last, with their element counts.
  std::vector<json*> m_open;
  std::vector<std::size_t> m_counts;
  json* m_member = nullptr;

  // Once refused.
  bool m_refused = false;
  bool m_too_deep = false;
  bool m_too_many_values = false;
  std::string m_parse_error;
  std::size_t m_depth = 0;        // containers open
  std::size_t m_count_depth = 0;  // the depth of the container too long, while it is open
  std::size_t m_count = 0;        // its elements
  bool m_count_array = false;
  last_key m_last_key = last_key::other;
  bool m_tagged = false;
  bool m_has_id = false;
  std::int64_t m_id = 0;
};

}  // namespace

bool message_reader::read(const char* text, std::size_t size, message* out) {
  *out = message();
  limited_builder builder(out);
  json::sax_parse(text, text + size, &builder);
  if (builder.failed()) {
    // A lone surrogate is the one fault the reader can read past: the text again with it
    // mended gives the page objects and the envelope after it.
    const std::string mended = mended_surrogates(text, size);
    if (!mended.empty()) {
      message again;
      limited_builder rest(&again);
      json::sax_parse(mended.data(), mended.data() + mended.size(), &rest);
      rest.fail(builder.reason());
      if (rest.finish()) {
        *out = std::move(again);
        return true;
      }
    }
  }
  if (!builder.finish()) {
    *out = message();
    return false;
  }
  if (out->refused.empty()) {
    out->footprint = size + 64 * builder.values();
  }
  return true;
}

void message_reader::references(const json& value, std::vector<std::int64_t>* ids) {
  std::vector<const json*> pending{&value};
  while (!pending.empty()) {
    const json* next = pending.back();
    pending.pop_back();
    std::int64_t id = 0;
    if (next->is_object() && reference_id(*next, &id)) {
      ids->push_back(id);
    }
    if (next->is_structured()) {
      for (const json& item : *next) {
        pending.push_back(&item);
      }
    }
  }
}

}  // namespace host
