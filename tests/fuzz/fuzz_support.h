// What the fuzz targets share: a folder of their own, quiet standard output, a configuration that
// the settings read from that folder, and a page callback that keeps what it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/function.h"
#include "framework/variant.h"

namespace vocle {
namespace fuzz {

// A folder made on first use and removed at exit.
const std::string& folder();

// Sends the process's standard output to /dev/null (the settings announce themselves there) and
// drops message boxes. libFuzzer reports on standard error, which stays.
void quiet();

// Writes vocle.conf and lang.conf into folder(), points the library's folder there and makes the
// next settings::instance() read them.
void configure(const std::string& vocle_conf, const std::string& lang_conf);

// Aborts with the message when the condition does not hold: a finding for the fuzzer.
void check(bool condition, const char* what);

// A page callback that keeps every list it is given.
class kept_calls : public function {
 public:
  FB::variant call(const FB::VariantList& args) override;
  void call_async(const FB::VariantList& args) override;
  std::vector<FB::VariantList> lists;
};

}  // namespace fuzz
}  // namespace vocle
