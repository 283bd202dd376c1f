// The library's table of instance calls as hosts of either age ask for it: a host that knows
// only the first entries still loads the library, one that knows the later entries gets them.
#include <dlfcn.h>

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "framework/host_interface.h"

namespace {

TEST(EntryPoints, EachHostGetsTheEntriesItsSizeHolds) {
  void* library = dlopen(VOCLE_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto get_entry_points =
      reinterpret_cast<vh_get_entry_points_fn>(dlsym(library, "NP_GetEntryPoints"));
  ASSERT_NE(get_entry_points, nullptr);

  const std::size_t first_entries = offsetof(vh_plugin_funcs, property_revision);
  struct size_case {
    const char* what;
    std::size_t size;
    vh_error result;
    bool counts;
  };
  const size_case cases[] = {
      {"a host of today", sizeof(vh_plugin_funcs), VH_NO_ERROR, true},
      {"a host that knows the first entries only", first_entries, VH_NO_ERROR, false},
      {"a table too short for them", first_entries - 1, VH_INCOMPATIBLE_VERSION, false},
  };
  for (const size_case& c : cases) {
    SCOPED_TRACE(c.what);
    vh_plugin_funcs funcs;
    std::memset(&funcs, 0, sizeof funcs);
    funcs.size = static_cast<uint32_t>(c.size);
    EXPECT_EQ(get_entry_points(&funcs), c.result);
    const bool filled = c.result == VH_NO_ERROR;
    EXPECT_EQ(funcs.new_instance != nullptr && funcs.destroy != nullptr &&
                  funcs.get_scriptable != nullptr && funcs.handle_event != nullptr,
              filled);
    // Nothing is written past the host's size.
    EXPECT_EQ(funcs.property_revision != nullptr, c.counts);
  }
  // Never initialised: nothing of it runs, so it may go.
  dlclose(library);
}

}  // namespace
