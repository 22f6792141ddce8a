// The signed-message object behind an HCRYPTMSG: what both directions share
// (the message as a model, the content's digests, the stream callback), the
// encoder's or the decoder's own state beside it, and the table of live
// handles.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/handles.h"
#include "capi/capi.h"
#include "msg/cms.h"

namespace tavrix::provider::msg {

struct Encoder;  // msg/encoder.h
struct Decoder;  // msg/decoder.h

// One digest of the content: running while the content passes, its value
// once the content has ended.
struct HashSlot {
  ALG_ID alg = 0;
  ProvHandle prov;  // acquired for this hash, when the caller gave none
  HashHandle hash;
  DWORD create_error = 0;
  bool done = false;
  Bytes value;
};

struct Msg {
  Msg();
  ~Msg();
  Msg(const Msg&) = delete;
  Msg& operator=(const Msg&) = delete;

  bool encoding() const { return encoder != nullptr; }

  // Held by each call; recursive because the stream callback may call back
  // into the same message.
  std::recursive_mutex mu;
  DWORD flags = 0;
  bool streaming = false;
  CMSG_STREAM_INFO stream{};
  bool finished = false;  // the final update has been seen
  bool detached = false;
  HCRYPTPROV user_prov = 0;  // the caller's, for hashing and verification

  // The message as a model; both directions fill it.
  bool model_ready = false;
  uint32_t version = 1;
  std::vector<AlgId> digest_algs;
  std::string content_type = kOidData;
  bool has_content = false;  // eContent present
  bool content_kept = false;
  Bytes content;
  std::vector<Bytes> certs;
  std::vector<Bytes> crls;
  std::vector<SignerRec> signers;
  std::vector<HashSlot> digests;

  // Exactly one of them, after the open.
  std::unique_ptr<Encoder> encoder;
  std::unique_ptr<Decoder> decoder;
};

using MsgPtr = std::shared_ptr<Msg>;

// The live messages. A call holds the pointer it looked up, so a close
// meanwhile (on another thread, or from the stream callback) only ends the
// handle and the last call out frees the message.
inline HandleTable<Msg, HCRYPTMSG>& Messages() {
  return LiveHandles<Msg, HCRYPTMSG>();
}

Bytes ReverseBytes(Bytes b);
// INTEGER content octets of a serial number given as CryptoAPI holds it
// (least significant byte first).
Bytes SerialFromBlob(const CRYPT_INTEGER_BLOB& b);
// The caller's attributes, their identifiers checked; false with
// CRYPT_E_OID_FORMAT.
bool AttrsFromCapi(const CRYPT_ATTRIBUTE* attrs, DWORD n,
                   std::vector<Attr>* out);

// Hashes.
bool FinishHash(HCRYPTHASH h, Bytes* out);
// Passes content to the running digests; a digest that fails stops and
// keeps its error for the caller who asks for it.
void HashSlots(Msg* m, const uint8_t* p, size_t n);
void FinishSlots(Msg* m);
// The content's digest for one algorithm, from the running digests or from
// kept content.
bool ContentDigest(Msg* m, ALG_ID alg, Bytes* out);

// Output through the stream callback.
bool Emit(Msg* m, const uint8_t* p, size_t n, bool final);
inline bool EmitBytes(Msg* m, const Bytes& b, bool final) {
  return Emit(m, b.data(), b.size(), final);
}

// Encodings of the model.
Bytes EncodeContentInfoHead(size_t sd_len, bool definite);
Bytes DigestAlgsSet(const Msg* m);
Bytes CertsAndCrls(const Msg* m);
Bytes SignerInfosSet(const Msg* m);
Bytes EncodeSignedData(const Msg* m);
Bytes EncodeContentInfo(const Msg* m);
void AddDigestAlg(Msg* m, const AlgId& a);
void UpdateVersion(Msg* m);

// The jobs behind the exported calls (msg/encoder.cpp, msg/decoder.cpp,
// msg/params.cpp, msg/controls.cpp).
bool OpenEncoder(Msg* m, const CMSG_SIGNED_ENCODE_INFO* info,
                 const char* inner_type, const CMSG_STREAM_INFO* stream);
void OpenDecoder(Msg* m);
bool EncodeUpdate(Msg* m, const uint8_t* p, DWORD n, bool final);
bool DecodeUpdate(Msg* m, const uint8_t* p, DWORD n, bool final);
bool GetParam(Msg* m, DWORD type, DWORD index, void* pv, DWORD* pcb);
bool Control(Msg* m, DWORD type, const void* para);
// The sizes CryptMsgCalculateEncodedLength reports: of a signed message
// opened to encode without a stream, and of a data message.
bool SignedLength(Msg* m, DWORD content_len, DWORD* out);
bool DataLength(DWORD flags, DWORD content_len, DWORD* out);

}  // namespace tavrix::provider::msg
