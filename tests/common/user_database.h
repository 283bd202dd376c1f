// Stands in for the user database for as long as it lives: the home folder it gives the
// process's user when HOME gives none ("" for a user the database has no entry for), so a test
// can meet a process with no home folder at all.
#pragma once

#include <string>

#include "framework/system.h"

namespace vocle {
namespace testkit {

class user_database {
 public:
  explicit user_database(const std::string& home);
  ~user_database();
  user_database(const user_database&) = delete;
  user_database& operator=(const user_database&) = delete;

 private:
  FB::System::HomeLookup m_replaced;
};

}  // namespace testkit
}  // namespace vocle
