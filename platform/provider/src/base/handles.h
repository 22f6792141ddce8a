// Handles that cross the C boundary, and owners for the ones we hold.
//
// A handle given to a caller is the address of an internal object, but every
// call first looks the value up in the table of live objects of its kind, so
// a stale or made-up handle is an error, not a crash. The table holds shared
// pointers and a call works on the reference it got from the lookup: an
// object being used on one thread survives the release of its handle on
// another, and goes away when the last user lets go.
//
// Some handles are counted (CertDuplicateCertificateContext gives the same
// value again): each Add and Retain is matched by one Release, and the entry
// leaves the table with the last.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/c_boundary.h"

namespace tavrix::provider {

template <class T, class H>
class HandleTable {
 public:
  // Registers one reference to `obj` under `handle`, which must be the
  // address of `obj` or of a part of it.
  H Add(std::shared_ptr<T> obj, H handle) {
    std::lock_guard<std::mutex> lock(mu_);
    Entry& e = live_[Key(handle)];
    if (!e.obj) e.obj = std::move(obj);
    ++e.refs;
    return handle;
  }
  H Add(std::shared_ptr<T> obj) {
    T* raw = obj.get();
    return Add(std::move(obj), FromAddress(raw));
  }
  // The object behind a live handle, or null.
  std::shared_ptr<T> Get(H handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(Key(handle));
    return it == live_.end() ? nullptr : it->second.obj;
  }
  // One more reference under a live handle; false when it is not live.
  bool Retain(H handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(Key(handle));
    if (it == live_.end()) return false;
    ++it->second.refs;
    return true;
  }
  // Drops one reference. The object is handed back so that its destruction
  // (which may call into other tables) happens outside this table's lock;
  // null when the handle is not live.
  std::shared_ptr<T> Release(H handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(Key(handle));
    if (it == live_.end()) return nullptr;
    std::shared_ptr<T> obj = it->second.obj;
    if (--it->second.refs == 0) live_.erase(it);
    return obj;
  }
  // Outstanding references under `handle` (0 when not live).
  size_t References(H handle) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(Key(handle));
    return it == live_.end() ? 0 : it->second.refs;
  }

  static H FromAddress(const void* p) {
    if constexpr (std::is_pointer_v<H>)
      return reinterpret_cast<H>(const_cast<void*>(p));
    else
      return static_cast<H>(reinterpret_cast<uintptr_t>(p));
  }

 private:
  struct Entry {
    std::shared_ptr<T> obj;
    size_t refs = 0;
  };
  static uintptr_t Key(H handle) {
    if constexpr (std::is_pointer_v<H>)
      return reinterpret_cast<uintptr_t>(handle);
    else
      return static_cast<uintptr_t>(handle);
  }

  mutable std::mutex mu_;
  std::unordered_map<uintptr_t, Entry> live_;
};

// A table that outlives every static destructor: callers may release
// handles from their own static destructors after ours would have run.
template <class T, class H>
HandleTable<T, H>& LiveHandles() {
  static auto* table = new HandleTable<T, H>();
  return *table;
}

// Sole owner of a handle the provider itself acquired from a CryptoAPI call,
// in the manner of bssl::UniquePtr: released on every path out, and the
// release keeps the last error the failing path set.
template <class H, class Free>
class Owned {
 public:
  Owned() = default;
  explicit Owned(H h) : h_(h) {}
  ~Owned() { reset(); }
  Owned(Owned&& o) noexcept : h_(o.release()) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  H get() const { return h_; }
  explicit operator bool() const { return h_ != H(); }
  // For out-parameters: `CryptAcquireContextW(prov.out(), ...)`.
  H* out() {
    reset();
    return &h_;
  }
  H release() {
    H h = h_;
    h_ = H();
    return h;
  }
  void reset(H h = H()) {
    if (h_ != H()) {
      KeepLastError keep;
      Free()(h_);
    }
    h_ = h;
  }

 private:
  H h_ = H();
};

struct ReleaseProv {
  void operator()(HCRYPTPROV h) const { CryptReleaseContext(h, 0); }
};
struct DestroyHash {
  void operator()(HCRYPTHASH h) const { CryptDestroyHash(h); }
};
struct DestroyKey {
  void operator()(HCRYPTKEY h) const { CryptDestroyKey(h); }
};
struct FreeCert {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
struct FreeCrl {
  void operator()(PCCRL_CONTEXT c) const { CertFreeCRLContext(c); }
};
struct CloseStore {
  void operator()(HCERTSTORE s) const { CertCloseStore(s, 0); }
};
struct CloseMsg {
  void operator()(HCRYPTMSG m) const { CryptMsgClose(m); }
};
struct FreeChain {
  void operator()(PCCERT_CHAIN_CONTEXT c) const { CertFreeCertificateChain(c); }
};

using ProvHandle = Owned<HCRYPTPROV, ReleaseProv>;
using HashHandle = Owned<HCRYPTHASH, DestroyHash>;
using KeyHandle = Owned<HCRYPTKEY, DestroyKey>;
using CertHandle = Owned<PCCERT_CONTEXT, FreeCert>;
using CrlHandle = Owned<PCCRL_CONTEXT, FreeCrl>;
using StoreHandle = Owned<HCERTSTORE, CloseStore>;
using MsgHandle = Owned<HCRYPTMSG, CloseMsg>;
using ChainHandle = Owned<PCCERT_CHAIN_CONTEXT, FreeChain>;

}  // namespace tavrix::provider
