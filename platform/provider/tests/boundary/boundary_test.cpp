// The provider's C boundary: allocation failures inside exported calls come
// back as failures with ERROR_NOT_ENOUGH_MEMORY instead of ending the
// process, and a message closed while another call is using it is freed
// only after that call.
#include <capi/capi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "provider_test.h"

// Every allocation of the process comes here, the provider's included, so
// one thread can make its Nth allocation fail.
namespace {
thread_local long t_allocations_left = -1;  // -1: never fail
}  // namespace

// Kept out of line: inlined, GCC takes the free() inside for a mismatch
// with the operator new that allocated.
#define NOINLINE __attribute__((noinline))
NOINLINE void* operator new(std::size_t n) {
  if (t_allocations_left >= 0 && t_allocations_left-- == 0)
    throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
NOINLINE void* operator new[](std::size_t n) { return operator new(n); }
NOINLINE void operator delete(void* p) noexcept { std::free(p); }
NOINLINE void operator delete[](void* p) noexcept { std::free(p); }
NOINLINE void operator delete(void* p, std::size_t) noexcept { std::free(p); }
NOINLINE void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<BYTE>;
using tavrix_test::CertHandle;
using tavrix_test::MsgHandle;
using tavrix_test::StoreHandle;
const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Here() {
  std::string f = __FILE__;
  return f.substr(0, f.find_last_of('/'));
}

Bytes Tlv(BYTE tag, const Bytes& v) {
  Bytes out{tag};
  size_t n = v.size();
  if (n < 128) {
    out.push_back(static_cast<BYTE>(n));
  } else {
    Bytes len;
    for (; n; n >>= 8) len.insert(len.begin(), static_cast<BYTE>(n));
    out.push_back(static_cast<BYTE>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), v.begin(), v.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A signed message with `size` bytes of content and no signers: decoding
// hashes all of it, which keeps an update busy for a while.
Bytes BigMessage(size_t size) {
  const Bytes signed_data = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                             0x0D, 0x01, 0x07, 0x02};
  const Bytes data = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  const Bytes gost256 = {0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
  Bytes content(size, 0x5A);
  Bytes sd =
      Cat({Tlv(0x02, {1}), Tlv(0x31, Tlv(0x30, Tlv(0x06, gost256))),
           Tlv(0x30, Cat({Tlv(0x06, data), Tlv(0xA0, Tlv(0x04, content))})),
           Tlv(0x31, {})});
  return Tlv(0x30, Cat({Tlv(0x06, signed_data), Tlv(0xA0, Tlv(0x30, sd))}));
}

// Runs the steps with the Nth allocation failing. Each failed step must say
// ERROR_NOT_ENOUGH_MEMORY; true when no allocation was refused at all.
bool RunFailingAt(long n, const Bytes& msg) {
  MsgHandle h;
  CertHandle cert;
  StoreHandle store;
  DWORD error = 0;
  Bytes der;
  der.reserve(1 << 16);  // so that the test itself allocates nothing
  t_allocations_left = n;
  auto step = [&](bool ok) {
    if (!ok && !error) error = GetLastError();
    return ok;
  };
  bool all = step((*h.out() = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr,
                                                   nullptr)) != nullptr) &&
             step(CryptMsgUpdate(h.get(), msg.data(),
                                 static_cast<DWORD>(msg.size()), TRUE));
  DWORD size = 0;
  if (all)
    all = step(CryptMsgGetParam(h.get(), CMSG_CERT_PARAM, 0, nullptr, &size)) &&
          (der.resize(size), true) &&
          step(CryptMsgGetParam(h.get(), CMSG_CERT_PARAM, 0, der.data(),
                                &size)) &&
          step((*cert.out() = CertCreateCertificateContext(kEnc, der.data(),
                                                           size)) != nullptr) &&
          step((*store.out() = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0,
                                             nullptr)) != nullptr) &&
          step(CertAddCertificateContextToStore(
              store.get(), cert.get(), CERT_STORE_ADD_ALWAYS, nullptr)) &&
          step(CertGetNameStringW(cert.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                  nullptr, nullptr, 0) > 1);
  const bool refused = t_allocations_left < 0 && n >= 0;
  t_allocations_left = -1;
  store.reset();
  cert.reset();
  h.reset();
  if (!all) {
    EXPECT_TRUE(refused) << "failed with no allocation refused, at " << n;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << "at " << n;
  }
  return !refused;
}

TEST(Boundary, EveryAllocationFailureComesBackAsAnError) {
  const Bytes msg =
      tavrix_test::ReadPemFile(Here() + "/../msg/data/tc26_signed_256.pem");
  ASSERT_GT(msg.size(), 500u);
  ASSERT_TRUE(RunFailingAt(-1, msg));
  long n = 0;
  while (!RunFailingAt(n, msg) && n < 100000) ++n;
  std::printf("%ld allocation points failed one by one\n", n);
  EXPECT_GT(n, 10);
}

// A close on one thread while another feeds the message: the update in
// progress finishes on a live message and later ones find no handle.
TEST(Boundary, CloseDuringUpdateWaitsForTheUpdate) {
  const Bytes msg = BigMessage(4u << 20);
  for (int round = 0; round < 8; ++round) {
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> started{false};
    std::atomic<int> bad{0};
    std::thread feeder([&] {
      const size_t chunk = 4096;
      for (size_t at = 0; at < msg.size(); at += chunk) {
        size_t n = std::min(chunk, msg.size() - at);
        BOOL ok = CryptMsgUpdate(h, msg.data() + at, static_cast<DWORD>(n),
                                 at + n == msg.size());
        started = true;
        if (!ok) {
          if (GetLastError() != static_cast<DWORD>(E_INVALIDARG)) ++bad;
          return;
        }
      }
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    EXPECT_TRUE(CryptMsgClose(h));
    feeder.join();
    EXPECT_EQ(bad.load(), 0);
  }
}

// The stream callback closing its own message: freed after the update.
TEST(Boundary, CloseFromTheStreamCallback) {
  const Bytes msg = BigMessage(200000);
  struct Arg {
    HCRYPTMSG h = nullptr;
    int calls = 0;
  } arg;
  CMSG_STREAM_INFO si{};
  si.cbContent = CMSG_INDEFINITE_LENGTH;
  si.pvArg = &arg;
  si.pfnStreamOutput = [](const void* p, BYTE*, DWORD, BOOL) -> BOOL {
    Arg* a = static_cast<Arg*>(const_cast<void*>(p));
    if (a->calls++ == 0) CryptMsgClose(a->h);
    return TRUE;
  };
  arg.h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &si);
  ASSERT_NE(arg.h, nullptr);
  CryptMsgUpdate(arg.h, msg.data(), 100000, FALSE);
  EXPECT_GE(arg.calls, 1);
  EXPECT_FALSE(CryptMsgUpdate(arg.h, msg.data() + 100000, 100000, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

}  // namespace
