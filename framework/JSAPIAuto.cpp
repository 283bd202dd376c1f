#include "framework/JSAPIAuto.h"

#include "framework/script_error.h"

namespace FB {

JSAPIAuto::JSAPIAuto(const std::string& description) : JSAPIImpl(description) {}

JSAPIAuto::~JSAPIAuto() {}

const JSAPIAuto::member* JSAPIAuto::find(const std::string& name) const {
  for (const member& m : m_members) {
    if (m.name == name) {
      return &m;
    }
  }
  return nullptr;
}

JSAPIAuto::member* JSAPIAuto::find(const std::string& name) {
  return const_cast<member*>(static_cast<const JSAPIAuto*>(this)->find(name));
}

namespace {

// Registering a name again replaces its member in place.
template <class Member>
void put(std::vector<Member>& members, const Member& m, Member* existing) {
  if (existing) {
    *existing = m;
  } else {
    members.push_back(m);
  }
}

}  // namespace

void JSAPIAuto::registerMethod(const std::string& name, const CallMethodFunctor& method) {
  member m;
  m.kind = member::k_method;
  m.name = name;
  m.method = method;
  m.revision = ++m_revisions;
  put(m_members, m, find(name));
}

void JSAPIAuto::registerProperty(const std::string& name, const PropertyFunctors& property) {
  member m;
  m.kind = member::k_property;
  m.name = name;
  m.property = property;
  m.read_only = !property.set;
  m.revision = ++m_revisions;
  put(m_members, m, find(name));
}

void JSAPIAuto::registerAttribute(const std::string& name, const variant& value, bool readOnly) {
  member m;
  m.kind = member::k_attribute;
  m.name = name;
  m.value = value;
  m.read_only = readOnly;
  m.revision = ++m_revisions;
  put(m_members, m, find(name));
}

std::vector<std::string> JSAPIAuto::getMemberNames() const {
  std::vector<std::string> names;
  names.reserve(m_members.size());
  for (const member& m : m_members) {
    names.push_back(m.name);
  }
  return names;
}

bool JSAPIAuto::HasMethod(const std::string& name) const {
  const member* m = find(name);
  return m && m->kind == member::k_method;
}

bool JSAPIAuto::HasProperty(const std::string& name) const {
  const member* m = find(name);
  return m && m->kind != member::k_method;
}

variant JSAPIAuto::GetProperty(const std::string& name) {
  const member* m = find(name);
  if (!m) {
    throw script_error("no property named " + name);
  }
  switch (m->kind) {
    case member::k_property:
      return m->property.get();
    case member::k_attribute:
      return m->value;
    case member::k_method:
      break;
  }
  // The host calls methods through HasMethod and Invoke; reading one as a value gives nothing.
  return variant();
}

void JSAPIAuto::SetProperty(const std::string& name, const variant& value) {
  member* m = find(name);
  if (!m) {
    throw script_error("no property named " + name);
  }
  if (m->kind == member::k_method) {
    throw script_error(name + " is a method, not a property");
  }
  if (m->read_only) {
    throw script_error("property " + name + " is read-only");
  }
  if (m->kind == member::k_property) {
    m->property.set(value);
  } else {
    m->value = value;
  }
  m->revision = ++m_revisions;
}

bool JSAPIAuto::GetPropertyRevision(const std::string& name, std::uint64_t* revision) {
  member* m = find(name);
  if (!m || m->kind == member::k_method) {
    return false;
  }
  if (m->kind == member::k_property) {
    std::uint64_t count = 0;
    if (!m->property.revision || !m->property.revision(&count)) {
      return false;
    }
    if (!m->seen || count != m->seen_count) {
      m->seen = true;
      m->seen_count = count;
      m->revision = ++m_revisions;
    }
  }
  *revision = m->revision;
  return true;
}

variant JSAPIAuto::Invoke(const std::string& method, const VariantList& args) {
  if (method.empty()) {
    throw script_error("the object cannot be called as a function");
  }
  const member* m = find(method);
  if (!m) {
    throw script_error("no method named " + method);
  }
  if (m->kind != member::k_method) {
    throw script_error(method + " is a property, not a method");
  }
  // A copy: the method may register members, which may move the table.
  CallMethodFunctor call = m->method;
  return call(args);
}

}  // namespace FB
