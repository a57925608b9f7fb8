// A file's key stream, made once and ahead: every block combined with it is
// the block RC4-encrypted afresh under the key, in whatever pieces and from
// however many readers, and a span it does not cover is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "cloud/kss/LMKssKeyStream.h"
#include "utils/RC4.h"

namespace {

using lumora::LMKssKeyStream;
using platform::Bytes;

Bytes keyStreamBlock(std::size_t size, int seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 167 + seed) >> 2);
  return bytes;
}

TEST(LMKssKeyStream, EveryBlockIsTheBlockEncryptedAfreshInAnyPieces) {
  const Bytes key = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
  constexpr std::size_t kLength = 1 << 20;
  auto stream = LMKssKeyStream::start(key, kLength);
  // Three blocks read at once, in pieces of different sizes, while the
  // helper is still making the stream.
  const std::vector<std::pair<Bytes, std::size_t>> blocks{
      {keyStreamBlock(kLength, 1), 4096}, {keyStreamBlock(kLength, 2), 65536 + 7}, {keyStreamBlock(kLength / 3, 3), 1}};
  std::vector<Bytes> sent(blocks.size());
  std::vector<std::thread> readers;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    readers.emplace_back([&, b] {
      const auto& [plain, piece] = blocks[b];
      sent[b].resize(plain.size());
      for (std::size_t at = 0; at < plain.size(); at += piece) {
        const std::size_t size = std::min(piece, plain.size() - at);
        if (!stream->apply(at, plain.data() + at, sent[b].data() + at, size)) return sent[b].clear();
      }
    });
  }
  for (auto& reader : readers) reader.join();
  for (std::size_t b = 0; b < blocks.size(); ++b) EXPECT_EQ(sent[b], lumora::rc4DataWithKey(blocks[b].first, key));

  Bytes out(2);
  EXPECT_FALSE(stream->apply(kLength - 1, out.data(), out.data(), 2));
  EXPECT_FALSE(LMKssKeyStream::start(Bytes(), 16)->apply(0, out.data(), out.data(), 1));
}

}  // namespace
