#include "BrowserHost.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <map>

namespace FB {

namespace {

// Calls waiting for the main thread, for every host of the process, in the
// order they were scheduled. The browser is handed only a number, and each
// of its callbacks runs every call scheduled up to then: browsers keep one
// queue per instance, so this is what keeps, say, events fired on two
// elements in the order they were fired. A call dropped at shut-down, or a
// callback the browser runs late, finds nothing and does nothing.
struct PendingCall {
  const BrowserHost* owner;
  std::function<void()> fn;
};
std::mutex g_pendingMutex;
std::map<uintptr_t, PendingCall> g_pending;
uintptr_t g_nextPending = 1;

void RunPending(void*) {
  uintptr_t limit;
  {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    limit = g_nextPending;
  }
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(g_pendingMutex);
      auto it = g_pending.begin();
      if (it == g_pending.end() || it->first >= limit) return;
      fn = std::move(it->second.fn);
      g_pending.erase(it);
    }
    // This runs straight from the browser's event loop: nothing may unwind
    // into it.
    try {
      fn();
    } catch (...) {
    }
  }
}

}  // namespace

BrowserHost::BrowserHost() : m_mainThread(std::this_thread::get_id()) {}

BrowserHost::~BrowserHost() { dropPendingCalls(); }

bool BrowserHost::ScheduleOnMainThread(std::function<void()> fn) const {
  if (m_isShutDown || !fn) return false;
  uintptr_t id;
  {
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    id = g_nextPending++;
    g_pending.emplace(id, PendingCall{this, std::move(fn)});
  }
  if (ScheduleAsyncCall(&RunPending, reinterpret_cast<void*>(id))) return true;
  std::function<void()> dropped;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(g_pendingMutex);
  auto it = g_pending.find(id);
  if (it != g_pending.end()) {
    dropped = std::move(it->second.fn);
    g_pending.erase(it);
  }
  return false;
}

size_t BrowserHost::pendingMainThreadCalls() const {
  std::lock_guard<std::mutex> lock(g_pendingMutex);
  return static_cast<size_t>(std::count_if(
      g_pending.begin(), g_pending.end(),
      [this](const auto& kv) { return kv.second.owner == this; }));
}

void BrowserHost::dropPendingCalls() const {
  std::vector<std::function<void()>> dropped;
  std::lock_guard<std::mutex> lock(g_pendingMutex);
  for (auto it = g_pending.begin(); it != g_pending.end();) {
    if (it->second.owner == this) {
      dropped.push_back(std::move(it->second.fn));
      it = g_pending.erase(it);
    } else {
      ++it;
    }
  }
}

bool BrowserHost::isMainThread() const {
  return std::this_thread::get_id() == m_mainThread;
}

void BrowserHost::assertMainThread() const { assert(isMainThread()); }

void BrowserHost::retainJSAPIPtr(const JSAPIPtr& obj) const {
  if (!obj) return;
  std::lock_guard<std::mutex> lock(m_retainedMutex);
  if (m_isShutDown) return;
  m_retained.push_back(obj);
}

void BrowserHost::releaseJSAPIPtr(const JSAPIPtr& obj) const {
  JSAPIPtr released;  // destroyed after the lock is let go
  std::lock_guard<std::mutex> lock(m_retainedMutex);
  auto it = std::find(m_retained.begin(), m_retained.end(), obj);
  if (it != m_retained.end()) {
    released = std::move(*it);
    m_retained.erase(it);
  }
}

void BrowserHost::freeRetainedObjects() const {
  std::vector<JSAPIPtr> released;
  std::lock_guard<std::mutex> lock(m_retainedMutex);
  released.swap(m_retained);
}

void BrowserHost::shutdown() {
  std::vector<JSAPIPtr> released;
  {
    std::lock_guard<std::mutex> lock(m_retainedMutex);
    m_isShutDown = true;
    released.swap(m_retained);
  }
  dropPendingCalls();
}

void CrossThreadCall::run(Record& record) {
  try {
    record.run();
  } catch (...) {
    record.error = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(record.mutex);
  record.done = true;
  record.cond.notify_all();
}

void CrossThreadCall::runAndWait(const BrowserHost& host,
                                 const std::shared_ptr<Record>& record) {
  if (host.isMainThread()) {
    record->run();
    return;
  }
  if (host.isShutDown()) throw script_error("Shutting down");
  if (!host.ScheduleOnMainThread([record] { run(*record); }))
    throw script_error("Could not marshal to main thread");
  std::unique_lock<std::mutex> lock(record->mutex);
  while (!record->done) {
    if (host.isShutDown()) throw script_error("Shutting down");
    record->cond.wait_for(lock, std::chrono::milliseconds(10));
  }
  if (record->error) std::rethrow_exception(record->error);
}

}  // namespace FB
