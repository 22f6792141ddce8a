// Carries a call from any thread to the browser's main thread and waits for
// it. The waiter wakes every 10 ms to notice a host that shut down meanwhile,
// so a page that goes away never leaves a thread hanging.
#pragma once

#include <boost/optional.hpp>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>

#include "ScriptErrors.h"

namespace FB {

class BrowserHost;

class CrossThreadCall {
 public:
  template <class F>
  static auto syncCall(const BrowserHost& host, F&& f) -> decltype(f());

 private:
  struct Record {
    std::function<void()> run;
    std::exception_ptr error;
    bool done = false;
    std::mutex mutex;
    std::condition_variable cond;
  };
  // Runs on the main thread.
  static void run(Record& record);
  // Schedules and waits; throws the error the call raised.
  static void runAndWait(const BrowserHost& host,
                         const std::shared_ptr<Record>& record);
};

template <class F>
auto CrossThreadCall::syncCall(const BrowserHost& host, F&& f)
    -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    auto record = std::make_shared<Record>();
    record->run = std::function<void()>(std::forward<F>(f));
    runAndWait(host, record);
  } else {
    // The result lives beside the record, shared with the callback, so a
    // waiter that gave up leaves nothing dangling.
    auto result = std::make_shared<boost::optional<R>>();
    auto record = std::make_shared<Record>();
    record->run = [result, fn = std::forward<F>(f)]() mutable {
      *result = fn();
    };
    runAndWait(host, record);
    return std::move(**result);
  }
}

}  // namespace FB
