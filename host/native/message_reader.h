// The JSON text of one message from the page, read with the limits the host holds the page to,
// as the text goes (nlohmann's SAX reader): no value is built nested deeper than k_deepest_text
// levels, no array or object of more than k_most_elements elements, the most the library
// takes (see host/core/variants.h), and no more than k_most_values values in the whole message.
// Nothing here recurses on the depth of the text.
//
// A message past a limit is refused rather than dropped: the reader goes through the rest of
// its text without building anything and keeps what the host needs to answer it (the top-level
// "t", "q" and "i", when they are numbers or short texts) and the page objects it carried
// ({"$":"o"|"f","id":N}), whose receipts the host gives back. So is an object whose text breaks
// off or is not JSON further on (a lone surrogate escape such as "\ud800", which is no
// character): what came before the fault is kept, and a lone surrogate does not keep the reader
// from the rest of the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/core/variants.h"

namespace host {

class message_reader {
 public:
  // Room for values 64 levels deep as the page script writes them (a page object's copied
  // member lies three levels below the object) inside the message around them.
  static constexpr std::size_t k_deepest_text = 256;
  // Values of one message in all (each scalar, array and object counts): one container at the
  // library's limit, with the message around it, still fits.
  static constexpr std::size_t k_most_values = 2 * k_most_elements;

  struct message {
    // The message; when refused only its top-level "t", "q" and "i".
    nlohmann::json value;
    // Why the message was refused; empty when it was not.
    std::string refused;
    // When refused: the ids of the page objects in it, one for each time one appears.
    std::vector<std::int64_t> references;
    // About the memory the message holds: its text and its values.
    std::size_t footprint = 0;
  };

  // False when the text does not begin as a JSON object.
  static bool read(const char* text, std::size_t size, message* out);

  // The ids of the page objects in a value, one for each time one appears.
  static void references(const nlohmann::json& value, std::vector<std::int64_t>* ids);
};

}  // namespace host
