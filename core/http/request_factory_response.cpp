#include <algorithm>
#include <functional>

#include <boost/format.hpp>

#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/http/no_throw.h"
#include "core/http/request_factory.h"

namespace vocle {
namespace http {

namespace {

// The page is told every outcome through the one result list, so no failure of the settings
// (an unreadable configuration, a language text that cannot be formatted) may keep the list from
// being issued: the message key itself stands in for its text then. function: the caller's
// __PRETTY_FUNCTION__, which the failure's line names.
std::string text_or_key(const char* function, const std::string& key,
                        const std::function<std::string()>& make) {
  std::string text = key;
  no_throw(function, ("translating " + key).c_str(), [&] { text = make(); });
  return text;
}

// The answer's text: the piece after the first blank line when the body has one (up to the next
// blank line), else the whole body. Only the piece is copied: the body may be large.
std::string body_text(const binary& body) {
  static const std::string separator = "\r\n\r\n";
  const char* const begin = body.begin();
  const char* const end = begin + body.size();
  const char* first = std::search(begin, end, separator.begin(), separator.end());
  if (first == end) {
    return std::string(begin, end);
  }
  first += separator.size();
  return std::string(first, std::search(first, end, separator.begin(), separator.end()));
}

// Error texts carry no more of an answer than its start: a whole large body would only be copied
// into the message again. The cut falls between UTF-8 characters, and "..." marks it.
const std::size_t answer_prefix_size = 1024;

std::string answer_prefix(const std::string& answer) {
  if (answer.size() <= answer_prefix_size) {
    return answer;
  }
  std::size_t cut = answer_prefix_size;
  while (cut > 0 && (static_cast<unsigned char>(answer[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return answer.substr(0, cut) + "...";
}

}  // namespace

std::string request_factory::message(const std::string& key) {
  return text_or_key(__PRETTY_FUNCTION__, key, [&] { return settings::instance().translate(key); });
}

std::string request_factory::message(const std::string& key, const std::string& argument) {
  return text_or_key(__PRETTY_FUNCTION__, key,
                     [&] { return settings::instance().translate_format(key, argument); });
}

std::string request_factory::message(const std::string& key, std::int32_t first,
                                     const std::string& second) {
  return text_or_key(__PRETTY_FUNCTION__, key,
                     [&] { return settings::instance().translate_format(key, first, second); });
}

void request_factory::deliver(const function_ptr& callback, const FB::VariantList& list) {
  if (callback) {
    no_throw(__PRETTY_FUNCTION__, "delivering the upload result",
             [&] { callback->call_async(list); });
  }
}

std::string request_factory::transfer_summary(const progress_context* context) {
  if (!context) {
    return std::string();
  }
  return (boost::format("ulnow: %1%, ultotal: %2%, dlnow: %3%, dltotal: %4%, total_time: %5%") %
          context->ulnow % context->ultotal % context->dlnow % context->dltotal %
          context->total_time)
      .str();
}

std::string request_factory::curl_error_code(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return "ZRV_ERR_NET_BAD_URL";
    case CURLE_COULDNT_CONNECT:
      return "ZRV_ERR_NET_CONNECTION";
    case CURLE_OPERATION_TIMEDOUT:
      return "ZRV_ERR_NET_TIMEOUT";
    case CURLE_TOO_MANY_REDIRECTS:
      return "ZRV_ERR_NET_MAX_REDIRECTS_EXCEEDED";
    default:
      return "ZRV_ERR_NET_HTTP";
  }
}

void request_factory::response_callback(CURLcode result, std::int32_t status,
                                        const header_map& headers, const binary& body,
                                        const function_ptr& callback,
                                        const progress_context* context) {
  const std::int32_t id = context && context->task ? context->task->id() : -1;
  const std::string summary = transfer_summary(context);

  FB::VariantList list;
  if (result != CURLE_OK) {
    const std::string reason = curl_easy_strerror(result);
    VOCLE_LOG_ERROR("http request failed: %1%", reason);
    std::string text;
    if (context && (context->response_too_large || result == CURLE_FILESIZE_EXCEEDED)) {
      text = message("ZRV_ERR_NET_RESPONSE_TOO_LARGE", std::to_string(context->response_limit));
    } else {
      text = message(curl_error_code(result), reason);
    }
    list = FB::VariantList{false, text + ", " + summary, id, summary};
  } else {
    const std::string answer = body_text(body);
    VOCLE_LOG_INFO("http status %1%, response %2%", status, answer);

    auto location = [&headers] {
      header_map::const_iterator it = headers.find("location");
      return it == headers.end() ? std::string() : it->second;
    };
    std::string text;
    switch (status) {
      case 200:
        VOCLE_LOG_DEBUG("response: %1%", answer);
        list = FB::VariantList{true, answer, id, summary};
        break;
      case 301: {
        const std::string where = location();
        VOCLE_LOG_DEBUG("Permanently moved to location: %1%", where);
        text = message("ZRV_ERR_NET_MOVED_PERMANENTLY", where);
        break;
      }
      case 307: {
        const std::string where = location();
        VOCLE_LOG_DEBUG("redirected to location: %1%", where);
        text = message("ZRV_ERR_NET_REDIRECTED", where);
        break;
      }
      case 400:
        VOCLE_LOG_DEBUG("400 bad request");
        text = message("ZRV_ERR_NET_MISSING_ARGS");
        break;
      case 422:
        VOCLE_LOG_DEBUG("422 not processable entity");
        text = message("ZRV_ERR_NET_BAD_ARGS");
        break;
      default:
        VOCLE_LOG_DEBUG("unknown http status %1%", status);
        text = message("ZRV_ERR_NET_UNKNOWN_STATUS", status, answer_prefix(answer));
        break;
    }
    if (status != 200) {
      list = FB::VariantList{false, text, id, summary};
    }
  }

  deliver(callback, list);
}

}  // namespace http
}  // namespace vocle
