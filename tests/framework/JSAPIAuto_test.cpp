// A script object's members: registration, dispatch by name, and what the page meets through
// the object's handle.
#include "framework/JSAPIAuto.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/optional.hpp>
#include <boost/optional/optional_io.hpp>

#include "framework/BrowserHost.h"
#include "framework/JSAPIHandle.h"
#include "test_page.h"

namespace {

using FB::variant;
using FB::VariantList;

class counter_api : public FB::JSAPIAuto {
 public:
  counter_api() {
    registerProperty("version", FB::make_property(this, &counter_api::version));
    registerMethod("add", FB::make_method(this, &counter_api::add));
    registerProperty("step", FB::make_property(this, &counter_api::step, &counter_api::set_step));
    registerAttribute("diagnose", "");
    registerAttribute("build", 7, true);
  }
  std::string version() { return "1.1"; }
  int add(int a, int b) { return a + b; }
  int step() const { return m_step; }
  void set_step(int step) { m_step = step; }
  int m_step = 1;
};

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(JSAPIAuto, MembersInRegistrationOrderAndReplacedInPlace) {
  counter_api api;
  EXPECT_EQ(api.getMemberNames(),
            (std::vector<std::string>{"version", "add", "step", "diagnose", "build"}));
  api.registerMethod("version", FB::make_method(&api, &counter_api::add));
  api.registerAttribute("extra", 1);
  EXPECT_EQ(api.getMemberNames(),
            (std::vector<std::string>{"version", "add", "step", "diagnose", "build", "extra"}));
  EXPECT_TRUE(api.HasMethod("version"));
  EXPECT_FALSE(api.HasProperty("version"));
}

TEST(JSAPIAuto, DispatchByNameAndItsErrors) {
  counter_api api;
  EXPECT_TRUE(api.HasMethod("add"));
  EXPECT_FALSE(api.HasProperty("add"));
  EXPECT_TRUE(api.HasProperty("step"));
  EXPECT_TRUE(api.HasProperty("diagnose"));
  EXPECT_FALSE(api.HasMethod("step"));
  EXPECT_FALSE(api.HasProperty("missing"));

  EXPECT_EQ(api.Invoke("add", VariantList{2, 3}), variant(5));
  EXPECT_EQ(api.GetProperty("version"), variant("1.1"));
  api.SetProperty("step", "4");
  EXPECT_EQ(api.GetProperty("step"), variant(4));
  api.SetProperty("diagnose", "mine");
  EXPECT_EQ(api.GetProperty("diagnose"), variant("mine"));
  // Reading a method gives nothing: the page calls methods through HasMethod and Invoke.
  EXPECT_TRUE(api.GetProperty("add").empty());

  struct error_case {
    const char* what;
    std::function<void()> call;
    const char* message;
  };
  const std::vector<error_case> cases = {
      {"unknown method", [&]() { api.Invoke("missing", VariantList()); },
       "no method named missing"},
      {"unknown property read", [&]() { api.GetProperty("missing"); }, "no property named missing"},
      {"unknown property write", [&]() { api.SetProperty("missing", 1); },
       "no property named missing"},
      {"read-only property", [&]() { api.SetProperty("version", "2"); },
       "property version is read-only"},
      {"read-only attribute", [&]() { api.SetProperty("build", 8); },
       "property build is read-only"},
      {"property called", [&]() { api.Invoke("step", VariantList()); },
       "step is a property, not a method"},
      {"method written", [&]() { api.SetProperty("add", 1); }, "add is a method, not a property"},
      {"object called", [&]() { api.Invoke("", VariantList()); },
       "the object cannot be called as a function"},
      {"bad value for a property", [&]() { api.SetProperty("step", "many"); },
       "cannot convert string to int32"},
  };
  for (const error_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(error_of(c.call), c.message);
  }
  EXPECT_EQ(api.GetProperty("version"), variant("1.1"));
  EXPECT_EQ(api.GetProperty("build"), variant(7));
  EXPECT_EQ(api.GetProperty("step"), variant(4));
}

// A property that counts its own changes: a text, counted while it is not empty.
class counted_api : public counter_api {
 public:
  counted_api() {
    FB::PropertyFunctors url = FB::make_property(this, &counted_api::url, &counted_api::set_url);
    url.revision = [this](std::uint64_t* count) {
      *count = m_count;
      return !m_url.empty();
    };
    registerProperty("url", url);
  }
  std::string url() const { return m_url; }
  void set_url(const std::string& url) {
    m_url = url;
    ++m_count;
  }
  std::string m_url;
  std::uint64_t m_count = 0;
};

boost::optional<std::uint64_t> revision_of(FB::JSAPI& api, const std::string& name) {
  std::uint64_t revision = 0;
  if (!api.GetPropertyRevision(name, &revision)) {
    return boost::none;
  }
  return revision;
}

TEST(JSAPIAuto, RevisionsMoveWithEveryCountedChangeAndNeverComeBack) {
  counted_api api;
  // Neither a method, nor a name that is no member, nor a property without a count of its own.
  for (const char* name : {"add", "missing", "version", "step", "url"}) {
    EXPECT_FALSE(revision_of(api, name)) << name;
  }
  std::set<std::uint64_t> seen;
  // Each change gives a number not given before, for either name; nothing else moves it.
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"diagnose", [] {}},
      {"diagnose", [&] { api.SetProperty("diagnose", "long"); }},
      {"diagnose", [&] { api.SetProperty("diagnose", "long"); }},  // the same value written
      {"diagnose", [&] { api.registerAttribute("diagnose", ""); }},
      {"url", [&] { api.SetProperty("url", "a"); }},
      {"url", [&] { api.set_url("b"); }},  // behind the page's back
      {"url", [&] { api.set_url("b"); }},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.first);
    change.second();
    const boost::optional<std::uint64_t> revision = revision_of(api, change.first);
    ASSERT_TRUE(revision);
    EXPECT_TRUE(seen.insert(*revision).second) << *revision << " came again";
    api.SetProperty("step", 3);  // another member's write
    EXPECT_EQ(revision_of(api, change.first), revision);
  }
  // Not counted while empty; counted again, with a number not given before, once set.
  api.set_url("");
  EXPECT_FALSE(revision_of(api, "url"));
  api.set_url("b");
  ASSERT_TRUE(revision_of(api, "url"));
  EXPECT_TRUE(seen.insert(*revision_of(api, "url")).second);
}

// The handle the page holds: calls go through the class table with host values.
class ScriptableHandle : public ::testing::Test {
 protected:
  ScriptableHandle()
      : m_host(boost::make_shared<FB::BrowserHost>(m_page.funcs(), m_page.instance())),
        m_api(boost::make_shared<counter_api>()) {
    m_host->retainJSAPIPtr(m_api);
    m_handle = m_host->scriptableHandle(m_api);
  }
  ~ScriptableHandle() override { m_handle->cls->release(m_handle); }

  static vh_variant number(double d) {
    vh_variant v{};
    v.type = VH_DOUBLE;
    v.value.d = d;
    return v;
  }
  // Calls add(2, 3): the result's text, or the failure's.
  std::string call_add() {
    vh_variant args[2] = {number(2), number(3)};
    vh_variant result{};
    bool ok = m_handle->cls->invoke(m_handle, "add", args, 2, &result);
    std::string text;
    if (result.type == VH_STRING) {
      text = std::string(result.value.s.utf8, result.value.s.length);
    } else if (result.type == VH_INT32) {
      text = std::to_string(result.value.i);
    }
    m_page.funcs()->release_variant(&result);
    return (ok ? "ok " : "failed ") + text;
  }

  vocle::testkit::test_page m_page;
  FB::BrowserHostPtr m_host;
  FB::JSAPIPtr m_api;
  vh_object* m_handle;
};

TEST_F(ScriptableHandle, CallsReachTheObjectWhileItLives) {
  EXPECT_EQ(call_add(), "ok 5");
  EXPECT_TRUE(m_handle->cls->has_method(m_handle, "add"));
  EXPECT_FALSE(m_handle->cls->has_property(m_handle, "add"));

  char** names = nullptr;
  uint32_t count = 0;
  ASSERT_TRUE(m_handle->cls->enumerate(m_handle, &names, &count));
  std::vector<std::string> listed(names, names + count);
  for (uint32_t i = 0; i < count; ++i) {
    std::free(names[i]);
  }
  std::free(names);
  EXPECT_EQ(listed, m_api->getMemberNames());

  vh_variant value = number(1);
  vh_variant error{};
  EXPECT_FALSE(m_handle->cls->set_property(m_handle, "version", &value, &error));
  ASSERT_EQ(error.type, VH_STRING);
  EXPECT_EQ(std::string(error.value.s.utf8, error.value.s.length), "property version is read-only");
  m_page.funcs()->release_variant(&error);
}

TEST_F(ScriptableHandle, CountsReachTheHostForTheLibrarysObjectsOnly) {
  std::uint64_t before = 0;
  ASSERT_TRUE(FB::JSAPIHandle::property_revision(m_handle, "diagnose", &before));
  vh_variant value = number(2);
  vh_variant error{};
  ASSERT_TRUE(m_handle->cls->set_property(m_handle, "diagnose", &value, &error));
  std::uint64_t after = 0;
  ASSERT_TRUE(FB::JSAPIHandle::property_revision(m_handle, "diagnose", &after));
  EXPECT_NE(after, before);
  EXPECT_FALSE(FB::JSAPIHandle::property_revision(m_handle, "step", &after));

  vocle::testkit::test_object* page_object = vocle::testkit::make_test_object({{"diagnose", 1}});
  EXPECT_FALSE(FB::JSAPIHandle::property_revision(&page_object->base, "diagnose", &after));
  vocle::testkit::free_test_object(page_object);

  m_api.reset();
  m_host->freeRetainedObjects();
  EXPECT_FALSE(FB::JSAPIHandle::property_revision(m_handle, "diagnose", &after));
}

TEST_F(ScriptableHandle, FailsCleanlyOnceTheObjectOrThePageHasGone) {
  m_api.reset();
  m_host->freeRetainedObjects();  // what the plug-in's destructor does
  EXPECT_EQ(call_add(), "failed the plug-in object is no longer available");
  EXPECT_FALSE(m_handle->cls->has_method(m_handle, "add"));

  m_api = boost::make_shared<counter_api>();
  vh_object* second = m_host->scriptableHandle(m_api);
  m_host->shutdown();
  std::swap(second, m_handle);
  EXPECT_EQ(call_add(), "failed the page has closed");
  second->cls->release(second);
}

}  // namespace
