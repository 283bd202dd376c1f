#include "host/native/native_host.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <utility>

#include "host/core/variant_list.h"
#include "host/core/variants.h"
#include "host/core/watchdog.h"
#include "host/native/remote_object.h"
#include "host/native/value_object.h"

namespace host {

namespace {

const char k_log_prefix[] = "vocle-host: ";
const char k_overloaded[] = "vocle-host is overloaded: too many calls are waiting to be handled";

bool is_call(const std::string& type) {
  return type == "call" || type == "set";
}

std::string too_deep_text() {
  return "the value is nested deeper than " + std::to_string(native_host::k_deepest) + " levels";
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool get_int(const nlohmann::json& message, const char* key, std::int64_t* out) {
  auto found = message.find(key);
  if (found == message.end() || !found->is_number_integer()) {
    return false;
  }
  *out = found->get<std::int64_t>();
  return true;
}

// A message's question number as the page wrote it: its answer carries the same.
bool get_question(const nlohmann::json& message, nlohmann::json* out) {
  auto found = message.find("q");
  if (found == message.end() || !found->is_number()) {
    return false;
  }
  *out = *found;
  return true;
}

std::string get_string(const nlohmann::json& message, const char* key) {
  auto found = message.find(key);
  return found != message.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The line on standard error for a message the host drops without an answer.
void log_skipped(const std::string& type, const std::string& reason) {
  std::cerr << k_log_prefix << "skipped a \"" << type << "\" message: " << reason << "\n";
}

}  // namespace

// One <object> element of the page: its instance in the library, the plug-in's script object
// and the host objects the instance holds.
struct native_host::instance_entry : public page_services {
  instance_entry(native_host& owner, std::int64_t id) : host(owner), id(id) {}

  vh_object* window() override { return host.window_of(*this); }
  vh_object* new_array() override { return host.new_value(id, true); }
  vh_object* new_object() override { return host.new_value(id, false); }

  native_host& host;
  const std::int64_t id;
  vh_instance* instance = nullptr;
  std::uint64_t root = 0;  // the script object, held in the core's object table
  std::vector<std::pair<std::string, bool>> members;  // name, is a method
  std::map<std::int64_t, remote_object*> remotes;
  std::set<value_object*> values;
  vh_variant window_value = void_variant();
  // The property values the page holds, as last sent: a value that is not an object by its
  // bytes as the plug-in gave it (compared without encoding it again), an object as encoded.
  // With the library's change count of the property when its value was last seen to be this
  // one: while the count stays, a value that is not an object is not read again.
  struct shown_value {
    bool by_bytes = false;
    std::string bytes;
    nlohmann::json encoded;
    bool counted = false;
    std::uint64_t revision = 0;
  };
  std::map<std::string, shown_value> shown;
  // The values that are not objects in the properties being sent, with their counts, until they
  // are sent.
  std::map<std::string, shown_value> offered;
};

native_host::native_host(host_core& core, native_channel& channel, const options& opts)
    : m_core(core), m_channel(channel), m_options(opts), m_end_guard(3) {}

native_host::~native_host() {
  m_channel.finish("the host is ending");
  end("the host is ending");
}

void native_host::serve() {
  m_channel.start([this](message_reader::message&& message) { return take(std::move(message)); },
                  [this](const std::string& reason) { closed(reason); });
  m_core.loop().run(main_loop::clock::time_point::max());
  m_channel.finish("the host is ending");
  end("the host is ending");
}

int native_host::run() {
  serve();
  m_core.shutdown();
  return 0;
}

// ---- the reader thread ----

bool native_host::take(message_reader::message&& message) {
  const std::string type = get_string(message.value, "t");
  if (type == "answer") {
    std::int64_t q = 0;
    get_int(message.value, "q", &q);
    // The first answer counts; a later one, or one for a question that timed out, only gives
    // back what it carried.
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_waiting != 0 && static_cast<std::uint64_t>(q) == m_waiting && !m_has_answer) {
      m_answer = std::move(message);
      m_has_answer = true;
      lock.unlock();
      m_answered.notify_all();
      return true;
    }
    lock.unlock();
    give_back(message);
    return true;
  }
  // What waits in the backlog is what the host acts on, and no more; a message of a type the
  // host does not know is of no use at all.
  if (type == "destroy" || type == "hello") {
    if (!strip(&message, type)) {
      return true;
    }
  } else if (type != "create" && !is_call(type)) {
    if (message.refused.empty()) {
      std::cerr << k_log_prefix << "skipped a message of unknown type \"" << type << "\"\n";
    } else {
      log_skipped(type, message.refused);
    }
    give_back(message);
    return true;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  const bool awaiting = m_waiting != 0;
  if (awaiting &&
      (m_backlog.size() >= k_awaiting_messages || m_backlog_bytes >= k_awaiting_bytes) &&
      (is_call(type) || type == "create")) {
    lock.unlock();
    shed(message, type);
    return true;
  }
  std::int64_t made = 0;
  if (type == "create" && get_int(message.value, "i", &made)) {
    m_made.insert(made);
  }
  m_backlog_bytes += message.footprint;
  m_backlog.push_back(std::move(message));
  if (!m_drain_posted) {
    m_drain_posted = m_core.loop().post([this] { drain(); });
  }
  if (!awaiting && (m_backlog.size() >= k_backlog_messages || m_backlog_bytes >= k_backlog_bytes)) {
    m_reader_paused = true;
    return false;
  }
  return true;
}

bool native_host::strip(message_reader::message* message, const std::string& type) {
  std::int64_t id = 0;
  const bool numbered = type == "destroy" && get_int(message->value, "i", &id);
  std::string url = type == "hello" ? get_string(message->value, "url") : std::string();
  const std::string refused = message->refused;
  give_back(*message);
  *message = message_reader::message();
  message->footprint = 256 + url.size();
  if (type == "hello") {
    if (!refused.empty()) {
      log_skipped(type, refused);
      return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hello_taken) {
      return false;  // only the first counts
    }
    m_hello_taken = true;
    message->value = {{"t", type}, {"url", std::move(url)}};
    return true;
  }
  if (!numbered) {
    log_skipped(type, "its element number \"i\" is not an integer");
    return false;
  }
  // Repeats for one element come to one: only an element made since its last "destroy" has
  // anything to end.
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_made.erase(id) == 0) {
    return false;
  }
  message->value = {{"t", type}, {"i", id}};
  return true;
}

void native_host::shed(const message_reader::message& message, const std::string& type) {
  std::int64_t number = 0;
  nlohmann::json q;
  if (is_call(type) && get_question(message.value, &q)) {
    m_channel.send({{"t", "ret"}, {"q", q}, {"ok", false}, {"e", k_overloaded}});
  } else if (type == "create" && get_int(message.value, "i", &number)) {
    m_channel.send({{"t", "created"}, {"i", number}, {"ok", false}, {"e", k_overloaded}});
  }
  give_back(message);
}

void native_host::give_back(const message_reader::message& message) {
  if (message.refused.empty()) {
    release_unclaimed(message.value);
  } else {
    release_all(message.references);
  }
}

void native_host::closed(const std::string& reason) {
  std::deque<message_reader::message> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_page_gone = true;
    m_gone_reason = reason;
    dropped.swap(m_backlog);
    m_backlog_bytes = 0;
  }
  m_answered.notify_all();
  arm_end_guard(reason);
  if (!m_core.loop().post([this, reason] { end(reason); })) {
    m_core.loop().quit();
  }
}

// ---- questions to the page ----

bool native_host::ask(std::int64_t instance, nlohmann::json request, nlohmann::json* value,
                      std::string* error) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_page_gone) {
    *error = "the page has gone";
    return false;
  }
  const std::uint64_t q = ++m_next_question;
  m_waiting = q;
  m_has_answer = false;
  if (m_reader_paused) {
    // The answer comes behind what the page has sent so far: the reader reads on.
    m_reader_paused = false;
    m_channel.resume();
  }
  lock.unlock();

  request["t"] = "op";
  request["q"] = q;
  std::string refusal;
  const native_channel::send_result sent = m_channel.send(request, &refusal);

  lock.lock();
  if (sent == native_channel::send_result::sent) {
    m_answered.wait_for(lock, m_options.answer_timeout,
                        [this] { return m_has_answer || m_page_gone; });
  }
  m_waiting = 0;
  if (!m_has_answer) {
    lock.unlock();
    if (sent == native_channel::send_result::too_large) {
      *error = "the plug-in's call to the page cannot be delivered: " + refusal;
      std::cerr << k_log_prefix << *error << "\n";
      m_channel.send({{"t", "error"}, {"i", instance}, {"e", *error}});
    } else if (m_page_gone || sent != native_channel::send_result::sent) {
      *error = "the page has gone";
    } else {
      std::ostringstream text;
      text << "the page did not answer within " << m_options.answer_timeout.count() / 1000.0
           << " s";
      *error = text.str();
    }
    return false;
  }
  message_reader::message answer = std::move(m_answer);
  m_has_answer = false;
  lock.unlock();

  if (!answer.refused.empty()) {
    release_all(answer.references);
    *error = answer.refused;
    return false;
  }
  auto ok = answer.value.find("ok");
  if (ok == answer.value.end() || !ok->is_boolean() || !ok->get<bool>()) {
    release_unclaimed(answer.value);
    const std::string reason = get_string(answer.value, "e");
    *error = reason.empty() ? "the page's call failed" : reason;
    return false;
  }
  auto v = answer.value.find("v");
  if (v == answer.value.end()) {
    *value = nlohmann::json({{"$", "u"}});
  } else if (too_deep(*v, false)) {
    release_unclaimed(*v);
    *error = too_deep_text();
    return false;
  } else {
    *value = std::move(*v);
  }
  return true;
}

// ---- the page's messages ----

void native_host::drain() {
  message_reader::message message;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_backlog.empty()) {
      m_drain_posted = false;
      return;
    }
    message = std::move(m_backlog.front());
    m_backlog.pop_front();
    m_backlog_bytes -= message.footprint;
    m_drain_posted = !m_backlog.empty() && m_core.loop().post([this] { drain(); });
    if (m_reader_paused && m_backlog.size() <= k_backlog_messages / 2 &&
        m_backlog_bytes <= k_backlog_bytes / 2) {
      m_reader_paused = false;
      m_channel.resume();
    }
  }
  dispatch(message);
}

void native_host::dispatch(const message_reader::message& incoming) {
  if (m_ended) {
    return;
  }
  const nlohmann::json& message = incoming.value;
  const std::string type = get_string(message, "t");
  try {
    if (!incoming.refused.empty()) {
      refuse(incoming, type);
    } else if (type == "hello") {
      hello(message);
    } else if (!m_greeted) {
      std::cerr << k_log_prefix << "a \"" << type << "\" message came before \"hello\"\n";
      release_unclaimed(message);
    } else if (type == "create") {
      create(message);
    } else if (type == "call") {
      call(message);
    } else if (type == "set") {
      set(message);
    } else if (type == "destroy") {
      std::int64_t id = 0;
      if (get_int(message, "i", &id)) {
        destroy(id);
      }
    } else {
      std::cerr << k_log_prefix << "skipped a message of unknown type \"" << type << "\"\n";
      release_unclaimed(message);
    }
  } catch (const std::exception& e) {
    std::cerr << k_log_prefix << "the \"" << type << "\" message failed: " << e.what() << "\n";
  }
  drop_copies();
}

void native_host::refuse(const message_reader::message& message, const std::string& type) {
  release_all(message.references);
  nlohmann::json q;
  if (m_greeted && is_call(type) && get_question(message.value, &q)) {
    m_channel.send({{"t", "ret"}, {"q", q}, {"ok", false}, {"e", message.refused}});
  } else {
    log_skipped(type, message.refused);
  }
}

void native_host::hello(const nlohmann::json& message) {
  if (m_greeted) {
    return;
  }
  m_greeted = true;
  m_url = get_string(message, "url");
  std::string error;
  // The library may serve a page before this one in the same process (see serve()).
  if (m_core.library().initialized() || m_core.load(m_options.plugin_path, &error)) {
    m_loaded = true;
    const std::string description = m_core.library().mime_description();
    m_mime_type = lower(description.substr(0, description.find("::")));
  } else {
    m_load_error = "the plug-in " + m_options.plugin_path + " could not be loaded: " + error;
    std::cerr << k_log_prefix << m_load_error << "\n";
  }
  m_channel.send({{"t", "ready"}});
}

void native_host::create(const nlohmann::json& message) {
  std::int64_t id = 0;
  if (!get_int(message, "i", &id)) {
    log_skipped("create", "its element number \"i\" is not an integer");
    return;
  }
  nlohmann::json reply = {{"t", "created"}, {"i", id}, {"ok", false}};
  const std::string type = lower(get_string(message, "type"));
  if (!m_loaded) {
    reply["e"] = m_load_error;
  } else if (m_instances.count(id) != 0) {
    reply["e"] = "the page made instance " + std::to_string(id) + " twice";
  } else if (type != m_mime_type) {
    reply["e"] = "the plug-in serves " + m_mime_type + ", not " + type;
  } else {
    auto entry = std::make_unique<instance_entry>(*this, id);
    instance_entry* e = entry.get();
    m_instances[id] = std::move(entry);
    std::string error;
    e->instance = m_core.create_instance(type, e, &error);
    vh_object* root = e->instance ? m_core.scriptable(e->instance, &error) : nullptr;
    if (root == nullptr) {
      reply["e"] = error;
      destroy(id);
    } else {
      e->root = m_core.objects().hold(root);
      char** names = nullptr;
      uint32_t count = 0;
      if (root->cls->enumerate(root, &names, &count)) {
        for (uint32_t i = 0; names && i < count; ++i) {
          const std::string name = names[i] ? names[i] : "";
          e->members.emplace_back(name, root->cls->has_method(root, name.c_str()));
          std::free(names[i]);
        }
        std::free(names);
      }
      nlohmann::json members = nlohmann::json::array();
      for (const auto& member : e->members) {
        members.push_back({member.first, member.second ? "m" : "p"});
      }
      reply["ok"] = true;
      reply["members"] = std::move(members);
      reply["p"] = properties(*e);
      std::string refusal;
      if (m_channel.send(reply, &refusal) == native_channel::send_result::too_large) {
        reply = {{"t", "created"},
                 {"i", id},
                 {"ok", false},
                 {"e", "the plug-in's element cannot reach the page: " + refusal}};
        destroy(id);
      } else {
        shown(*e, reply["p"]);
        return;
      }
    }
  }
  m_channel.send(reply);
}

native_host::instance_entry* native_host::live_instance(std::int64_t id) {
  auto found = m_instances.find(id);
  if (found == m_instances.end() || found->second->root == 0) {
    return nullptr;
  }
  return found->second.get();
}

remote_object* native_host::remote_for(std::int64_t instance, std::int64_t id, bool function) {
  auto entry = m_instances.find(instance);
  if (entry == m_instances.end()) {
    return nullptr;
  }
  auto known = entry->second->remotes.find(id);
  if (known != entry->second->remotes.end()) {
    known->second->retain();
    return known->second;
  }
  auto* remote = new remote_object(m_core.objects(), *this, instance, id, function);
  entry->second->remotes[id] = remote;
  return remote;
}

namespace {

// A value that is not an object as its type and bytes: equal bytes encode to equal JSON, so an
// unchanged value, however long, costs a comparison of bytes and no encoding.
bool bytes_of(const vh_variant& value, std::string* out) {
  out->assign(1, static_cast<char>(value.type));
  switch (value.type) {
    case VH_VOID:
    case VH_NULL:
      return true;
    case VH_BOOL:
      out->push_back(value.value.b ? 1 : 0);
      return true;
    case VH_INT32:
      out->append(reinterpret_cast<const char*>(&value.value.i), sizeof value.value.i);
      return true;
    case VH_DOUBLE:
      out->append(reinterpret_cast<const char*>(&value.value.d), sizeof value.value.d);
      return true;
    case VH_STRING:
      if (value.value.s.length > 0) {
        out->append(value.value.s.utf8, value.value.s.length);
      }
      return true;
    default:
      return false;  // an object's members may change behind the same handle
  }
}

}  // namespace

nlohmann::json native_host::properties(instance_entry& entry) {
  nlohmann::json props = nlohmann::json::object();
  entry.offered.clear();
  vh_object* root = m_core.objects().plugin_object(entry.root);
  if (root == nullptr) {
    return props;
  }
  const auto revision_of = m_core.library().funcs().property_revision;
  std::string bytes;
  for (const auto& member : entry.members) {
    if (member.second) {
      continue;
    }
    const auto shown = entry.shown.find(member.first);
    // The count is taken before the value: a change between the two moves it on, and the next
    // call reads again.
    std::uint64_t revision = 0;
    const bool counted =
        revision_of != nullptr && revision_of(root, member.first.c_str(), &revision);
    if (counted && shown != entry.shown.end() && shown->second.by_bytes && shown->second.counted &&
        shown->second.revision == revision) {
      continue;  // the same value as the page holds; an object is read, its members may change
    }
    vh_variant value = void_variant();
    if (root->cls->get_property(root, member.first.c_str(), &value)) {
      const bool by_bytes = bytes_of(value, &bytes);
      if (by_bytes) {
        if (shown == entry.shown.end() || !shown->second.by_bytes || shown->second.bytes != bytes) {
          props[member.first] = encode(value);
          instance_entry::shown_value& offered = entry.offered[member.first];
          offered.by_bytes = true;
          offered.bytes = std::move(bytes);
          offered.counted = counted;
          offered.revision = revision;
        } else {
          // Unchanged, whatever the answer's fate: the page's value holds at this count.
          shown->second.counted = counted;
          shown->second.revision = revision;
        }
      } else {
        nlohmann::json now = encode(value);
        if (shown == entry.shown.end() || shown->second.by_bytes || shown->second.encoded != now) {
          props[member.first] = std::move(now);
        }
      }
    }
    release_variant(&value);
  }
  return props;
}

void native_host::shown(instance_entry& entry, const nlohmann::json& props) {
  for (auto prop = props.begin(); prop != props.end(); ++prop) {
    instance_entry::shown_value& held = entry.shown[prop.key()];
    const auto offered = entry.offered.find(prop.key());
    if (offered != entry.offered.end()) {
      held = std::move(offered->second);
    } else {
      held = instance_entry::shown_value();
      held.encoded = *prop;
    }
  }
  entry.offered.clear();
}

void native_host::send_answer(instance_entry& entry, nlohmann::json& reply) {
  std::string refusal;
  native_channel::send_result sent = m_channel.send(reply, &refusal);
  if (sent == native_channel::send_result::too_large) {
    reply.erase("v");
    reply["ok"] = false;
    reply["e"] = "the answer cannot reach the page: " + refusal;
    sent = m_channel.send(reply, &refusal);
    if (sent == native_channel::send_result::too_large) {
      // The property values themselves are too long: the page keeps those it has.
      reply.erase("p");
      m_channel.send(reply);
      return;
    }
  }
  if (sent == native_channel::send_result::sent) {
    shown(entry, reply["p"]);
  }
}

bool native_host::addressee(const nlohmann::json& message, addressed* to) {
  nlohmann::json q;
  if (!get_question(message, &q)) {
    log_skipped(get_string(message, "t"), "it has no question number \"q\" to answer");
    release_unclaimed(message);
    return false;
  }
  to->reply = {{"t", "ret"}, {"q", q}, {"ok", false}};
  if (!get_int(message, "i", &to->id)) {
    const auto i = message.find("i");
    std::string wrong;
    if (i != message.end()) {
      wrong = i->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      if (wrong.size() > 40) {
        wrong = wrong.substr(0, 36) + "...";
      }
    }
    release_unclaimed(message);
    to->reply["e"] = i == message.end()
                         ? "the message names no plug-in element: it has no element number \"i\""
                         : "the element number \"i\" must be an integer, not " + wrong;
    m_channel.send(to->reply);
    return false;
  }
  to->entry = live_instance(to->id);
  to->root = to->entry ? m_core.objects().plugin_object(to->entry->root) : nullptr;
  if (to->root == nullptr) {
    release_unclaimed(message);
    to->reply["e"] = "the plug-in element has left the page";
    m_channel.send(to->reply);
    return false;
  }
  return true;
}

bool native_host::refused_as_too_deep(const nlohmann::json& message, const nlohmann::json& value,
                                      nlohmann::json* reply) {
  if (!too_deep(value, true)) {
    return false;
  }
  release_unclaimed(message);
  (*reply)["e"] = too_deep_text();
  m_channel.send(*reply);
  return true;
}

void native_host::call(const nlohmann::json& message) {
  addressed to;
  if (!addressee(message, &to)) {
    return;
  }
  nlohmann::json& reply = to.reply;
  vh_object* root = to.root;
  const std::string method = get_string(message, "m");
  variant_list args;
  auto list = message.find("a");
  if (list != message.end() && list->is_array()) {
    for (const auto& arg : *list) {
      if (refused_as_too_deep(message, arg, &reply)) {
        return;
      }
    }
    for (const auto& arg : *list) {
      args.push_back(decode(arg, to.id, true));
    }
  }
  vh_variant result = void_variant();
  const bool ok = root->cls->invoke(root, method.c_str(), args.data(),
                                    static_cast<uint32_t>(args.size()), &result);
  if (ok) {
    reply["ok"] = true;
    reply["v"] = encode(result);
  } else {
    reply["e"] = variant_text(result, "the plug-in's " + method + " failed");
  }
  release_variant(&result);
  reply["p"] = properties(*to.entry);
  send_answer(*to.entry, reply);
}

void native_host::set(const nlohmann::json& message) {
  addressed to;
  if (!addressee(message, &to)) {
    return;
  }
  nlohmann::json& reply = to.reply;
  vh_object* root = to.root;
  const std::string name = get_string(message, "n");
  auto v = message.find("v");
  if (v != message.end() && refused_as_too_deep(message, *v, &reply)) {
    return;
  }
  variant_list value;
  value.push_back(v == message.end() ? void_variant() : decode(*v, to.id, true));
  vh_variant error = void_variant();
  if (root->cls->set_property(root, name.c_str(), &value[0], &error)) {
    reply["ok"] = true;
  } else {
    reply["e"] = variant_text(error, "the plug-in refused the property " + name);
  }
  release_variant(&error);
  reply["p"] = properties(*to.entry);
  send_answer(*to.entry, reply);
}

void native_host::destroy(std::int64_t id) {
  auto found = m_instances.find(id);
  if (found == m_instances.end()) {
    return;
  }
  instance_entry* entry = found->second.get();
  if (entry->root != 0) {
    m_core.objects().drop(entry->root);
    entry->root = 0;
  }
  if (entry->instance != nullptr) {
    m_core.destroy_instance(entry->instance);
    entry->instance = nullptr;
  }
  // The library holds nothing of the instance any more and never releases what it held: the
  // host lets go of the instance's objects and gives the page's objects back.
  std::vector<remote_object*> remotes;
  for (const auto& remote : entry->remotes) {
    remotes.push_back(remote.second);
  }
  std::vector<value_object*> values(entry->values.begin(), entry->values.end());
  for (remote_object* remote : remotes) {
    m_copied.erase(remote);
    remote->detach();
  }
  for (value_object* value : values) {
    value->detach();
  }
  vh_variant window = entry->window_value;
  entry->window_value = void_variant();
  release_held(remotes, values);
  release_variant(&window);
  m_instances.erase(found);
}

void native_host::arm_end_guard(const std::string& reason) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_end_armed) {
    return;
  }
  m_end_armed = true;
  m_end_guard.arm(main_loop::clock::now() + m_options.end_timeout,
                  "vocle-host: the plug-in did not end within " +
                      std::to_string(m_options.end_timeout.count()) + " s of the page going (" +
                      reason + "); ending at once");
}

void native_host::end(const std::string& reason) {
  if (m_ended) {
    return;
  }
  m_ended = true;
  // Ending an instance waits for its work to finish (a file being saved is written out);
  // should anything hang, the process still ends.
  arm_end_guard(reason);
  std::vector<std::int64_t> ids;
  for (const auto& instance : m_instances) {
    ids.push_back(instance.first);
  }
  for (std::int64_t id : ids) {
    destroy(id);
  }
  m_core.loop().quit();
}

// ---- bookkeeping of the host's objects ----

vh_object* native_host::window_of(instance_entry& entry) {
  if (entry.window_value.type != VH_OBJECT) {
    vh_object* location = new_value(entry.id, false);
    auto* loc = dynamic_cast<value_object*>(host_object::from_handle(location));
    loc->put("href", string_variant(m_url));
    vh_object* window = new_value(entry.id, false);
    auto* win = dynamic_cast<value_object*>(host_object::from_handle(window));
    vh_variant location_value = void_variant();
    location_value.type = VH_OBJECT;
    location_value.value.object = location;  // takes over new_value's reference
    win->put("location", location_value);
    entry.window_value.type = VH_OBJECT;
    entry.window_value.value.object = window;
  }
  entry.window_value.value.object->cls->retain(entry.window_value.value.object);
  return entry.window_value.value.object;
}

vh_object* native_host::new_value(std::int64_t instance, bool array) {
  auto found = m_instances.find(instance);
  if (found == m_instances.end()) {
    return nullptr;
  }
  auto* value = new value_object(m_core.objects(), *this, instance,
                                 array ? value_object::shape::array : value_object::shape::object);
  found->second->values.insert(value);
  return value->handle();
}

void native_host::forget(remote_object* object) {
  m_copied.erase(object);
  auto found = m_instances.find(object->instance());
  if (found != m_instances.end()) {
    auto remote = found->second->remotes.find(object->id());
    if (remote != found->second->remotes.end() && remote->second == object) {
      found->second->remotes.erase(remote);
    }
  }
}

void native_host::forget(value_object* object) {
  auto found = m_instances.find(object->instance());
  if (found != m_instances.end()) {
    found->second->values.erase(object);
  }
}

void native_host::release_to_page(std::int64_t id, std::uint64_t receipts) {
  if (receipts != 0) {
    m_channel.send({{"t", "release"}, {"o", id}, {"n", receipts}});
  }
}

void native_host::release_unclaimed(const nlohmann::json& value) {
  std::vector<std::int64_t> ids;
  message_reader::references(value, &ids);
  release_all(ids);
}

void native_host::release_all(const std::vector<std::int64_t>& ids) {
  std::map<std::int64_t, std::uint64_t> receipts;
  for (std::int64_t id : ids) {
    ++receipts[id];
  }
  for (const auto& object : receipts) {
    release_to_page(object.first, object.second);
  }
}

void native_host::release_held(const std::vector<remote_object*>& remotes,
                               const std::vector<value_object*>& values) {
  std::vector<vh_variant> held;
  for (remote_object* remote : remotes) {
    remote->take_values(&held);
  }
  for (value_object* value : values) {
    value->take_values(&held);
  }
  for (vh_variant& value : held) {
    release_variant(&value);
  }
}

void native_host::drop_copies() {
  if (m_copied.empty()) {
    return;
  }
  std::vector<remote_object*> copied(m_copied.begin(), m_copied.end());
  m_copied.clear();
  release_held(copied, {});
}

}  // namespace host
