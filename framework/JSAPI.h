// The plug-in's side of script: an object the page calls. The framework wraps it in a handle of
// the host interface; every call arrives on the page's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "framework/variant.h"

namespace FB {

class JSAPI;
typedef boost::shared_ptr<JSAPI> JSAPIPtr;
typedef boost::weak_ptr<JSAPI> JSAPIWeakPtr;

class JSAPI : public boost::enable_shared_from_this<JSAPI>, private boost::noncopyable {
 public:
  virtual ~JSAPI() {}

  // The members the page sees, in registration order (Object.keys, for..in).
  virtual std::vector<std::string> getMemberNames() const = 0;
  virtual bool HasMethod(const std::string& name) const = 0;
  virtual bool HasProperty(const std::string& name) const = 0;
  // Each of these throws (script_error, bad_variant_cast, any std::exception) to fail the
  // page's call with the error's text.
  virtual variant GetProperty(const std::string& name) = 0;
  virtual void SetProperty(const std::string& name, const variant& value) = 0;
  virtual variant Invoke(const std::string& method, const VariantList& args) = 0;
  // The property's change count (see vh_plugin_funcs.property_revision): true with a number that
  // differs from every one given before for it whenever the property may hold another value;
  // false when the object does not count it, as here.
  virtual bool GetPropertyRevision(const std::string& name, std::uint64_t* revision) {
    (void)name;
    (void)revision;
    return false;
  }
};

}  // namespace FB
