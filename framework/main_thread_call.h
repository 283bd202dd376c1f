// A call run on the page's main thread that gives a result back.
#pragma once

#include <utility>

#include <boost/make_shared.hpp>
#include <boost/optional.hpp>

#include "framework/BrowserHost.h"

namespace FB {
namespace detail {

// Runs f on the main thread through BrowserHost::CallOnMainThread and returns its result. The
// result lives in shared ownership, like the waiter's state, so a call that runs late never
// writes into a stack that has gone.
template <class R, class F>
R call_on_main(BrowserHost& host, F f) {
  boost::shared_ptr<boost::optional<R> > result = boost::make_shared<boost::optional<R> >();
  host.CallOnMainThread([result, f]() { *result = f(); });
  return std::move(**result);
}

}  // namespace detail
}  // namespace FB
