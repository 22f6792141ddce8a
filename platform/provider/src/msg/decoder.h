// Where the streaming decoder of a signed message stands. It runs as one
// incremental machine whatever the caller gives: the part before the
// content is parsed again from the start as bytes arrive (it is small), the
// content is passed on (to the digests, the stream callback, and kept only
// when the message is not streamed) as it arrives, and each element after
// it is taken once it is complete. So memory stays bounded by the
// certificates and signer infos, never by the content.
#pragma once

#include <cstdint>
#include <vector>

#include "msg/message.h"

namespace tavrix::provider::msg {

// One open element around the read position.
struct Level {
  bool indefinite;
  uint64_t end;  // absolute offset just past the element, when definite
};

enum class Phase { kPrefix, kContent, kSuffix, kDone, kDetachedContent };

struct Decoder {
  Phase phase = Phase::kPrefix;
  Bytes buf;
  size_t pos = 0;     // next unread byte in buf
  uint64_t base = 0;  // absolute offset of buf[0]
  size_t need = 0;    // bytes of buf needed before parsing again
  std::vector<Level> levels;
  size_t content_levels = 0;  // levels belonging to a constructed content
  bool in_chunk = false;
  uint64_t chunk_left = 0;
  bool primitive_content = false;
  bool seen_signer_infos = false;
};

}  // namespace tavrix::provider::msg
