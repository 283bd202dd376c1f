#include "framework/method_binding.h"

namespace FB {
namespace detail {

void check_argument_count(std::size_t given, std::size_t required, std::size_t most) {
  if (given >= required && given <= most) {
    return;
  }
  std::string expected = required == most
                             ? std::to_string(most)
                             : std::to_string(required) + " to " + std::to_string(most);
  throw script_error("wrong number of arguments: " + std::to_string(given) + " given, " + expected +
                     " expected");
}

}  // namespace detail
}  // namespace FB
