// A script object of a browser page (a function, an array, a plain object...) as the library
// holds it in vocle-host: the object itself stays in the page, and every operation on it is a
// question to the page, answered by the extension's page script (native_host::ask).
//
// A page object handed over in a message may come with a copy of its members, taken when the
// page sent the message. While the host handles that message, and until page code runs again,
// the copy answers reads (enumerate, get_property, "length"), so reading an option object costs
// no round trip; afterwards every read goes to the page again, as the page may have changed it.
//
// The page keeps the object for as long as the host holds it: each time the object crosses in a
// message counts as one receipt, and when the handle goes (its last release, or the instance or
// page ending) the host tells the page how many receipts it gives back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "framework/host_interface.h"
#include "host/core/host_object.h"

namespace host {

class native_host;
class object_table;

class remote_object : public host_object {
 public:
  typedef std::vector<std::pair<std::string, vh_variant>> members;

  // The handle for the page's object id in one instance, with one reference for the caller.
  remote_object(object_table& table, native_host& host, std::int64_t instance, std::int64_t id,
                bool function);

  std::int64_t id() const { return m_id; }
  std::int64_t instance() const { return m_instance; }
  bool is_function() const { return m_function; }
  void count_receipt() { ++m_received; }

  // The copy that came with the message being handled (takes over the values). An array's
  // members are its elements, named "0".."n-1".
  void set_copy(bool array, members&& copy);
  bool has_copy() const { return m_has_copy; }
  // Moves out every value the object holds, without releasing any (see native_host).
  void take_values(std::vector<vh_variant>* out);
  // Tells the page, once, that the host gives back what it received of the object.
  void release_to_page();

 protected:
  ~remote_object() override;

  VOCLE_HOST_OBJECT_MEMBERS

 private:
  // The copied member, or nullptr.
  const vh_variant* copied(const std::string& name) const;
  bool call(const char* op, const char* name, const vh_variant* args, uint32_t count,
            vh_variant* result);

  native_host& m_host;
  const std::int64_t m_instance;
  const std::int64_t m_id;
  const bool m_function;
  std::uint64_t m_received = 0;
  bool m_released = false;
  bool m_has_copy = false;
  bool m_copy_is_array = false;
  members m_copy;
};

}  // namespace host
