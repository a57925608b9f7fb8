// Backing up a photo library to the local cloud's gallery: 200 photos of
// 3 MiB and one video of 200 MiB, each exported out of the library, digested
// (whole-file SHA-1, per-block SHA-1 and MD5), asked for, sent block by
// block RC4-encrypted over loopback to the storage node, committed and
// recorded, as one whole backup run (LMImageSyncAdapter::backupAllImages:
// albums, upload set, images), next to SHA-1 + MD5 + RC4 alone (OpenSSL
// EVP, one pass) over the same bytes, in the same run. The gallery's
// minimum time per call is counted apart: the clock's sleeps pass at once
// and their sum is reported as "min_call_time_s". The library, the app home
// and the cloud's data lie under
// $TMPDIR (/tmp by default); every run starts a cloud that holds none of
// the bytes yet.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "cloud/model/LMImage.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/storage/AppHome.h"
#include "platform/dispatch/Clock.h"
#include "platform/photos/PhotoLibrary.h"
#include "server/CloudServer.h"
#include "support/TestMedia.h"
#include "utils/ServiceHosts.h"

namespace {

namespace fs = std::filesystem;
namespace photos = platform::photos;
using platform::Bytes;

constexpr int kPhotos = 200;
constexpr std::size_t kPhotoBytes = 3u << 20;
constexpr std::size_t kVideoBytes = 200u << 20;
constexpr std::size_t kBlock = 4u << 20;
constexpr std::int64_t kUser = 9201;
constexpr const char* kKey = "MDEyMzQ1Njc4OWFiY2RlZg==";

double totalBytes() { return static_cast<double>(kPhotos) * kPhotoBytes + kVideoBytes; }

// The local cloud with a signed-in user, and a library whose files get new
// bytes for every run.
struct Setup {
  fs::path root;
  std::unique_ptr<localcloud::CloudServer> server;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  std::uint32_t state = 2463534242u;

  Setup() {
    std::string pattern = (fs::temp_directory_path() / "lumora-gallery-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    platform::AppHome::setRoot(root / "home");
    (void)photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized);
    fillLibrary();
    clock->setAutoAdvanceSleeps(true);
    platform::Clock::setCurrent(clock);
  }
  ~Setup() {
    platform::Clock::setCurrent(nullptr);
    if (server) server->stop();
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  // A local cloud that holds nothing yet, with the user signed in.
  void freshCloud() {
    std::error_code ec;
    if (server) {
      server->stop();
      server.reset();
      fs::remove_all(root / "cloud", ec);
    }
    std::string error;
    server = localcloud::CloudServer::create(root / "cloud", &error);
    if (!server || !server->start(0, &error)) {
      std::cerr << "cannot start the local cloud: " << error << "\n";
      std::abort();
    }
    lumora::ServiceHosts::setAll(server->url());
    localcloud::LoginGrant grant;
    grant.userId = kUser;
    grant.serviceId = "lumora";
    grant.ssecurity = kKey;
    auto manager = lumora::QBPassportsManager::sharedManager();
    manager->setUserId(std::to_string(kUser));
    auto passport = manager->passportForSid("lumora", std::to_string(kUser));
    passport->setServiceToken(server->store().issueServiceToken(grant));
    passport->setSSecurity(kKey);
  }

  void fill(Bytes& bytes) {
    for (auto& byte : bytes) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      byte = static_cast<std::uint8_t>(state);
    }
  }

  void fillLibrary() {
    const fs::path folder = photos::PhotoLibrary::folder();
    fs::create_directories(folder);
    Bytes photo(kPhotoBytes);
    for (int i = 0; i < kPhotos; ++i) {
      fill(photo);
      // A JPEG's start, so that the library takes it for a photo.
      photo[0] = 0xff, photo[1] = 0xd8, photo[2] = 0xff;
      std::ofstream(folder / ("IMG_" + std::to_string(1000 + i) + ".JPG"), std::ios::binary)
          .write(reinterpret_cast<const char*>(photo.data()), static_cast<std::streamsize>(photo.size()));
    }
    // A movie header whose media box runs to the end, then new bytes.
    const Bytes header = testsupport::makeMovie(1920, 1080, 60, 0);
    Bytes head(header.begin(), header.end() - 8);
    const auto mediaSize = static_cast<std::uint32_t>(kVideoBytes - head.size());
    for (int shift : {24, 16, 8, 0}) head.push_back(static_cast<std::uint8_t>(mediaSize >> shift));
    head.insert(head.end(), {'m', 'd', 'a', 't'});
    std::ofstream video(folder / "MOV_0001.MOV", std::ios::binary);
    video.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    Bytes piece(kBlock);
    for (std::size_t written = head.size(); written < kVideoBytes; written += piece.size()) {
      piece.resize(std::min(kBlock, kVideoBytes - written));
      fill(piece);
      video.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    }
  }

  std::vector<photos::Asset> assets() {
    auto library = photos::PhotoLibrary::sharedPhotoLibrary();
    library->rescan();
    auto all = library->fetchAssetsWithMediaType(photos::MediaType::Image);
    auto videos = library->fetchAssetsWithMediaType(photos::MediaType::Video);
    all.insert(all.end(), videos.begin(), videos.end());
    return all;
  }
};

Setup& setup() {
  static Setup instance;
  return instance;
}

void BM_GalleryUpload(benchmark::State& state) {
  Setup& s = setup();
  auto adapter = std::make_shared<lumora::LMImageSyncAdapter>();
  for (auto _ : state) {
    state.PauseTiming();
    s.freshCloud();
    adapter->context()->clearBackupData();
    const auto assets = s.assets();
    const auto pacedBefore = s.clock->sleptTotal();
    state.ResumeTiming();
    adapter->backupAllImages();
    const auto stored = adapter->context()->searchAllImageRelations();
    if (!stored || stored->size() != assets.size()) state.SkipWithError("the backup failed");
    state.counters["min_call_time_s"] =
        std::chrono::duration<double>(s.clock->sleptTotal() - pacedBefore).count();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(BM_GalleryUpload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GalleryUpload_Reference(benchmark::State& state) {
  Setup& s = setup();
  OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
  OSSL_PROVIDER_load(ctx, "legacy");
  EVP_CIPHER* rc4 = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
  const Bytes key = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* sha1 = EVP_MD_CTX_new();
  EVP_MD_CTX* md5 = EVP_MD_CTX_new();
  Bytes block(kBlock);
  Bytes out(kBlock);
  for (auto _ : state) {
    state.PauseTiming();
    const auto assets = s.assets();
    state.ResumeTiming();
    for (const photos::Asset& asset : assets) {
      std::ifstream in(asset.file, std::ios::binary);
      EVP_DigestInit_ex(sha1, EVP_sha1(), nullptr);
      EVP_DigestInit_ex(md5, EVP_md5(), nullptr);
      while (in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(kBlock)) || in.gcount() > 0) {
        const int got = static_cast<int>(in.gcount());
        int produced = 0;
        EVP_DigestUpdate(sha1, block.data(), static_cast<std::size_t>(got));
        EVP_DigestUpdate(md5, block.data(), static_cast<std::size_t>(got));
        EVP_EncryptInit_ex2(cipher, rc4, nullptr, nullptr, nullptr);
        EVP_CIPHER_CTX_set_key_length(cipher, static_cast<int>(key.size()));
        EVP_EncryptInit_ex2(cipher, nullptr, key.data(), nullptr, nullptr);
        EVP_EncryptUpdate(cipher, out.data(), &produced, block.data(), got);
        benchmark::DoNotOptimize(out.data());
      }
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_DigestFinal_ex(sha1, digest, &length);
      EVP_DigestFinal_ex(md5, digest, &length);
      benchmark::DoNotOptimize(digest);
    }
  }
  EVP_MD_CTX_free(md5);
  EVP_MD_CTX_free(sha1);
  EVP_CIPHER_CTX_free(cipher);
  EVP_CIPHER_free(rc4);
  OSSL_LIB_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
}
BENCHMARK(BM_GalleryUpload_Reference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
