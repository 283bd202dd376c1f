// An object the host hands to the plug-in library (a page's function, array, plain object,
// window...): a vh_object handle with the host's class table, reference counted, dispatching to
// the virtual members below. A kind of host object overrides the members it has; the others
// answer "no such member".
//
// Every operation arrives on the main thread (the host interface says so); one that arrives on
// another thread fails without touching the object. The last release deletes the object on the
// main thread (deferred through the object table when it happens elsewhere).
//
// When its page goes, the object is detached: it lets go of what it held of the page, and every
// later operation fails with "the page has gone". Its memory stays until the last release or the
// end of the object table, so that a late release by the library is harmless.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "framework/host_interface.h"

// The members a kind of page-side object overrides, declared once: page_object (vocle-page) and
// remote_object (vocle-host) both stand for a whole script object of the page, so both answer the
// full class table.
#define VOCLE_HOST_OBJECT_MEMBERS                                                           \
  bool has_method(const char* name) override;                                               \
  bool invoke(const char* name, const vh_variant* args, uint32_t count, vh_variant* result) \
      override;                                                                             \
  bool invoke_default(const vh_variant* args, uint32_t count, vh_variant* result) override; \
  bool has_property(const char* name) override;                                             \
  bool get_property(const char* name, vh_variant* result) override;                         \
  bool set_property(const char* name, const vh_variant* value, vh_variant* error) override; \
  bool enumerate(std::vector<std::string>* names) override;                                 \
  void on_detach() override;

namespace host {

class object_table;

class host_object {
 public:
  host_object(const host_object&) = delete;
  host_object& operator=(const host_object&) = delete;

  vh_object* handle() { return &m_handle.base; }
  // The host object behind a handle, or nullptr for a handle of the library's.
  static host_object* from_handle(vh_object* object);

  void retain();
  void release();

  void detach();
  bool detached() const { return m_detached; }

  // Puts the reason into *out (when out is not null) and returns false.
  static bool fail(vh_variant* out, const std::string& reason);

 protected:
  // Starts with one reference, the creator's, and enters the table.
  explicit host_object(object_table& table);
  // Leaves the table.
  virtual ~host_object();

  // The members, main thread only, called only while attached. Failures leave their reason as a
  // string in *result (set_property: *error) through fail(); none may throw out of here, but an
  // exception is caught and reported as the failure's reason anyway.
  virtual bool has_method(const char* name);
  virtual bool invoke(const char* name, const vh_variant* args, uint32_t count, vh_variant* result);
  virtual bool invoke_default(const vh_variant* args, uint32_t count, vh_variant* result);
  virtual bool has_property(const char* name);
  virtual bool get_property(const char* name, vh_variant* result);
  virtual bool set_property(const char* name, const vh_variant* value, vh_variant* error);
  // The object's own enumerable member names, in order.
  virtual bool enumerate(std::vector<std::string>* names);
  // The page is going: drop what the object holds of it. Main thread.
  virtual void on_detach() {}

 private:
  friend class object_table;
  struct handle_type {
    vh_object base;  // first: a vh_object* is a handle_type*
    host_object* self;
  };

  static const vh_class s_class;
  static host_object* self_of(vh_object* object);
  static void cls_retain(vh_object* object);
  static void cls_release(vh_object* object);
  static bool cls_has_method(vh_object* object, const char* name);
  static bool cls_invoke(vh_object* object, const char* name, const vh_variant* args,
                         uint32_t count, vh_variant* result);
  static bool cls_invoke_default(vh_object* object, const vh_variant* args, uint32_t count,
                                 vh_variant* result);
  static bool cls_has_property(vh_object* object, const char* name);
  static bool cls_get_property(vh_object* object, const char* name, vh_variant* result);
  static bool cls_set_property(vh_object* object, const char* name, const vh_variant* value,
                               vh_variant* error);
  static bool cls_enumerate(vh_object* object, char*** names, uint32_t* count);
  // Null when the call may not touch the object now (other thread, detached), with the reason.
  static host_object* usable(vh_object* object, std::string* reason);

  handle_type m_handle;
  std::atomic<uint32_t> m_count{1};
  object_table& m_table;
  bool m_detached = false;
};

}  // namespace host
