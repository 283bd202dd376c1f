// Per-user folders as the framework knows them.
#pragma once

#include <string>

namespace FB {
namespace System {

// The local application-data folder for the given maker name, UTF-8: $XDG_DATA_HOME/name when
// XDG_DATA_HOME is absolute, else HOME/.local/share/name, where HOME is $HOME or, when that is
// unset, empty or relative, the home folder of the user database. Throws std::runtime_error("Could
// not find path") when there is no home folder at all.
std::string getLocalAppDataPath(const std::string& name);

// $HOME when it is an absolute path; "" when it is unset, empty or relative.
std::string environmentHome();

// The home folder that the user database (getpwuid) gives the process's real user; "" when the
// database has no entry for it or the entry names no absolute folder.
std::string userDatabaseHome();

// Where getLocalAppDataPath looks for the home folder once HOME gives none: userDatabaseHome,
// unless replaced (a test stands for a user that the database does not know). A null lookup
// restores userDatabaseHome. Returns the lookup it replaces. Any thread.
typedef std::string (*HomeLookup)();
HomeLookup setHomeLookup(HomeLookup lookup);

}  // namespace System
}  // namespace FB
