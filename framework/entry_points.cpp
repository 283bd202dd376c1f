// The library's entry points over the host interface. Everything here is called from C: no
// exception may leave any of these functions.
#include "framework/host_interface.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include <boost/make_shared.hpp>

#include "core/foundation/log.h"
#include "framework/BrowserHost.h"
#include "framework/FactoryBase.h"
#include "framework/JSAPIHandle.h"
#include "framework/PluginCore.h"
#include "framework/PluginEvents.h"
#include "framework/host_value.h"
#include "framework/logging.h"

namespace {

// One embedding page.
struct plugin_instance {
  FB::PluginCorePtr plugin;
  FB::BrowserHostPtr host;
  FB::PluginWindow window;  // the source of the page's mouse and window events
};

// All of this is used on the host's main thread only.
int g_initialized = 0;
vh_browser_funcs g_browser;
FB::FactoryBasePtr g_factory;

plugin_instance* instance_of(vh_instance* instance) {
  return instance ? static_cast<plugin_instance*>(instance->plugin_data) : nullptr;
}

vh_error new_instance(const char* mime_type, vh_instance* instance) {
  if (!instance) {
    return VH_INVALID_PARAM;
  }
  if (g_initialized == 0 || !g_factory) {
    return VH_MODULE_NOT_INITIALIZED;
  }
  const std::string mime = mime_type ? mime_type : "";
  std::unique_ptr<plugin_instance> data;
  vh_error result = VH_GENERIC_ERROR;
  try {
    data.reset(new plugin_instance());
    data->host = boost::make_shared<FB::BrowserHost>(&g_browser, instance);
    data->plugin = g_factory->createPlugin(mime);
    if (!data->plugin) {
      VOCLE_LOG_ERROR("the factory made no plug-in for %1%", mime);
      return VH_GENERIC_ERROR;
    }
    // At once: a plug-in's destructor may rely on its host.
    data->plugin->SetHost(data->host);
    data->plugin->setReady();
    instance->plugin_data = data.release();
    return VH_NO_ERROR;
  } catch (const std::bad_alloc&) {
    result = VH_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("the plug-in could not be made: %1%", e.what());
  } catch (...) {
    VOCLE_LOG_ERROR("the plug-in could not be made: %1%", "unknown error");
  }
  // The half-made plug-in goes as a whole one would.
  try {
    if (data && data->host) {
      data->host->shutdown();
    }
    data.reset();
  } catch (...) {
  }
  return result;
}

vh_error destroy(vh_instance* instance) {
  plugin_instance* found = instance_of(instance);
  if (!found) {
    return VH_INVALID_PARAM;
  }
  std::unique_ptr<plugin_instance> data(found);
  instance->plugin_data = nullptr;
  try {
    // The page's host first: from here on queued calls are dropped and synchronous calls from
    // workers fail at once, so workers that deliver while the plug-in ends neither reach the
    // page nor wait for it (the plug-in's teardown waits for them).
    data->host->shutdown();
    data->plugin->shutdown();
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("the plug-in's shutdown failed: %1%", e.what());
  } catch (...) {
    VOCLE_LOG_ERROR("the plug-in's shutdown failed: %1%", "unknown error");
  }
  // The plug-in frees the script objects it retained, and with them their studios.
  data->plugin.reset();
  return VH_NO_ERROR;
}

vh_object* get_scriptable(vh_instance* instance, vh_variant* error) {
  plugin_instance* data = instance_of(instance);
  if (!data) {
    FB::detail::set_reason(error, "no plug-in for this page");
    return nullptr;
  }
  try {
    FB::JSAPIPtr api = data->plugin->getRootJSAPI();
    if (!api) {
      FB::detail::set_reason(error, "the plug-in has no script object");
      return nullptr;
    }
    data->host->retainJSAPIPtr(api);
    return data->host->scriptableHandle(api);
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("the plug-in's script object could not be made: %1%", e.what());
    FB::detail::set_reason(error, e.what());
  } catch (...) {
    VOCLE_LOG_ERROR("the plug-in's script object could not be made: %1%", "unknown error");
    FB::detail::set_reason(error, "unknown error");
  }
  return nullptr;
}

bool handle_event(vh_instance* instance, const vh_event* event) {
  plugin_instance* data = instance_of(instance);
  if (!data || !event) {
    return false;
  }
  try {
    switch (event->type) {
      case VH_EVENT_MOUSE_DOWN: {
        FB::MouseDownEvent e(event->x, event->y, event->button);
        return data->plugin->HandleEvent(&e, &data->window);
      }
      case VH_EVENT_MOUSE_UP: {
        FB::MouseUpEvent e(event->x, event->y, event->button);
        return data->plugin->HandleEvent(&e, &data->window);
      }
      case VH_EVENT_MOUSE_MOVE: {
        FB::MouseMoveEvent e(event->x, event->y, event->button);
        return data->plugin->HandleEvent(&e, &data->window);
      }
      case VH_EVENT_WINDOW_ATTACHED: {
        FB::AttachedEvent e;
        return data->plugin->HandleEvent(&e, &data->window);
      }
      case VH_EVENT_WINDOW_DETACHED: {
        FB::DetachedEvent e;
        return data->plugin->HandleEvent(&e, &data->window);
      }
    }
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("an event handler failed: %1%", e.what());
  } catch (...) {
    VOCLE_LOG_ERROR("an event handler failed: %1%", "unknown error");
  }
  return false;
}

// Why the last start failed, for the host to show (NP_GetValue); "" after a start that worked.
std::string g_start_error;

void remember_start_error(const char* reason) {
  try {
    g_start_error = reason;
  } catch (...) {
    g_start_error.clear();
  }
}

// The process-wide start: logging first, so the start itself is logged. A failure leaves the
// library as it was, with logging stopped again, and its reason in g_start_error.
vh_error start_library() {
  g_start_error.clear();
  try {
    FB::FactoryBasePtr factory = getFactoryInstance();
    if (!factory) {
      remember_start_error("the plug-in has no factory");
      return VH_GENERIC_ERROR;
    }
    FB::Log::LogLevel level = factory->getLogLevel();
    FB::Log::LogMethodList methods;
    factory->getLoggingMethods(methods);
    FB::Log::initLogging(methods, level);
    try {
      factory->globalPluginInitialize();
    } catch (const std::exception& e) {
      VOCLE_LOG_ERROR("the plug-in failed to start: %1%", e.what());
      throw;
    } catch (...) {
      VOCLE_LOG_ERROR("the plug-in failed to start: %1%", "unknown error");
      throw;
    }
    g_factory = factory;
    return VH_NO_ERROR;
  } catch (const std::bad_alloc&) {
    FB::Log::stopLogging();
    remember_start_error("out of memory");
    return VH_OUT_OF_MEMORY;
  } catch (const std::exception& e) {
    FB::Log::stopLogging();
    remember_start_error(e.what());
    return VH_GENERIC_ERROR;
  } catch (...) {
    FB::Log::stopLogging();
    remember_start_error("unknown error");
    return VH_GENERIC_ERROR;
  }
}

}  // namespace

extern "C" {

vh_error NP_GetEntryPoints(vh_plugin_funcs* funcs) {
  if (!funcs) {
    return VH_INVALID_PARAM;
  }
  // A host that knows the first entries only gets those.
  if (funcs->size < offsetof(vh_plugin_funcs, property_revision)) {
    return VH_INCOMPATIBLE_VERSION;
  }
  funcs->version = VH_VERSION;
  funcs->new_instance = &new_instance;
  funcs->destroy = &destroy;
  funcs->get_scriptable = &get_scriptable;
  funcs->handle_event = &handle_event;
  if (funcs->size >=
      offsetof(vh_plugin_funcs, property_revision) + sizeof funcs->property_revision) {
    funcs->property_revision = &FB::JSAPIHandle::property_revision;
  }
  return VH_NO_ERROR;
}

vh_error NP_Initialize(const vh_browser_funcs* browser) {
  if (!browser) {
    return VH_INVALID_PARAM;
  }
  if (g_initialized > 0) {
    ++g_initialized;
    return VH_NO_ERROR;
  }
  if (browser->size < sizeof(vh_browser_funcs) || browser->version < VH_VERSION) {
    return VH_INCOMPATIBLE_VERSION;
  }
  if (!browser->schedule || !browser->is_main_thread || !browser->get_window ||
      !browser->new_array || !browser->new_object || !browser->release_variant) {
    return VH_INVALID_PARAM;
  }
  std::memcpy(&g_browser, browser, sizeof g_browser);
  vh_error result = start_library();
  if (result == VH_NO_ERROR) {
    g_initialized = 1;
  }
  return result;
}

vh_error NP_Shutdown(void) {
  if (g_initialized == 0) {
    return VH_MODULE_NOT_INITIALIZED;
  }
  if (--g_initialized > 0) {
    return VH_NO_ERROR;
  }
  vh_error result = VH_NO_ERROR;
  try {
    g_factory->globalPluginDeinitialize();
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("the plug-in failed to end: %1%", e.what());
    result = VH_GENERIC_ERROR;
  } catch (...) {
    VOCLE_LOG_ERROR("the plug-in failed to end: %1%", "unknown error");
    result = VH_GENERIC_ERROR;
  }
  g_factory.reset();
  FB::Log::stopLogging();
  return result;
}

const char* NP_GetMIMEDescription(void) {
  try {
    static const std::string description =
        std::string(getPluginInfo().mime_type) + "::" + getPluginInfo().description;
    return description.c_str();
  } catch (...) {
    return "";
  }
}

vh_error NP_GetValue(void* reserved, vh_value variable, void* value) {
  (void)reserved;
  if (!value) {
    return VH_INVALID_PARAM;
  }
  try {
    const FB::PluginInfo& info = getPluginInfo();
    switch (variable) {
      case VH_VALUE_PLUGIN_NAME:
        *static_cast<const char**>(value) = info.name;
        return VH_NO_ERROR;
      case VH_VALUE_PLUGIN_DESCRIPTION:
        *static_cast<const char**>(value) = info.description;
        return VH_NO_ERROR;
      case VH_VALUE_START_ERROR:
        *static_cast<const char**>(value) = g_start_error.c_str();
        return VH_NO_ERROR;
    }
  } catch (...) {
    return VH_GENERIC_ERROR;
  }
  return VH_INVALID_PARAM;
}

}  // extern "C"
