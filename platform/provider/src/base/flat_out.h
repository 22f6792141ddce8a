// A result CryptoAPI hands out as one block: the structure first and
// everything its pointers refer to after it, in the caller's buffer (as
// CMSG_SIGNER_INFO or CERT_SIGNED_CONTENT_INFO come back).
//
// The block is laid out here with offsets in place of its own pointers; its
// size is then known, and CopyOut writes it in the size-then-fill manner of
// CopyOut in c_boundary.h, turning each offset into an address inside the
// caller's buffer on the way.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/c_boundary.h"

namespace tavrix::provider {

class FlatOut {
 public:
  // Reserves `n` zeroed bytes at the next multiple of `align`; the offset.
  size_t Alloc(size_t n, size_t align = 8) {
    size_t off = (buf_.size() + align - 1) / align * align;
    buf_.resize(off + n, 0);
    return off;
  }
  template <typename T>
  size_t Alloc() {
    return Alloc(sizeof(T));
  }
  // The object at `off`; valid until the next Alloc moves the block.
  template <typename T>
  T* At(size_t off) {
    return reinterpret_cast<T*>(buf_.data() + off);
  }
  // Stores the in-block offset `target` in the pointer at `field`.
  void Point(size_t field, size_t target) {
    uintptr_t v = target;
    std::memcpy(buf_.data() + field, &v, sizeof v);
    fixups_.push_back(field);
    has_pointers_ = true;
  }
  // Stores an address outside the block (CRYPT_DECODE_NOCOPY_FLAG).
  void PointOutside(size_t field, const void* p) {
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    std::memcpy(buf_.data() + field, &v, sizeof v);
    has_pointers_ = true;
  }
  size_t AddBytes(const void* p, size_t n, size_t align = 1) {
    size_t off = Alloc(n ? n : 1, align);
    if (n) std::memcpy(buf_.data() + off, p, n);
    return off;
  }
  size_t AddString(const std::string& s) {
    return AddBytes(s.c_str(), s.size() + 1);
  }
  // The char pointer at `field` names a copy of `s`.
  void String(size_t field, const std::string& s) {
    Point(field, AddString(s));
  }
  // The CRYPT_DATA_BLOB (or a blob of the same shape) at `field` holds a
  // copy of the bytes, or with `nocopy` points at them where they are. An
  // empty blob has a null pointer.
  void Blob(size_t field, const BYTE* p, size_t n, bool nocopy = false) {
    At<CRYPT_DATA_BLOB>(field)->cbData = static_cast<DWORD>(n);
    size_t ptr = field + offsetof(CRYPT_DATA_BLOB, pbData);
    if (!n) return;
    if (nocopy)
      PointOutside(ptr, p);
    else
      Point(ptr, AddBytes(p, n));
  }
  void Blob(size_t field, const std::vector<uint8_t>& b) {
    Blob(field, b.data(), b.size());
  }

  size_t size() const { return buf_.size(); }
  // Writes the block to `dst`, which has room for size() bytes.
  void Emit(BYTE* dst) const { Emit(dst, reinterpret_cast<uintptr_t>(dst)); }
  // Size-then-fill into the caller's buffer, which must be aligned for the
  // structure's pointers when it has any.
  BOOL CopyOut(void* out, DWORD* out_len) const {
    if (!out || !out_len || *out_len < buf_.size())
      return ::tavrix::provider::CopyOut(nullptr, buf_.size(), out, out_len);
    if (has_pointers_ && reinterpret_cast<uintptr_t>(out) % alignof(void*))
      return Fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> image(buf_.size());
    Emit(image.data(), reinterpret_cast<uintptr_t>(out));
    return ::tavrix::provider::CopyOut(image.data(), image.size(), out,
                                       out_len);
  }

 private:
  // Writes the block to `dst` with its pointers made addresses for a block
  // that will stand at `base`.
  void Emit(BYTE* dst, uintptr_t base) const {
    std::memcpy(dst, buf_.data(), buf_.size());
    for (size_t f : fixups_) {
      uintptr_t v;
      std::memcpy(&v, dst + f, sizeof v);
      v += base;
      std::memcpy(dst + f, &v, sizeof v);
    }
  }

  std::vector<BYTE> buf_;
  std::vector<size_t> fixups_;
  bool has_pointers_ = false;
};

}  // namespace tavrix::provider
