// The browser services of one plug-in instance. The generic part (which
// thread is the main one, shut-down, the objects retained for the browser)
// lives here; the browser binding supplies the calls that need the browser.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "APITypes.h"
#include "JSAPI.h"

namespace FB {

class BrowserHost : public std::enable_shared_from_this<BrowserHost> {
 public:
  // The thread that creates the host is the main thread.
  BrowserHost();
  virtual ~BrowserHost();
  BrowserHost(const BrowserHost&) = delete;
  BrowserHost& operator=(const BrowserHost&) = delete;

  bool isMainThread() const;
  void assertMainThread() const;

  // Asks the browser to run func(userData) on the main thread soon; false
  // when that cannot be done (the host is shut down).
  virtual bool ScheduleAsyncCall(void (*func)(void*), void* userData) const = 0;
  // Runs fn on the main thread soon, through ScheduleAsyncCall; false when it
  // cannot be scheduled. A call still pending when the host shuts down is
  // dropped there (its captures freed on the spot), so a browser that never
  // runs it, or runs it after the instance is gone, loses nothing and
  // reaches nothing freed.
  bool ScheduleOnMainThread(std::function<void()> fn) const;

  // Runs `f` on the main thread and waits for its result (CrossThreadCall).
  template <class F>
  auto CallOnMainThread(F&& f) -> decltype(f());

  virtual void evaluateJavaScript(const std::string& script) = 0;
  virtual JSObjectPtr getDOMWindow() = 0;
  virtual JSObjectPtr getDOMDocument() = 0;
  virtual JSObjectPtr getDOMElement() = 0;
  virtual void initJS(const void* core) = 0;
  virtual int delayedInvoke(int delayMs, const JSObjectPtr& func,
                            const VariantList& args,
                            const std::string& fname = std::string()) = 0;
  virtual void htmlLog(const std::string& text) = 0;
  void setEnableHtmlLog(bool on) { m_htmlLogEnabled = on; }
  bool isHtmlLogEnabled() const { return m_htmlLogEnabled; }

  // Keeps a script object alive for the browser until released or until
  // shut-down.
  void retainJSAPIPtr(const JSAPIPtr& obj) const;
  void releaseJSAPIPtr(const JSAPIPtr& obj) const;
  // Drops every object retained for the browser.
  void freeRetainedObjects() const;

  // Sets the shut-down flag and drops the retained objects; callers waiting
  // for the main thread then finish with "Shutting down".
  virtual void shutdown();
  // Calls scheduled by ScheduleOnMainThread that have not run yet.
  size_t pendingMainThreadCalls() const;
  bool isShutDown() const { return m_isShutDown; }

 private:
  std::thread::id m_mainThread;
  std::atomic<bool> m_isShutDown{false};
  std::atomic<bool> m_htmlLogEnabled{false};
  mutable std::mutex m_retainedMutex;
  mutable std::vector<JSAPIPtr> m_retained;
  void dropPendingCalls() const;
};

}  // namespace FB

#include "CrossThreadCall.h"

template <class F>
auto FB::BrowserHost::CallOnMainThread(F&& f) -> decltype(f()) {
  return CrossThreadCall::syncCall(*this, std::forward<F>(f));
}
