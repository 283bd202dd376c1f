#include "firebreath/jskey_funchost_base.h"

namespace vocle {

jskey_funchost_base::jskey_funchost_base(const FB::JSObjectPtr& host) : m_host(host) {}

jskey_funchost_base::~jskey_funchost_base() {}

FB::JSObjectPtr jskey_funchost_base::get_host() {
  return boost::atomic_load(&m_host);
}

void jskey_funchost_base::set_host(const FB::JSObjectPtr& host) {
  boost::atomic_store(&m_host, host);
}

}  // namespace vocle
