#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <typeinfo>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "core/foundation/binary_source.h"
#include "core/foundation/log.h"
#include "core/http/request_factory.h"

// The form interface (curl_formadd) is deprecated in favour of the mime one but works, and it is
// the interface this client is built on.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace vocle {
namespace http {

namespace {

struct slist_deleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
typedef std::unique_ptr<curl_slist, slist_deleter> slist_ptr;

// A list of the given lines; the list is freed again if taking the value out of its holder throws
// before the list is handed over.
slist_ptr make_list(std::initializer_list<const char*> lines) {
  slist_ptr list;
  for (const char* line : lines) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (!grown) {
      throw std::bad_alloc();
    }
    list.release();
    list.reset(grown);
  }
  return list;
}

// A text value is copied with its length: the page's text may hold zero bytes, which would end
// it early as a C string.
curl_off_t content_length(const std::string& text) {
  return static_cast<curl_off_t>(text.size());
}

// The value of the Content-Type line of a part's header list.
std::string content_type_in(const curl_slist* list) {
  static const char prefix[] = "Content-Type: ";
  for (; list; list = list->next) {
    if (std::strncmp(list->data, prefix, sizeof prefix - 1) == 0) {
      return list->data + sizeof prefix - 1;
    }
  }
  return "application/octet-stream";
}

// function: the caller's __PRETTY_FUNCTION__, which the failure's line names.
void check_formadd(const char* function, CURLFORMcode code, const std::string& name) {
  if (code != CURL_FORMADD_OK) {
    log::write(FB::Log::LogLevel_Error, __FILE__, __LINE__, function,
               "curl_formadd of part %1% failed: %2%", name, static_cast<int>(code));
  }
}

// What a streamed part's value is read through: the byte source it holds, or a source that
// drains the binary it holds. Any other kind of value throws boost::bad_any_cast.
boost::shared_ptr<byte_source> stream_source(const boost::any& value) {
  if (value.type() == typeid(boost::shared_ptr<byte_source>)) {
    return boost::any_cast<boost::shared_ptr<byte_source> >(value);
  }
  boost::shared_ptr<binary> bytes = boost::any_cast<boost::shared_ptr<binary> >(value);
  if (!bytes) {
    return boost::shared_ptr<byte_source>();
  }
  return boost::make_shared<binary_source>(bytes);
}

}  // namespace

void request_factory::build_form(curl_httppost*& first, curl_httppost*& last,
                                 const form_fields& fields, header_lists& lists,
                                 part_sources& sources) {
  for (const auto& field : fields) {
    lists.push_back(nullptr);
    lists.back() =
        add_form_part(first, last, field.second.type, field.first, field.second.value, sources);
  }
}

curl_slist* request_factory::add_form_part(curl_httppost*& first, curl_httppost*& last,
                                           const std::string& type, const std::string& name,
                                           const boost::any& value, part_sources& sources) {
  if (type == "xml") {
    slist_ptr list = make_list({"Content-Type: application/xml"});
    const std::string& text = boost::any_cast<const std::string&>(value);
    check_formadd(
        __PRETTY_FUNCTION__,
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_CONTENTHEADER,
                     list.get(), CURLFORM_COPYCONTENTS, text.data(), CURLFORM_CONTENTLEN,
                     content_length(text), CURLFORM_END),
        name);
    return list.release();
  }
  if (type == "binary") {
    slist_ptr list =
        make_list({"Content-Type: application/octet-stream", "Content-Transfer-Encoding: binary"});
    add_stream_part(first, last, list.get(), name, value, sources);
    return list.release();
  }
  if (type == "wav_dvi_adpcm") {
    slist_ptr list = make_list({"Content-Type: application/wav; codec=\"11\""});
    add_stream_part(first, last, list.get(), name, value, sources);
    return list.release();
  }
  if (type == "string") {
    const std::string& text = boost::any_cast<const std::string&>(value);
    check_formadd(
        __PRETTY_FUNCTION__,
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_COPYCONTENTS,
                     text.data(), CURLFORM_CONTENTLEN, content_length(text), CURLFORM_END),
        name);
    return nullptr;
  }
  VOCLE_LOG_WARN("part %1% of unknown type %2% is not posted", name, type);
  return nullptr;
}

void request_factory::add_stream_part(curl_httppost*& first, curl_httppost*& last, curl_slist* list,
                                      const std::string& name, const boost::any& value,
                                      part_sources& sources) {
  // sources keeps the source alive until the form is freed; libcurl hands its address back to
  // read_request_binary. Its size is fixed before the first read, so the length announced is
  // what is sent.
  const boost::shared_ptr<byte_source> source = stream_source(value);
  const std::uint64_t size = source ? source->size() : 0;
  if (size > static_cast<std::uint64_t>(std::numeric_limits<long>::max())) {
    throw std::length_error("part " + name + " too large to post");
  }
  if (size == 0) {
    // libcurl takes a streamed part of length 0 for one of unknown length and then sends the
    // whole body chunked, which many servers refuse. An empty part has nothing to stream: it
    // goes as an empty buffer (a buffer of length 0 is read up to its zero byte), so the body
    // keeps its Content-Length. A buffer part would get a content type guessed from its file
    // name in place of the one in its headers, so that one is given as the part's own.
    static const char nothing[] = "";
    const std::string type = content_type_in(list);
    check_formadd(
        __PRETTY_FUNCTION__,
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_BUFFER, name.c_str(),
                     CURLFORM_CONTENTTYPE, type.c_str(), CURLFORM_CONTENTHEADER, list,
                     CURLFORM_BUFFERPTR, nothing, CURLFORM_BUFFERLENGTH, 0L, CURLFORM_END),
        name);
    return;
  }
  sources.push_back(source);
  check_formadd(
      __PRETTY_FUNCTION__,
      curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_FILENAME, name.c_str(),
                   CURLFORM_CONTENTHEADER, list, CURLFORM_STREAM, source.get(),
                   CURLFORM_CONTENTSLENGTH, static_cast<long>(size), CURLFORM_END),
      name);
}

}  // namespace http
}  // namespace vocle
