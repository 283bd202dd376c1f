// The trusted-page rule over any pattern list and any location: the answer is boost::regex_match
// of the whole location against each entry in order, the first match wins, and an empty list
// trusts nobody. An entry that does not compile ends the check with boost::regex_error, a match
// too costly to finish with std::runtime_error (the page then gets no object); nothing else
// leaves it.
//
// The input: the text of "system.trusted" (entries split at ";"), a zero byte, the location.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/regex.hpp>

#include "firebreath/vocleAPI.h"
#include "fuzz_support.h"

using vocle::fuzz::check;

namespace {

enum class outcome { untrusted, trusted, failed };

outcome trusted(const std::string& location, const std::vector<std::string>& patterns) {
  try {
    return is_trusted_location(location, patterns) ? outcome::trusted : outcome::untrusted;
  } catch (const std::runtime_error&) {
    return outcome::failed;
  } catch (const std::exception&) {
    check(false, "the check failed with something other than the expression library's error");
  }
  return outcome::failed;
}

// The rule told directly in terms of the expression library.
outcome expected(const std::string& location, const std::vector<std::string>& patterns) {
  for (const std::string& entry : patterns) {
    if (entry.empty()) {
      continue;
    }
    boost::regex expression;
    try {
      expression.assign(entry);
    } catch (const boost::regex_error&) {
      return outcome::failed;
    }
    try {
      if (boost::regex_match(location, expression)) {
        return outcome::trusted;
      }
    } catch (const std::runtime_error&) {
      return outcome::failed;
    }
  }
  return outcome::untrusted;
}

// An expression that matches exactly the text, byte for byte.
std::string literal(const std::string& text) {
  std::string pattern;
  for (const char c : text) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
    pattern += escaped;
  }
  return pattern;
}

std::string swapped_case(std::string text) {
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && std::isalpha(u)) {
      c = static_cast<char>(std::islower(u) ? std::toupper(u) : std::tolower(u));
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string::size_type split = input.find('\0');
  const std::string list = input.substr(0, split);
  const std::string location = split == std::string::npos ? std::string() : input.substr(split + 1);
  std::vector<std::string> patterns;
  boost::algorithm::split(patterns, list, boost::algorithm::is_any_of(";"));

  const outcome answer = trusted(location, patterns);
  check(answer == expected(location, patterns), "the answer is regex_match's, entry by entry");

  check(trusted(location, {}) == outcome::untrusted, "an empty list trusts nobody");
  check(trusted(location, {"", "", ""}) == outcome::untrusted, "empty entries trust nobody");
  check(trusted(location, {"(?s).*"}) == outcome::trusted, "a pattern for everything");

  if (!location.empty()) {
    const std::string exact = literal(location);
    check(trusted(location, {exact}) == outcome::trusted, "the location's own pattern");

    // The first match ends the check: entries after it are not even compiled.
    std::vector<std::string> first = {exact};
    first.insert(first.end(), patterns.begin(), patterns.end());
    check(trusted(location, first) == outcome::trusted, "the first match wins");

    std::vector<std::string> last = patterns;
    last.push_back(exact);
    check(
        trusted(location, last) == (answer == outcome::failed ? outcome::failed : outcome::trusted),
        "a later match counts unless an earlier entry failed");

    // The whole location, not a part of it.
    check(trusted(location + "/", {exact}) == outcome::untrusted, "a longer location");
    check(trusted("x" + location, {exact}) == outcome::untrusted, "a location with a prefix");
    check(trusted(location.substr(0, location.size() - 1), {exact}) == outcome::untrusted,
          "a shorter location");
    const std::string other_case = swapped_case(location);
    if (other_case != location) {
      check(trusted(other_case, {exact}) == outcome::untrusted, "case counts");
    }
  }
  return 0;
}
