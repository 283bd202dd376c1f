// A script object whose methods, properties and attributes are registered by name and dispatched
// by name, listed in registration order.
//
//   registerMethod("stop", make_method(this, &vocleAPI::stop));
//   registerProperty("version", make_property(this, &vocleAPI::get_version));
//   registerProperty("sample_rate", make_property(this, &vocleAPI::get_sample_rate,
//                                                 &vocleAPI::set_sample_rate));
//   registerAttribute("diagnose", "", false);
//
// A name that is not registered, a call with too many or too few arguments, and a write to a
// read-only property fail the page's call with a script error of the framework's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/JSAPIImpl.h"
#include "framework/method_binding.h"

namespace FB {

class JSAPIAuto : public JSAPIImpl {
 public:
  explicit JSAPIAuto(const std::string& description = "<JSAPI-Auto Javascript Object>");
  ~JSAPIAuto() override;

  // Registering a name again replaces its member and keeps its place.
  void registerMethod(const std::string& name, const CallMethodFunctor& method);
  void registerProperty(const std::string& name, const PropertyFunctors& property);
  void registerAttribute(const std::string& name, const variant& value, bool readOnly = false);

  std::vector<std::string> getMemberNames() const override;
  bool HasMethod(const std::string& name) const override;
  bool HasProperty(const std::string& name) const override;
  variant GetProperty(const std::string& name) override;
  void SetProperty(const std::string& name, const variant& value) override;
  variant Invoke(const std::string& method, const VariantList& args) override;
  // Counted: every attribute, and a property whose functors count it (PropertyFunctors).
  bool GetPropertyRevision(const std::string& name, std::uint64_t* revision) override;

 private:
  struct member {
    enum kind_t { k_method, k_property, k_attribute } kind;
    std::string name;
    CallMethodFunctor method;
    PropertyFunctors property;
    variant value;  // an attribute's value
    bool read_only = false;
    // The change count the host sees: a new number of m_revisions at registration, at each
    // write from the page and whenever a property's own count (seen_count) has moved.
    std::uint64_t revision = 0;
    bool seen = false;
    std::uint64_t seen_count = 0;
  };
  // In registration order.
  std::vector<member> m_members;
  std::uint64_t m_revisions = 0;
  const member* find(const std::string& name) const;
  member* find(const std::string& name);
};

}  // namespace FB
