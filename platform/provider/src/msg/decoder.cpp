// Decoding a signed message, whole or streamed, detached content afterwards.
// Every step ends kOk, kNeedMore (wait for more input; not a failure) or
// kError with the last error set.
#include "msg/decoder.h"

#include <algorithm>

#include "base/c_boundary.h"
#include "msg/algs.h"

namespace tavrix::provider::msg {
namespace {

using der::BerReader;
using der::Header;
using der::Status;
using der::Tlv;

// The part before the content and each element after it are held whole;
// anything larger than this is not a message we accept.
constexpr size_t kMaxHeldBytes = 64u << 20;
constexpr int kMaxContentNesting = 16;

enum class Step { kOk, kNeedMore, kError };

Step Error(DWORD code) {
  SetLastError(code);
  return Step::kError;
}

Step FromStatus(Status s) {
  return s == Status::kOk         ? Step::kOk
         : s == Status::kNeedMore ? Step::kNeedMore
                                  : Step::kError;
}

// Reads the part before the content from its start.
struct Cursor {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  size_t need = 0;
};

Step Head(Cursor* c, uint8_t tag, Header* h) {
  if (c->n - c->at >= 1 && c->p[c->at] != tag)
    return Error(CRYPT_E_ASN1_BADTAG);
  size_t need = 0;
  Status s = der::ParseHeader(c->p + c->at, c->n - c->at, h, &need);
  if (s == Status::kNeedMore) c->need = c->at + need;
  if (s != Status::kOk) return FromStatus(s);
  c->at += h->header_len;
  return Step::kOk;
}

Step Whole(Cursor* c, uint8_t tag, Tlv* e) {
  if (c->n - c->at >= 1 && c->p[c->at] != tag)
    return Error(CRYPT_E_ASN1_BADTAG);
  size_t need = 0, total = 0;
  Status s = der::Measure(c->p + c->at, c->n - c->at, &total, &need);
  if (s == Status::kNeedMore) c->need = c->at + need;
  if (s != Status::kOk) return FromStatus(s);
  BerReader r(c->p + c->at, total);
  if (!r.Next(e)) return Error(r.error());  // measured whole just above
  c->at += total;
  return Step::kOk;
}

size_t Avail(const Decoder& d) { return d.buf.size() - d.pos; }
uint64_t Offset(const Decoder& d) { return d.base + d.pos; }

// A definite child must end within its parent.
bool FitsParent(const Decoder& d, uint64_t child_end) {
  if (d.levels.empty()) return true;
  const Level& top = d.levels.back();
  return top.indefinite || child_end <= top.end;
}

bool Push(Decoder* d, const Header& h, uint64_t content_start) {
  Level l{h.indefinite, content_start + h.length};
  if (!h.indefinite && !FitsParent(*d, l.end))
    return Fail(CRYPT_E_ASN1_CORRUPT);
  d->levels.push_back(l);
  return true;
}

Step ParseDigestAlgs(const Tlv& set, std::vector<AlgId>* algs) {
  BerReader r(set);
  while (!r.empty()) {
    Tlv a;
    AlgId alg;
    if (!r.Expect(der::kTagSequence, &a)) return Error(r.error());
    if (!ParseAlgId(a, &alg)) return Step::kError;
    algs->push_back(alg);
  }
  return Step::kOk;
}

// From the encapsulated content's [0] to its first content octet.
Step ContentStart(Decoder* d, Cursor* c) {
  Header h;
  Step s;
  if ((s = Head(c, der::Context(0, true), &h)) != Step::kOk) return s;
  if (!Push(d, h, c->at)) return Step::kError;
  if (c->n - c->at < 1) {
    c->need = c->at + 1;
    return Step::kNeedMore;
  }
  uint8_t t = c->p[c->at];
  if (t != der::kTagOctetString && t != der::kTagConstructedOctetString)
    return Error(CRYPT_E_ASN1_BADTAG);
  if ((s = Head(c, t, &h)) != Step::kOk) return s;
  if (!Push(d, h, c->at)) return Step::kError;
  d->primitive_content = t == der::kTagOctetString;
  if (d->primitive_content) {
    // A primitive content is one chunk; its level is popped at its end.
    d->levels.pop_back();
    if (!FitsParent(*d, c->at + h.length)) return Error(CRYPT_E_ASN1_CORRUPT);
    d->in_chunk = true;
    d->chunk_left = h.length;
    d->content_levels = 0;
  } else {
    d->in_chunk = false;
    d->content_levels = 1;
  }
  return Step::kOk;
}

Step ParsePrefix(Msg* m) {
  Decoder& d = *m->decoder;
  Cursor c{d.buf.data(), d.buf.size()};
  Header h;
  Tlv e;
  std::vector<Level> saved = d.levels;
  d.levels.clear();
  auto out = [&](Step st) {
    if (st == Step::kNeedMore) d.need = c.need;
    d.levels = saved;
    return st;
  };
  Step s;
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(&d, h, c.at)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagOid, &e)) != Step::kOk) return out(s);
  std::string oid;
  if (!der::OidValue(e, &oid)) return out(Step::kError);
  if (oid != kOidSignedData) return out(Error(CRYPT_E_INVALID_MSG_TYPE));
  if ((s = Head(&c, der::Context(0, true), &h)) != Step::kOk) return out(s);
  if (!Push(&d, h, c.at)) return out(Step::kError);
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(&d, h, c.at)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagInteger, &e)) != Step::kOk) return out(s);
  uint32_t version = 0;
  if (!der::SmallIntValue(e, &version)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagSet, &e)) != Step::kOk) return out(s);
  std::vector<AlgId> algs;
  if ((s = ParseDigestAlgs(e, &algs)) != Step::kOk) return out(s);
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(&d, h, c.at)) return out(Step::kError);
  bool encap_indef = h.indefinite;
  uint64_t encap_end = c.at + h.length;
  if ((s = Whole(&c, der::kTagOid, &e)) != Step::kOk) return out(s);
  std::string ctype;
  if (!der::OidValue(e, &ctype)) return out(Step::kError);
  bool has_content = true;
  if (!encap_indef && c.at == encap_end) {
    has_content = false;
  } else if (encap_indef) {
    if (c.n - c.at < 2) {
      c.need = c.at + 2;
      return out(Step::kNeedMore);
    }
    if (c.p[c.at] == 0 && c.p[c.at + 1] == 0) has_content = false;
  }
  d.primitive_content = false;
  if (!has_content) {
    if (encap_indef) c.at += 2;
    d.levels.pop_back();
  } else if ((s = ContentStart(&d, &c)) != Step::kOk) {
    return out(s);
  }
  m->version = version;
  m->digest_algs = algs;
  m->content_type = ctype;
  m->has_content = has_content;
  d.pos = c.at;
  d.need = 0;
  return Step::kOk;
}

// Whether the input is at the end of the innermost level (an indefinite
// one's end-of-contents is consumed). kError: bytes run past a definite
// level's end.
Step AtLevelEnd(Decoder* d, bool* at_end) {
  *at_end = false;
  const Level& top = d->levels.back();
  if (!top.indefinite) {
    if (Offset(*d) == top.end) *at_end = true;
    if (Offset(*d) > top.end) return Error(CRYPT_E_ASN1_CORRUPT);
    return Step::kOk;
  }
  if (Avail(*d) < 2) {
    d->need = d->pos + 2;
    return Step::kNeedMore;
  }
  if (d->buf[d->pos] == 0 && d->buf[d->pos + 1] == 0) {
    *at_end = true;
    d->pos += 2;
  }
  return Step::kOk;
}

Step CloseLevel(Decoder* d) {
  bool at_end = false;
  Step s = AtLevelEnd(d, &at_end);
  if (s != Step::kOk) return s;
  if (!at_end) return Error(CRYPT_E_ASN1_CORRUPT);
  d->levels.pop_back();
  return Step::kOk;
}

bool DeliverContent(Msg* m, const uint8_t* p, size_t n) {
  if (!n) return true;
  HashSlots(m, p, n);
  if (m->streaming) return Emit(m, p, n, false);
  if (m->content.size() + n > UINT32_MAX) return Fail(CRYPT_E_ASN1_LARGE);
  m->content.insert(m->content.end(), p, p + n);
  return true;
}

// The header of the next piece of a constructed content.
Step ContentPiece(Decoder* d) {
  if (Avail(*d) < 1) {
    d->need = d->pos + 1;
    return Step::kNeedMore;
  }
  uint8_t t = d->buf[d->pos];
  if (t != der::kTagOctetString && t != der::kTagConstructedOctetString)
    return Error(CRYPT_E_ASN1_BADTAG);
  Header h;
  size_t need = 0;
  Status st = der::ParseHeader(d->buf.data() + d->pos, Avail(*d), &h, &need);
  if (st == Status::kNeedMore) d->need = d->pos + need;
  if (st != Status::kOk) return FromStatus(st);
  d->pos += h.header_len;
  if (t == der::kTagOctetString) {
    if (!FitsParent(*d, Offset(*d) + h.length))
      return Error(CRYPT_E_ASN1_CORRUPT);
    d->in_chunk = true;
    d->chunk_left = h.length;
    return Step::kOk;
  }
  if (d->content_levels >= kMaxContentNesting) return Error(CRYPT_E_ASN1_LARGE);
  if (!Push(d, h, Offset(*d))) return Step::kError;
  ++d->content_levels;
  return Step::kOk;
}

Step RunContent(Msg* m) {
  Decoder& d = *m->decoder;
  for (;;) {
    if (d.in_chunk) {
      size_t take =
          static_cast<size_t>(std::min<uint64_t>(d.chunk_left, Avail(d)));
      if (take && !DeliverContent(m, d.buf.data() + d.pos, take))
        return Step::kError;
      d.pos += take;
      d.chunk_left -= take;
      if (d.chunk_left) {
        d.need = d.pos + 1;
        return Step::kNeedMore;
      }
      d.in_chunk = false;
      if (d.primitive_content) break;
      continue;
    }
    if (d.content_levels == 0) break;
    bool at_end = false;
    Step s = AtLevelEnd(&d, &at_end);
    if (s != Step::kOk) return s;
    if (at_end) {
      d.levels.pop_back();
      --d.content_levels;
      continue;
    }
    if ((s = ContentPiece(&d)) != Step::kOk) return s;
  }
  // Close [0] and the encapsulated content info, down to SignedData; a
  // retry after more input resumes where this stopped.
  while (d.levels.size() > 3) {
    Step s = CloseLevel(&d);
    if (s != Step::kOk) return s;
  }
  return Step::kOk;
}

// One element after the content: certificates, CRLs or the signer infos.
Step TakeSuffixElement(Msg* m, const Tlv& e) {
  Decoder& d = *m->decoder;
  BerReader items(e);
  if (e.tag == der::Context(0, true) || e.tag == der::Context(1, true)) {
    auto& list = e.tag == der::Context(0, true) ? m->certs : m->crls;
    while (!items.empty()) {
      Tlv c;
      if (!items.Next(&c)) return Error(items.error());
      list.emplace_back(c.start, c.start + c.total());
    }
    return Step::kOk;
  }
  if (e.tag != der::kTagSet || d.seen_signer_infos)
    return Error(CRYPT_E_ASN1_BADTAG);
  d.seen_signer_infos = true;
  while (!items.empty()) {
    Tlv c;
    SignerRec rec;
    if (!items.Next(&c)) return Error(items.error());
    if (!ParseSignerInfo(c, &rec)) return Step::kError;
    m->signers.push_back(std::move(rec));
  }
  return Step::kOk;
}

Step RunSuffix(Msg* m) {
  Decoder& d = *m->decoder;
  while (d.levels.size() == 3) {  // ContentInfo, [0], SignedData
    bool at_end = false;
    Step s = AtLevelEnd(&d, &at_end);
    if (s != Step::kOk) return s;
    if (at_end) {
      d.levels.pop_back();
      break;
    }
    size_t total = 0, need = 0;
    Status st = der::Measure(d.buf.data() + d.pos, Avail(d), &total, &need);
    if (st == Status::kNeedMore) d.need = d.pos + need;
    if (st != Status::kOk) return FromStatus(st);
    if (!FitsParent(d, Offset(d) + total)) return Error(CRYPT_E_ASN1_CORRUPT);
    BerReader r(d.buf.data() + d.pos, total);
    Tlv e;
    if (!r.Next(&e)) return Error(r.error());  // measured whole just above
    if ((s = TakeSuffixElement(m, e)) != Step::kOk) return s;
    d.pos += total;
  }
  while (!d.levels.empty()) {
    Step s = CloseLevel(&d);
    if (s != Step::kOk) return s;
  }
  if (!d.seen_signer_infos) return Error(CRYPT_E_ASN1_CORRUPT);
  return Step::kOk;
}

void Compact(Decoder* d) {
  if (d->pos == 0) return;
  if (d->pos == d->buf.size()) {
    d->base += d->pos;
    d->buf.clear();
    d->need = d->need >= d->pos ? d->need - d->pos : 0;
    d->pos = 0;
    return;
  }
  if (d->pos > (1u << 16) && d->pos * 2 > d->buf.size()) {
    d->buf.erase(d->buf.begin(),
                 d->buf.begin() + static_cast<std::ptrdiff_t>(d->pos));
    d->base += d->pos;
    d->need = d->need >= d->pos ? d->need - d->pos : 0;
    d->pos = 0;
  }
}

void CreateSlots(Msg* m) {
  for (const AlgId& a : m->digest_algs) {
    ALG_ID alg = HashAlgFromOid(a.oid);
    if (!alg) continue;
    bool have = false;
    for (const HashSlot& s : m->digests) have |= s.alg == alg;
    if (have) continue;
    HashSlot s;
    s.alg = alg;
    HCRYPTPROV prov = m->user_prov;
    if (!prov) {
      if (AcquireVerifyProvider("", alg, s.prov.out()))
        prov = s.prov.get();
      else
        s.create_error = GetLastError();
    }
    if (prov && !CryptCreateHash(prov, alg, 0, 0, s.hash.out()))
      s.create_error = GetLastError();
    m->digests.push_back(std::move(s));
  }
}

bool DetachedContent(Msg* m, const uint8_t* p, size_t n, bool final) {
  m->decoder->phase = Phase::kDetachedContent;
  HashSlots(m, p, n);
  if (final) {
    m->finished = true;
    FinishSlots(m);
  }
  return true;
}

// Runs the decoding machine over what is buffered. kNeedMore is the normal
// way out: everything usable has been used.
Step RunPhases(Msg* m) {
  Decoder& d = *m->decoder;
  for (;;) {
    Step s = Step::kOk;
    switch (d.phase) {
      case Phase::kPrefix:
        if (d.need && d.buf.size() < d.need) return Step::kNeedMore;
        if ((s = ParsePrefix(m)) != Step::kOk) return s;
        CreateSlots(m);
        // A message with content is not detached, whatever the caller said.
        if (m->has_content) m->detached = false;
        d.phase = m->has_content ? Phase::kContent : Phase::kSuffix;
        break;
      case Phase::kContent:
        if ((s = RunContent(m)) != Step::kOk) return s;
        d.phase = Phase::kSuffix;
        m->content_kept = !m->streaming;
        break;
      case Phase::kSuffix:
        if (d.need && d.buf.size() < d.need) return Step::kNeedMore;
        if ((s = RunSuffix(m)) != Step::kOk) return s;
        d.phase = Phase::kDone;
        m->model_ready = true;
        if (!m->detached) FinishSlots(m);
        if (m->streaming && !Emit(m, nullptr, 0, true)) return Step::kError;
        return Step::kOk;
      default:
        return Step::kOk;
    }
  }
}

}  // namespace

void OpenDecoder(Msg* m) {
  m->decoder = std::make_unique<Decoder>();
  m->detached = (m->flags & CMSG_DETACHED_FLAG) != 0;
}

bool DecodeUpdate(Msg* m, const uint8_t* p, DWORD n, bool final) {
  Decoder& d = *m->decoder;
  if (n && !p) return Fail(ERROR_INVALID_PARAMETER);
  if (m->finished) return Fail(CRYPT_E_MSG_ERROR);
  if (d.phase == Phase::kDone || d.phase == Phase::kDetachedContent) {
    if (!m->detached) return Fail(CRYPT_E_MSG_ERROR);
    return DetachedContent(m, p, n, final);
  }
  const uint8_t* rest = p;
  size_t rest_n = n;
  for (;;) {
    // Content that arrives while nothing is buffered goes straight through.
    if (d.phase == Phase::kContent && d.in_chunk && d.pos == d.buf.size() &&
        rest_n) {
      size_t take =
          static_cast<size_t>(std::min<uint64_t>(d.chunk_left, rest_n));
      if (!DeliverContent(m, rest, take)) return false;
      d.chunk_left -= take;
      d.base += take;
      rest += take;
      rest_n -= take;
      if (d.chunk_left) break;
      d.in_chunk = false;
    }
    if (rest_n) {
      // Structure is taken a little at a time so that a long content run
      // behind it can still go straight through.
      size_t take = rest_n;
      if (d.phase != Phase::kSuffix) {
        size_t want = d.need > d.buf.size() ? d.need - d.buf.size() : 0;
        take = std::min(rest_n, std::max<size_t>(want, 4096));
      }
      if (d.buf.size() - d.pos + take > kMaxHeldBytes)
        return Fail(CRYPT_E_ASN1_LARGE);
      d.buf.insert(d.buf.end(), rest, rest + take);
      rest += take;
      rest_n -= take;
    }
    if (RunPhases(m) == Step::kError) {
      // Nothing more can be read from this message.
      m->finished = true;
      return false;
    }
    if (d.phase == Phase::kDone) {
      size_t left = Avail(d);
      if ((left || rest_n) && !m->detached) return Fail(CRYPT_E_MSG_ERROR);
      if (left || rest_n) {
        Bytes extra(d.buf.begin() + static_cast<std::ptrdiff_t>(d.pos),
                    d.buf.end());
        extra.insert(extra.end(), rest, rest + rest_n);
        d.buf.clear();
        d.pos = 0;
        return DetachedContent(m, extra.data(), extra.size(), final);
      }
      d.buf.clear();
      d.pos = 0;
      break;
    }
    Compact(&d);
    if (!rest_n) break;
  }
  if (final) {
    if (d.phase != Phase::kDone)
      return Fail(m->streaming ? CRYPT_E_STREAM_INSUFFICIENT_DATA
                               : CRYPT_E_ASN1_EOD);
    if (!m->detached) m->finished = true;
  }
  return true;
}

}  // namespace tavrix::provider::msg
