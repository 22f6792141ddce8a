#include "BrowserHost.h"

#include <algorithm>
#include <cassert>

namespace FB {

BrowserHost::BrowserHost() : m_mainThread(std::this_thread::get_id()) {}

BrowserHost::~BrowserHost() = default;

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

void BrowserHost::shutdown() {
  std::vector<JSAPIPtr> released;
  {
    std::lock_guard<std::mutex> lock(m_retainedMutex);
    m_isShutDown = true;
    released.swap(m_retained);
  }
}

void CrossThreadCall::asyncCallback(void* data) {
  std::unique_ptr<std::shared_ptr<Record>> holder(
      static_cast<std::shared_ptr<Record>*>(data));
  Record& record = **holder;
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
  auto* holder = new std::shared_ptr<Record>(record);
  if (!host.ScheduleAsyncCall(&CrossThreadCall::asyncCallback, holder)) {
    delete holder;
    throw script_error("Could not marshal to main thread");
  }
  std::unique_lock<std::mutex> lock(record->mutex);
  while (!record->done) {
    if (host.isShutDown()) throw script_error("Shutting down");
    record->cond.wait_for(lock, std::chrono::milliseconds(10));
  }
  if (record->error) std::rethrow_exception(record->error);
}

}  // namespace FB
