// Per-user folders as the framework knows them.
#pragma once

#include <string>

namespace FB {
namespace System {

// The local application-data folder for the given maker name, UTF-8; throws
// std::runtime_error("Could not find path") when there is none.
std::string getLocalAppDataPath(const std::string& name);

}  // namespace System
}  // namespace FB
