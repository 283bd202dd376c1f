/* The host interface: the one C boundary between the plug-in library and the programs that host
 * it (vocle-page, vocle-host). Both sides include this header and nothing else of each other.
 *
 * Shape:
 *  - The library exports NP_GetEntryPoints, NP_Initialize, NP_Shutdown, NP_GetMIMEDescription and
 *    NP_GetValue with C linkage (below). The host hands the library a table of its services
 *    (vh_browser_funcs); the library fills a table of its instance calls (vh_plugin_funcs).
 *  - Script values cross as vh_variant, a tagged union. Objects are vh_object handles whose first
 *    member is their class table; each side implements the tables of its own objects.
 *  - No C++ exception crosses this boundary in either direction.
 *
 * Threads: every call in either direction happens on the host's main thread, except
 * vh_browser_funcs.schedule and vh_browser_funcs.is_main_thread, which any thread may call.
 *
 * Ownership:
 *  - Arguments (names, values, argument arrays) are borrowed for the length of the call.
 *  - A value written into a result (vh_variant* out) belongs to the receiver, who frees it with
 *    vh_browser_funcs.release_variant: strings are allocated with malloc, objects are retained
 *    once for the receiver.
 *  - Object handles are reference counted through their class's retain and release.
 *
 * Errors: invoke, invoke_default, get_property and set_property return false on failure and may
 * then leave a VH_STRING in *result (set_property: in *error) holding the reason, UTF-8.
 */
#ifndef VOCLE_HOST_INTERFACE_H
#define VOCLE_HOST_INTERFACE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VH_VERSION 1

typedef enum vh_type {
  VH_VOID = 0, /* undefined; also "absent" */
  VH_NULL = 1,
  VH_BOOL = 2,
  VH_INT32 = 3,
  VH_DOUBLE = 4,
  VH_STRING = 5, /* UTF-8 with an explicit length; may hold NUL bytes */
  VH_OBJECT = 6
} vh_type;

typedef struct vh_object vh_object;

typedef struct vh_variant {
  vh_type type;
  union {
    bool b;
    int32_t i;
    double d;
    struct {
      const char* utf8; /* not NUL-terminated in general; owned as described above */
      uint32_t length;
    } s;
    vh_object* object;
  } value;
} vh_variant;

/* The operations of one kind of object. Every entry is set (a kind that has no such member
 * answers false). Names are NUL-terminated UTF-8. An empty method name is not special here: call
 * invoke_default to call the object itself. */
typedef struct vh_class {
  uint32_t version; /* VH_VERSION */
  void (*retain)(vh_object* object);
  void (*release)(vh_object* object);
  bool (*has_method)(vh_object* object, const char* name);
  bool (*invoke)(vh_object* object, const char* name, const vh_variant* args, uint32_t count,
                 vh_variant* result);
  bool (*invoke_default)(vh_object* object, const vh_variant* args, uint32_t count,
                         vh_variant* result);
  bool (*has_property)(vh_object* object, const char* name);
  bool (*get_property)(vh_object* object, const char* name, vh_variant* result);
  bool (*set_property)(vh_object* object, const char* name, const vh_variant* value,
                       vh_variant* error);
  /* The object's own enumerable member names, in order: *names is a malloc'd array of *count
   * malloc'd strings, freed by the receiver with free(). For an array: "0".."n-1" (its
   * length is the property "length"). */
  bool (*enumerate)(vh_object* object, char*** names, uint32_t* count);
} vh_class;

struct vh_object {
  const vh_class* cls;
};

/* One embedding page. The host allocates it and keeps it until destroy has returned. */
typedef struct vh_instance {
  void* plugin_data; /* the library's, set by new_instance */
  void* host_data;   /* the host's */
} vh_instance;

/* What the host offers the library. */
typedef struct vh_browser_funcs {
  uint32_t size; /* sizeof(vh_browser_funcs) */
  uint32_t version;
  /* Queues fn onto the main thread of the instance's page, from any thread, and returns at once.
   * The host calls fn exactly once: fn(data, true) on the main thread after the current script
   * turn (never inside a running call), or fn(data, false) when the page has gone before it could
   * run (on the main thread, or at once on the calling thread when the page is already gone);
   * fn then only frees data. Returns false, without calling fn, only when the host cannot take
   * calls at all for this instance; the caller then frees data itself. */
  bool (*schedule)(vh_instance* instance, void (*fn)(void* data, bool run), void* data);
  /* True on the host's main thread. */
  bool (*is_main_thread)(void);
  /* The page's window object (retained for the caller), or NULL when there is none. Its
   * property "location" is an object whose property "href" is the page's whole address. */
  vh_object* (*get_window)(vh_instance* instance);
  /* New empty script array and plain object of the page (retained for the caller). */
  vh_object* (*new_array)(vh_instance* instance);
  vh_object* (*new_object)(vh_instance* instance);
  /* Frees what a result holds (a string's bytes, one reference of an object) and makes it void. */
  void (*release_variant)(vh_variant* value);
} vh_browser_funcs;

typedef enum vh_event_type {
  VH_EVENT_MOUSE_DOWN = 1,
  VH_EVENT_MOUSE_UP = 2,
  VH_EVENT_MOUSE_MOVE = 3,
  VH_EVENT_WINDOW_ATTACHED = 4,
  VH_EVENT_WINDOW_DETACHED = 5
} vh_event_type;

typedef struct vh_event {
  vh_event_type type;
  int32_t x, y;   /* mouse position in the plug-in window */
  int32_t button; /* mouse button, 0 for none */
} vh_event;

typedef enum vh_error {
  VH_NO_ERROR = 0,
  VH_GENERIC_ERROR = 1,
  VH_INVALID_PARAM = 2,
  VH_MODULE_NOT_INITIALIZED = 3,
  VH_OUT_OF_MEMORY = 4,
  VH_INCOMPATIBLE_VERSION = 5
} vh_error;

/* What the library offers the host. */
typedef struct vh_plugin_funcs {
  uint32_t size; /* sizeof(vh_plugin_funcs) as the host knows it, set before NP_GetEntryPoints */
  uint32_t version;
  /* Makes the plug-in for one page; sets instance->plugin_data. */
  vh_error (*new_instance)(const char* mime_type, vh_instance* instance);
  /* Ends the page's plug-in: its script object and every page object it retained are released,
   * its queued calls are dropped, and no call reaches the page afterwards. */
  vh_error (*destroy)(vh_instance* instance);
  /* The page's scriptable object, retained for the caller; made on first use. NULL when it
   * cannot be made, with the reason as a VH_STRING in *error. */
  vh_object* (*get_scriptable)(vh_instance* instance, vh_variant* error);
  /* Returns true when the plug-in handled the event. */
  bool (*handle_event)(vh_instance* instance, const vh_event* event);
  /* Entries from here on came later: a library fills them only when the host's size holds them,
   * and one made before them leaves them as the host set them (a host sets them to NULL). */
  /* The change count of a property of one of the library's script objects, so that a host that
   * mirrors property values need not read one that has not changed: true with a number in
   * *revision that differs from every number this call gave before for the property whenever
   * the property may hold another value than then (it may also differ when the value did not
   * change). The count does not see changes inside an object the property holds, only the
   * property taking another value: a host reads a property whose last value was an object.
   * False when the library does not count the property now (read it to know its value), and for
   * a name that is no property and an object that is not the library's. */
  bool (*property_revision)(vh_object* object, const char* name, uint64_t* revision);
} vh_plugin_funcs;

/* Values of NP_GetValue. */
typedef enum vh_value {
  VH_VALUE_PLUGIN_NAME = 1,        /* const char* */
  VH_VALUE_PLUGIN_DESCRIPTION = 2, /* const char* */
  /* const char*: why the last NP_Initialize that started the library failed, "" when it did not
   * fail; valid until the next NP_Initialize. */
  VH_VALUE_START_ERROR = 3
} vh_value;

#if defined(__GNUC__)
#define VH_EXPORT __attribute__((visibility("default")))
#else
#define VH_EXPORT
#endif

/* The library's entry points. NP_Initialize may be called more than once: only the first starts
 * the library (logging, then the process-wide start); NP_Shutdown ends it when the count of
 * initialisations drops to zero. */
VH_EXPORT vh_error NP_GetEntryPoints(vh_plugin_funcs* funcs);
VH_EXPORT vh_error NP_Initialize(const vh_browser_funcs* browser);
VH_EXPORT vh_error NP_Shutdown(void);
/* "mime-type::description" */
VH_EXPORT const char* NP_GetMIMEDescription(void);
/* value points to a const char* that receives a text the library keeps (see vh_value). */
VH_EXPORT vh_error NP_GetValue(void* reserved, vh_value variable, void* value);

/* Function types, for a host that looks the entry points up with dlsym. */
typedef vh_error (*vh_get_entry_points_fn)(vh_plugin_funcs*);
typedef vh_error (*vh_initialize_fn)(const vh_browser_funcs*);
typedef vh_error (*vh_shutdown_fn)(void);
typedef const char* (*vh_get_mime_description_fn)(void);
typedef vh_error (*vh_get_value_fn)(void*, vh_value, void*);

#ifdef __cplusplus
}
#endif

#endif /* VOCLE_HOST_INTERFACE_H */
