#include "firebreath/jskey_function.h"

#include <exception>

#include "core/foundation/log.h"
#include "framework/script_error.h"

namespace vocle {

jskey_function::jskey_function(const jskey_funchost_ptr& funchost, const std::string& key)
    : m_funchost(funchost), m_key(key) {
  if (!m_funchost) {
    throw FB::script_error("failed to get jskey_funchost");
  }
}

jskey_function::~jskey_function() {
  try {
    m_funchost->release_async(FB::VariantList{FB::variant(m_key)});
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("release of jskey %1% failed: %2%", m_key, e.what());
  } catch (...) {
    VOCLE_LOG_ERROR("release of jskey %1% failed", m_key);
  }
}

FB::VariantList jskey_function::keyed(const FB::VariantList& args) const {
  // The host gets the whole result list as one array, not spread.
  return FB::VariantList{FB::variant(m_key), FB::variant(args)};
}

FB::variant jskey_function::call(const FB::VariantList& args) {
  return m_funchost->apply(keyed(args));
}

void jskey_function::call_async(const FB::VariantList& args) {
  m_funchost->apply_async(keyed(args));
}

}  // namespace vocle
