// One part of an upload form and the map of parts that the upload workers fill.
#pragma once

#include <map>
#include <string>

#include <boost/any.hpp>

namespace vocle {
namespace http {

// type is one of "string", "xml", "binary", "wav_dvi_adpcm" (exactly, case-sensitive); any other
// type adds no part. value holds a std::string for "string" and "xml". For "binary" and
// "wav_dvi_adpcm" it holds what the part's bytes are streamed from, never copied into the form:
// either a boost::shared_ptr<vocle::binary>, which the transfer drains (it is empty after the
// post), or a boost::shared_ptr<vocle::byte_source>, read once from its start to its end.
struct form_field {
  std::string type;
  boost::any value;
};

// Part name -> field. The map's order (byte-wise by name) is the order of the parts in the body.
typedef std::map<std::string, form_field> form_fields;

}  // namespace http
}  // namespace vocle
