// Downloading a 256 MiB file from the local cloud's block storage node with
// the storage helper (64 blocks of 4 MiB: HTTP over loopback, RC4
// decryption, SHA-1 check, written to the caches directory), next to RC4 +
// SHA-1 alone (OpenSSL EVP) over the same encrypted blocks in memory, in the
// same run. Both are timed in real time (the download's work runs on the
// transfer threads, not the benchmark's). The download also reports how far
// the process's resident memory grew while it ran ("rss_growth_MiB"): no
// whole file is ever held, so it stays near a few blocks. The cloud's data
// and the app home lie under $TMPDIR (/tmp by default); TMPDIR=/dev/shm
// keeps the machine's disk, and whatever else writes to it, out of the
// figure.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cloud/kss/LMKssFileHelper.h"
#include "platform/Bytes.h"
#include "platform/storage/AppHome.h"
#include "server/CloudServer.h"
#include "server/services/KssNode.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"

namespace {

namespace fs = std::filesystem;
using platform::Bytes;
using platform::Json;

constexpr std::size_t kBlock = 4 * 1024 * 1024;
constexpr std::size_t kBlocks = 64;
constexpr std::int64_t kFileBytes = static_cast<std::int64_t>(kBlock * kBlocks);
constexpr std::int64_t kUser = 9101;

double residentMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
  }
  return 0;
}

// The local cloud holding one stored file, its download description, and
// the file's blocks as the node sends them under that description's key.
struct Setup {
  fs::path root;
  std::unique_ptr<localcloud::CloudServer> server;
  Json kss;
  std::vector<Bytes> encrypted;
  std::vector<std::string> sha1s;

  Setup() {
    std::string pattern = (fs::temp_directory_path() / "lumora-kss-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    platform::AppHome::setRoot(root / "home");
    std::string error;
    server = localcloud::CloudServer::create(root / "cloud", &error);
    if (!server || !server->start(0, &error)) {
      std::cerr << "cannot start the local cloud: " << error << "\n";
      std::abort();
    }
    std::vector<Bytes> blocks(kBlocks, Bytes(kBlock));
    std::vector<localcloud::KssNode::BlockDigest> digests;
    std::uint32_t state = 2463534242u;
    for (Bytes& block : blocks) {
      for (auto& byte : block) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        byte = static_cast<std::uint8_t>(state);
      }
      sha1s.push_back(lumora::sha1String(block));
      digests.push_back({sha1s.back(), kBlock});
    }
    Json upload = server->kss().beginUpload(kUser, digests).body["data"];
    const Bytes uploadKey = *platform::hexData(upload["secure_key"].get<std::string>());
    Json commits = Json::array();
    for (std::size_t i = 0; i < kBlocks; ++i) {
      lumora::LMKssFileHelper::uploadKSSBlockUrl(
          upload["node_urls"][0], *lumora::rc4DataWithKey(blocks[i], uploadKey), upload["file_meta"],
          upload["block_metas"][i]["block_meta"], nullptr, nullptr,
          [&commits](const auto& meta, const auto&) { commits.push_back(Json{{"commit_meta", meta.value_or(nullptr)}}); });
    }
    auto committed = server->kss().commitUpload(kUser, upload["file_meta"], commits);
    kss = server->kss().describe(kUser, committed.body["data"].value("fileId", "")).body["data"];
    if (!kss.contains("blocks")) {
      std::cerr << "cannot store the file: " << committed.body.dump() << "\n";
      std::abort();
    }
    const Bytes key = *platform::hexData(kss["secure_key"].get<std::string>());
    for (const Bytes& block : blocks) encrypted.push_back(*lumora::rc4DataWithKey(block, key));
  }
  ~Setup() {
    server->stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

void BM_KssDownload(benchmark::State& state) {
  Setup& s = setup();
  // Memory the set-up freed goes back first, so that the download has to
  // take what it uses anew.
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
  const double before = residentMiB("VmRSS:");
  for (auto _ : state) {
    bool ok = false;
    lumora::LMKssFileHelper::downloadKssFileWithKSS(
        s.kss, std::string("bench.bin"), nullptr,
        [&ok](const auto& result, const auto& error) { ok = result && !error; });
    if (!ok) state.SkipWithError("the download failed");
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
  state.counters["rss_growth_MiB"] = residentMiB("VmHWM:") - before;
}
BENCHMARK(BM_KssDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KssDownload_Reference(benchmark::State& state) {
  Setup& s = setup();
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER_load(ctx, "legacy");
  EVP_CIPHER* rc4 = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
  const Bytes key = *platform::hexData(s.kss["secure_key"].get<std::string>());
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  Bytes plain(kBlock);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBlocks; ++i) {
      int produced = 0;
      EVP_EncryptInit_ex2(cipher, rc4, nullptr, nullptr, nullptr);
      EVP_CIPHER_CTX_set_key_length(cipher, static_cast<int>(key.size()));
      EVP_EncryptInit_ex2(cipher, nullptr, key.data(), nullptr, nullptr);
      EVP_EncryptUpdate(cipher, plain.data(), &produced, s.encrypted[i].data(), static_cast<int>(kBlock));
      unsigned char sha1[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_DigestInit_ex(digest, EVP_sha1(), nullptr);
      EVP_DigestUpdate(digest, plain.data(), plain.size());
      EVP_DigestFinal_ex(digest, sha1, &length);
      if (platform::hexString(sha1, length) != s.sha1s[i]) state.SkipWithError("a block does not check out");
    }
  }
  EVP_MD_CTX_free(digest);
  EVP_CIPHER_CTX_free(cipher);
  EVP_CIPHER_free(rc4);
  OSSL_LIB_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_KssDownload_Reference)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
