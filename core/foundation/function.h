// A callback into the page. Results are delivered with call_async, which queues the call on the
// page's thread and returns at once, so a worker may deliver while it holds a lock.
#pragma once

#include <boost/shared_ptr.hpp>

#include "framework/variant.h"

namespace vocle {

class function {
 public:
  virtual ~function() {}
  virtual FB::variant call(const FB::VariantList& args) = 0;
  virtual void call_async(const FB::VariantList& args) = 0;
};

typedef boost::shared_ptr<function> function_ptr;

}  // namespace vocle
