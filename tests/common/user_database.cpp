#include "common/user_database.h"

#include <mutex>

namespace vocle {
namespace testkit {

namespace {

std::mutex g_mutex;
std::string g_home;

std::string database_home() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_home;
}

}  // namespace

user_database::user_database(const std::string& home) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_home = home;
  }
  m_replaced = FB::System::setHomeLookup(&database_home);
}

user_database::~user_database() {
  FB::System::setHomeLookup(m_replaced);
}

}  // namespace testkit
}  // namespace vocle
