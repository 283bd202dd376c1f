// A script object of the page (a function, an array, a plain object, the window) as the library
// holds it: the stash of the Duktape heap keeps the script object alive while the library holds
// a reference. The same script object always crosses as the same page object while that one
// lives (a hidden tag on the script object names it), so the library can compare handles.
//
// Members: has/get/set property, has_method (a callable property), invoke (calls the method
// with this = the object), invoke_default (calls the object itself), enumerate (Object.keys
// order; an array lists "0".."length-1"). An exception of page code fails the call with the
// error's message. Once the page has ended, no page function runs any more.
#pragma once

#include <cstdint>

#include "duktape.h"
#include "host/core/host_object.h"

namespace host {

class page_runtime;

class page_object : public host_object {
 public:
  // The page object for the script object at idx, with one reference for the caller: the one
  // that already stands for it, or a new one.
  static page_object* of(page_runtime& rt, duk_idx_t idx);

  page_runtime& runtime() const { return m_runtime; }
  // Pushes the script object (attached only).
  void push() const;

 protected:
  VOCLE_HOST_OBJECT_MEMBERS

 private:
  explicit page_object(page_runtime& rt);
  ~page_object() override;
  // Lets go of the script object: the stash entry and the runtime's record.
  void unlink();
  // Calls the function on the stack top below its this and arguments (see the .cpp).
  bool call(const char* name, const vh_variant* args, uint32_t count, vh_variant* result);

  page_runtime& m_runtime;
  std::uint32_t m_id;
};

}  // namespace host
