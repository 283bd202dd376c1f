// What a host's page side offers the library through the host interface: its window and new
// script arrays and plain objects. Each host implements it over its own script world (Duktape for
// vocle-page). Main thread only; each returns a handle retained for the caller, or nullptr when
// it cannot.
#pragma once

#include "framework/host_interface.h"

namespace host {

class page_services {
 public:
  virtual ~page_services() = default;
  virtual vh_object* window() = 0;
  virtual vh_object* new_array() = 0;
  virtual vh_object* new_object() = 0;
};

}  // namespace host
