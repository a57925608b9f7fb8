// A stored file as the block storage (KSS) describes it for a download: its
// blocks in file order, each with the addresses it can be fetched from, its
// size and the SHA-1 of its plain bytes, and the file's RC4 key. Read from
// the description the cloud's file API hands out, and checked whole before
// anything is fetched, so that a description that could never be fetched
// fails at once.
//
// Plain values; fromJson is stateless and safe from any thread. Failures are
// the unknown-reply error (101 in the server domain) with one of the reasons
// below and the description "Unknown Error".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Error.h"
#include "platform/Result.h"

namespace lumora {

inline constexpr const char* kLMKssReasonNoBlockUrls = "The block urls are not found.";
inline constexpr const char* kLMKssReasonNoSecureKey =
    "The secureKey of downloading image is not found.";
inline constexpr const char* kLMKssReasonWrongBlock = "The image block is wrong.";
inline constexpr const char* kLMKssErrorTitle = "Unknown Error";

// The largest block a download takes (a block is held in memory while it is
// checked). The storage cuts files into blocks of 4 MiB.
inline constexpr std::uint64_t kLMKssMaxBlockSize = 4 * 1024 * 1024;

struct LMKssBlock {
  std::vector<std::string> urls;  // tried in this order
  std::string sha1;               // of the plain bytes, as the storage spells it
  std::uint64_t size = 0;         // of the stored (encrypted) and of the plain bytes
};

struct LMKssDescription {
  std::vector<LMKssBlock> blocks;
  platform::Bytes secureKey;  // RC4 key of every block, restarted for each

  // Reads {"blocks": [{"urls", "sha1", "size"}], "secure_key"}:
  //  - "blocks" a non-empty array, each block an object with "urls" a
  //    non-empty array of non-empty texts, else kLMKssReasonNoBlockUrls;
  //  - "secure_key" a text of hexadecimal digit pairs spelling one byte or
  //    more, else kLMKssReasonNoSecureKey (never an empty RC4 key);
  //  - each "sha1" a text and each "size" a whole number from 0 to
  //    kLMKssMaxBlockSize, else kLMKssReasonWrongBlock.
  static platform::Result<LMKssDescription> fromJson(const platform::Json& kss);
};

// The unknown-reply error with `reason` and the title "Unknown Error".
platform::Error LMKssError(const char* reason);

}  // namespace lumora
