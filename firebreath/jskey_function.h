// A callback named by a key of the page's own: results go to the key host's apply method as
// (key, [result...]), and the host's release method hears (key) when the last holder drops the
// callback, on whichever thread that is.
#pragma once

#include <string>

#include "core/foundation/function.h"
#include "firebreath/jskey_funchost_base.h"

namespace vocle {

class jskey_function : public function {
 public:
  // An empty funchost is refused with FB::script_error.
  jskey_function(const jskey_funchost_ptr& funchost, const std::string& key);
  // Queues the release of the key; never throws.
  ~jskey_function() override;

  FB::variant call(const FB::VariantList& args) override;
  void call_async(const FB::VariantList& args) override;

 private:
  FB::VariantList keyed(const FB::VariantList& args) const;

  jskey_funchost_ptr m_funchost;
  std::string m_key;
};

}  // namespace vocle
