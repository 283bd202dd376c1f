// The command-line pieces both hosts read the same way.
#pragma once

#include <initializer_list>
#include <string>

namespace host {

// When argv[*i] is one of the options named ("--plugin", ...), given as "--name=value" or as
// "--name value", sets *name and *value, moves *i past a separate value and returns true; *error
// is then set when the value is missing. Returns false for any other argument.
bool take_option(int argc, char** argv, int* i, std::initializer_list<const char*> names,
                 std::string* name, std::string* value, std::string* error);

// A finite number of seconds above 0, written whole (no trailing text).
bool seconds_of(const std::string& text, double* seconds);

// The libnpvocle.so of the same build: ../lib/ beside this program. Empty when this program's
// own path cannot be read.
std::string default_plugin_path();

}  // namespace host
