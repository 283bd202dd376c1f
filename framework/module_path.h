// The path of the plug-in library file, recorded by the framework when the library is loaded.
#pragma once

#include <string>

namespace FB {

// UTF-8 path of the library file (by default found with dladdr on a symbol of the library).
std::string getModulePath();
// Replaces the recorded path: for a host that loads the code another way, and for tests that
// keep their configuration in a folder of their own (the folder of this path holds vocle.conf).
void setModulePath(const std::string& path);

}  // namespace FB
