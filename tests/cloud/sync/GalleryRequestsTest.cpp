// The gallery service's requests against a scripted gallery: their methods,
// paths, parameters, pacing and tries; the paged listings with the cloud's
// restart (52000); thumbnails in runs of 10; batch deletion passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cloud/sync/FakeGallery.h"
#include "cloud/sync/LMListingBounds.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/dispatch/Clock.h"
#include "support/TestHome.h"
#include "platform/http/Url.h"
#include "utils/LMAESCoder.h"
#include "utils/LMErrors.h"

namespace {

using fakegallery::Call;
using lumora::LMAlbum;
using lumora::LMImage;
using platform::Error;
using platform::Json;

LMImage imageWithID(std::int64_t id, std::int64_t tag = 1) {
  LMImage image;
  image.serverID = id;
  image.sync = tag;
  return image;
}

Error serverError(std::int64_t code, Json data = nullptr) {
  Json info{{"code", code}};
  if (!data.is_null()) info["data"] = std::move(data);
  return Error(lumora::kLMServerErrorDomain, code, info);
}

class GalleryRequestsTest : public ::testing::Test {
 protected:
  GalleryRequestsTest() { clock->setAutoAdvanceSleeps(true); }

  testsupport::TestHome home;
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<fakegallery::FakeGallery> gallery = std::make_shared<fakegallery::FakeGallery>();
  std::shared_ptr<fakegallery::Adapter> adapter = std::make_shared<fakegallery::Adapter>(gallery);
};

TEST_F(GalleryRequestsTest, EachRequestSendsItsMethodPathParametersAndPace) {
  LMImage image = imageWithID(77, 5);
  image.assetID = "asset-1";
  image.blockInfos = Json::array({{{"sha1", "aa"}, {"md5", "bb"}, {"size", 3}}});
  LMAlbum album;
  album.serverID = 9;
  album.assetID = "album-1";
  album.name = "Trips";
  struct Case {
    std::function<std::shared_ptr<lumora::LMHTTPRequestOperation>()> send;
    std::string method, path;
    Json parameters;  // expected subset ("retry" included where sent)
    double minimum;
  };
  const std::vector<Case> cases = {
      {[&] { return adapter->requestImageAndAlbumListWithSyncTag(12, "x", 1000, {3, 7}, true); }, "GET", "/full",
       {{"syncTag", "12"}, {"syncExtraInfo", "x"}, {"limit", "500"}, {"filterTag", "3,7"}, {"returnHiddenData", "1"}},
       0.6},
      {[&] { return adapter->requestImageListInAlbumWithSyncTag(std::nullopt, "", 4, 501, {}); }, "GET",
       "/full/album/4", {{"syncTag", "0"}, {"limit", "500"}}, 0.6},
      {[&] { return adapter->requestAlbumListWithSyncTag(3, std::nullopt, std::nullopt); }, "GET", "/full/album",
       {{"syncTag", "3"}, {"limit", "200"}}, 2.5},
      {[&] { return adapter->requestImageThumbnailUrls({1, 2}, 120.7, 90.2); }, "GET", "/thumbnails",
       {{"ids", "1,2"}, {"width", "120"}, {"height", "90"}, {"retry", "0"}}, 0.6},
      {[&] { return adapter->requestImageUploadUrlsWithImage(image); }, "POST", "/full",
       {{"ckey", "asset-1"}, {"isUbiImage", "0"}, {"retry", "0"}}, 0.4},
      {[&] { return adapter->requestImageConfirmWithImageID(77, "fm", Json::array({{{"commit_meta", "c"}}})); },
       "POST", "/full/77/storage", {{"retry", "0"}}, 0},
      {[&] { return adapter->requestImageDownloadBlocksWithImageID(77); }, "GET", "/full/77/storage",
       {{"retry", "0"}}, 0},
      {[&] { return adapter->requestDeleteImage(image); }, "POST", "/full/77/delete", {{"ckey", "77"}}, 0.25},
      {[&] { return adapter->requestBatchDeleteImages({image, imageWithID(78, 6)}); }, "POST",
       "/full/image/batchdelete", Json::object(), 2.5},
      {[&] { return adapter->requestCreateAlbum(album); }, "POST", "/full/album", {{"ckey", "album-1"}}, 1.25},
      {[&] { return adapter->requestRenameAlbum(album); }, "POST", "/full/album/9", {{"ckey", "album-1"}}, 1.25},
      {[&] { return adapter->requestDeleteAlbum(9, 4); }, "POST", "/full/album/9/delete",
       {{"ckey", "9"}, {"tag", "4"}}, 1.25},
  };
  for (const Case& c : cases) {
    const auto before = clock->sleptTotal();
    const auto callsBefore = gallery->calls().size();
    auto operation = c.send();
    ASSERT_TRUE(operation->result().ok()) << c.path;
    auto calls = gallery->calls();
    ASSERT_EQ(calls.size(), callsBefore + 1) << c.path;
    const Call& call = calls.back();
    EXPECT_EQ(call.method, c.method);
    EXPECT_EQ(call.path, c.path);
    for (const auto& [key, value] : c.parameters.items()) EXPECT_EQ(call.parameters.value(key, Json()), value) << key;
    EXPECT_EQ(call.parameters.contains("retry"), c.parameters.contains("retry")) << c.path;
    EXPECT_EQ(clock->sleptTotal() - before, platform::seconds(c.minimum)) << c.path;
  }
  // The JSON texts.
  auto calls = gallery->calls();
  Json upload = Json::parse(calls[4].parameters["data"].get<std::string>());
  EXPECT_EQ(upload["block_infos"], image.blockInfos);
  EXPECT_EQ(upload["content"]["id"], 77);
  EXPECT_EQ(Json::parse(calls[5].parameters["data"].get<std::string>()),
            (Json{{"kss", {{"file_meta", "fm"}, {"commit_metas", Json::array({{{"commit_meta", "c"}}})}}}}));
  EXPECT_EQ(Json::parse(calls[8].parameters["content"].get<std::string>()),
            Json::parse(R"([{"id":77,"tag":5},{"id":78,"tag":6}])"));
  EXPECT_EQ(Json::parse(calls[9].parameters["data"].get<std::string>())["content"]["fileName"], "Trips");
}

TEST_F(GalleryRequestsTest, RequestsThatCannotBeBuiltSendNothing) {
  LMImage noBlocks = imageWithID(1);
  LMAlbum noID;
  const std::vector<std::pair<std::shared_ptr<lumora::LMHTTPRequestOperation>, std::int64_t>> refused = {
      {adapter->requestImageThumbnailUrls({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 10, 10),
       lumora::kLMLocalErrorInvalidParameters},
      {adapter->requestImageUploadUrlsWithImage(noBlocks), lumora::kLMLocalErrorGeneral},
      {adapter->requestDeleteImage(LMImage()), lumora::kLMLocalErrorInvalidParameters},
      {adapter->requestRenameAlbum(noID), lumora::kLMLocalErrorInvalidParameters},
  };
  for (const auto& [operation, code] : refused) {
    ASSERT_TRUE(operation);
    EXPECT_EQ(operation->error()->code(), code);
    EXPECT_EQ(operation->error()->domain(), lumora::kLMLocalErrorDomain);
  }
  // Nobody signed in.
  adapter->httpRequestManager()->setSessionSource(
      std::make_shared<lumora::LMPassportsSessionSource>(lumora::QBPassportsManager::create()));
  EXPECT_EQ(adapter->requestAlbumListWithSyncTag(0, std::nullopt, std::nullopt)->error()->code(),
            lumora::kLMLocalErrorNotLoggedIn);
  EXPECT_TRUE(gallery->calls().empty());
}

TEST_F(GalleryRequestsTest, TriesCountTheRetryParameterAndRedirectsUseNone) {
  int sends = 0;
  gallery->respond = [&](const Call& call) -> platform::Result<Json> {
    ++sends;
    if (sends == 1) return Error(lumora::kLMServerErrorDomain, 7, {{lumora::kLMRetriableKey, true}});
    if (call.path == "/full/5/storage" && sends == 2) {
      return serverError(308, {{"redirectUrl", std::string("http://elsewhere.example") + fakegallery::kUserPath +
                                                   "/full/5/moved"}});
    }
    return Json{{"kss", Json::object()}};
  };
  ASSERT_TRUE(adapter->requestImageDownloadBlocksWithImageID(5)->result().ok());
  auto calls = gallery->calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].parameters["retry"], "0");
  EXPECT_EQ(calls[1].parameters["retry"], "1");
  EXPECT_EQ(calls[2].path, "/full/5/moved");
  EXPECT_EQ(calls[2].parameters["retry"], "1");  // the redirected repeat keeps it

  // Four tries at most.
  sends = 0;
  gallery->respond = [&](const Call&) -> platform::Result<Json> {
    ++sends;
    return Error(lumora::kLMServerErrorDomain, 7, {{lumora::kLMRetriableKey, true}});
  };
  EXPECT_EQ(adapter->requestImageDownloadBlocksWithImageID(5)->error()->code(), 7);
  EXPECT_EQ(sends, 4);
}

TEST_F(GalleryRequestsTest, ListingsReadEveryPageAndStartOverOnTheCloudsRestart) {
  // Pages of album 4 by tag; tag 20 answers the restart once, to tag 50.
  bool restarted = false;
  gallery->respond = [&](const Call& call) -> platform::Result<Json> {
    const std::string tag = call.parameters["syncTag"];
    auto page = [](std::vector<Json> content, bool last, int next) {
      return Json{{"content", content}, {"lastPage", last}, {"syncTag", next}, {"syncExtraInfo", "e" + std::to_string(next)}};
    };
    if (tag == "0") return page({{{"id", 1}, {"tag", 1}}, {{"id", 2}, {"type", "photo"}, {"isUbiImage", true}}}, false, 10);
    if (tag == "10") return page({{{"id", 3}}, {{"id", 1}, {"tag", 2}}}, false, 20);
    if (tag == "20" && !restarted) {
      restarted = true;
      return serverError(52000, {{"syncTag", 50}, {"syncExtraInfo", "e50"}});
    }
    if (tag == "50") return page({{{"id", 8}}}, true, 60);
    return page({{{"id", 4}}}, true, 30);
  };
  struct Outcome {
    std::int64_t tag = -1;
    std::string extra;
    std::vector<std::int64_t> ids;
    bool resync = false;
    std::optional<Error> error;
  };
  auto list = [&](std::optional<std::int64_t> sync, std::optional<std::string> extra) {
    Outcome out;
    adapter->requestImageListInAlbumWithSync(
        sync, extra, 4,
        [&](std::int64_t tag, const std::string& info, const std::vector<LMImage>& images, bool resync) {
          out.tag = tag;
          out.extra = info;
          for (const auto& image : images) out.ids.push_back(*image.serverID);
          out.resync = resync;
        },
        [&](const Error& error) { out.error = error; });
    return out;
  };
  // No extra information: from nothing; the restart drops pages 1 and 2.
  Outcome full = list(10, std::nullopt);
  EXPECT_FALSE(full.error);
  EXPECT_EQ(full.ids, std::vector<std::int64_t>{8});
  EXPECT_EQ(full.tag, 60);
  EXPECT_EQ(full.extra, "e60");
  EXPECT_TRUE(full.resync);
  // Onwards from a tag: later pages replace earlier records, Ubi images are left out.
  restarted = true;
  Outcome onwards = list(0, "e0");
  EXPECT_EQ(onwards.ids, (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_FALSE(onwards.resync);

  // A page without its tag fails the listing; so does another error.
  gallery->respond = [](const Call&) -> platform::Result<Json> { return Json{{"list", Json::array()}, {"lastPage", true}}; };
  std::optional<Error> failed;
  adapter->requestAlbumListWithSync(0, "x", nullptr, [&](const Error& error) { failed = error; });
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code(), lumora::kLMServerErrorUnknownReply);
  gallery->respond = [](const Call&) -> platform::Result<Json> { return serverError(50006); };
  adapter->requestAlbumListWithSync(0, "x", nullptr, [&](const Error& error) { failed = error; });
  EXPECT_EQ(failed->code(), 50006);
}

// The gallery handing its pages over as they are, with no text between: a
// page of tens of MiB costs a copy, not an encoding and a parse. Every page
// holds `entry` alone, is not the last and moves the listing on.
class HandedPages : public fakegallery::Adapter {
 public:
  explicit HandedPages(std::shared_ptr<fakegallery::FakeGallery> gallery) : Adapter(std::move(gallery)) {}
  std::shared_ptr<const Json> entry;
  int sends = 0;

 protected:
  class Reply : public lumora::LMHTTPResponseSerialization {
   public:
    Reply(std::shared_ptr<const Json> entry, const char* key, int tag)
        : entry_(std::move(entry)), key_(key), tag_(tag) {}
    lumora::LMDecodedReply responseObjectForResponse(const std::optional<platform::http::Response>&,
                                                     const platform::Bytes&,
                                                     const std::optional<std::string>&) const override {
      Json data{{key_, Json::array({*entry_})}, {"lastPage", false}, {"syncTag", tag_}, {"syncExtraInfo", "e"}};
      return {Json{{"code", 0}, {"data", std::move(data)}}, platform::Status::success()};
    }

   private:
    std::shared_ptr<const Json> entry_;
    const char* key_;
    int tag_;  // each page moves the listing on
  };
  class Operation : public lumora::LMHTTPRequestOperation {
   public:
    Operation(platform::http::Request request, std::shared_ptr<lumora::LMHTTPResponseSerialization> reply)
        : LMHTTPRequestOperation(std::move(request), "lumora") {
      setResponseSerializer(std::move(reply));
    }

   protected:
    void main() override { setResponseData(platform::Bytes{'{', '}'}); }
  };
  std::shared_ptr<lumora::LMHTTPRequestOperation> galleryOperation(const std::string& method, const std::string& url,
                                                                   const Json&) override {
    ++sends;
    const bool albums = url.size() >= 11 && url.compare(url.size() - 11, 11, "/full/album") == 0;
    platform::http::Request request;
    request.method = method;
    request.url = url;
    return std::make_shared<Operation>(std::move(request), std::make_shared<Reply>(entry, albums ? "list" : "content", sends));
  }
};

TEST_F(GalleryRequestsTest, ListingsThatNeverEndGrowWithoutEndOrKeepRestartingFail) {
  using Bounds = lumora::LMListingBounds;
  auto handed = std::make_shared<HandedPages>(gallery);
  // Pages of one small record, of one record of 64 MiB; or the restart.
  const std::size_t heavy = std::size_t{64} << 20;
  struct Case {
    const char* what;
    std::shared_ptr<const Json> entry;  // null: the restart
    std::size_t most;                    // sends at most
  } cases[] = {
      {"not the last page", std::make_shared<const Json>(Json{{"id", 5}}), Bounds::kMaxPages},
      {"always restarting", nullptr, Bounds::kMaxRestarts + 1},
      {"pages that hold too much",
       std::make_shared<const Json>(Json{{"id", 5}, {"name", std::string(heavy, 'n')}}), Bounds::kMaxBytes / heavy + 1},
  };
  gallery->respond = [](const Call&) { return serverError(52000, {{"syncTag", 0}}); };
  for (const Case& c : cases) {
    for (const bool albums : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (albums ? " (albums)" : " (images)"));
      lumora::LMImageSyncAdapter& target = c.entry ? static_cast<lumora::LMImageSyncAdapter&>(*handed) : *adapter;
      handed->entry = c.entry;
      handed->sends = 0;
      const std::size_t before = gallery->calls().size();
      bool listed = false;
      std::optional<Error> failed;
      auto fail = [&](const Error& error) { failed = error; };
      if (albums) {
        target.requestAlbumListWithSync(3, "e3", [&](auto&&...) { listed = true; }, fail);
      } else {
        target.requestImageListInAlbumWithSync(3, "e3", 4, [&](auto&&...) { listed = true; }, fail);
      }
      EXPECT_FALSE(listed);
      ASSERT_TRUE(failed);
      EXPECT_EQ(failed->code(), lumora::kLMServerErrorUnknownReply);
      const std::size_t sent = handed->sends + (gallery->calls().size() - before);
      EXPECT_LE(sent, c.most);
      EXPECT_GE(sent, c.most / 2);
    }
  }
}

TEST_F(GalleryRequestsTest, ThumbnailsGoInRunsOfTenAndDeletionsPassThreeTimesAtMost) {
  gallery->respond = [](const Call& call) -> platform::Result<Json> {
    Json content = Json::object();
    std::string ids = call.parameters["ids"];
    content[ids.substr(0, ids.find(','))] = "url";
    return Json{{"content", content}};
  };
  std::vector<std::int64_t> ids;
  for (int i = 1; i <= 11; ++i) ids.push_back(i);
  Json urls;
  adapter->requestImageThumbnailUrls(ids, 100, 100, [&](const Json& got) { urls = got; }, nullptr);
  EXPECT_EQ(urls, (Json{{"1", "url"}, {"11", "url"}}));
  auto calls = gallery->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].parameters["ids"], "11");

  // 25 images; every image with an odd id is refused once, id 3 always.
  std::map<std::int64_t, int> refusals;
  gallery->respond = [&](const Call& call) -> platform::Result<Json> {
    Json fail = Json::array();
    for (const auto& entry : Json::parse(call.parameters["content"].get<std::string>())) {
      const std::int64_t id = entry["id"];
      if (id == 3 || (id % 2 == 1 && refusals[id]++ == 0)) fail.push_back({{"id", id}, {"tag", 1}});
    }
    return Json{{"fail", fail}, {"ok", true}};
  };
  std::vector<LMImage> images;
  for (int i = 1; i <= 25; ++i) images.push_back(imageWithID(i));
  const auto before = gallery->calls().size();
  std::vector<std::int64_t> left;
  std::optional<Error> error = Error("unset", 0);
  adapter->requestBatchDeleteImages(images, [&](const std::vector<LMImage>& failed, const std::optional<Error>& e) {
    for (const auto& image : failed) left.push_back(*image.serverID);
    error = e;
  });
  EXPECT_EQ(left, std::vector<std::int64_t>{3});
  EXPECT_FALSE(error);
  EXPECT_EQ(gallery->calls().size() - before, 3u + 2u + 1u);  // 25 in 3 runs, then 13, then 1
}

}  // namespace

namespace {

// The thumbnail loader's request is built and signed here, and sent by the
// loader: nothing goes out, and what cannot be built is an error.
TEST_F(GalleryRequestsTest, TheThumbnailRequestIsSignedButNotSent) {
  struct ThumbnailKeySource : fakegallery::SignedIn {
    platform::Result<lumora::LMSignedSession> sessionForSid(const std::string&) override {
      return lumora::LMSignedSession{"10001", "token", "MDEyMzQ1Njc4OWFiY2RlZg=="};  // 16 bytes
    }
  };
  adapter->httpRequestManager()->setSessionSource(std::make_shared<ThumbnailKeySource>());
  auto request = adapter->requestImageThumbnailUrls({4, 5}, {120.7, 90.2});
  ASSERT_TRUE(request.ok()) << request.error().description();
  EXPECT_EQ(request->method, "GET");
  auto url = platform::http::Url::parse(request->url);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), "/lum/gallery/v3/user/10001/thumbnails");
  std::map<std::string, std::string> sent;
  lumora::LMAESCoder coder("MDEyMzQ1Njc4OWFiY2RlZg==");
  std::string query = url->query();
  for (std::size_t at = 0; at <= query.size();) {
    std::size_t end = std::min(query.find('&', at), query.size());
    const std::string pair = query.substr(at, end - at);
    const std::size_t equals = pair.find('=');
    const std::string key = pair.substr(0, equals);
    const std::string value = platform::http::percentDecoded(pair.substr(equals + 1)).value_or("");
    sent[key] = key == "signature" ? value : coder.decryptString(value).value_or("");
    at = end + 1;
  }
  EXPECT_EQ(sent["ids"], "4,5");
  EXPECT_EQ(sent["width"], "120");
  EXPECT_EQ(sent["height"], "90");
  EXPECT_EQ(sent["retry"], "0");
  EXPECT_FALSE(sent["signature"].empty());
  EXPECT_TRUE(gallery->calls().empty());

  auto tooMany = adapter->requestImageThumbnailUrls({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {10, 10});
  ASSERT_FALSE(tooMany.ok());
  EXPECT_EQ(tooMany.error().code(), lumora::kLMLocalErrorInvalidParameters);
  adapter->httpRequestManager()->setSessionSource(
      std::make_shared<lumora::LMPassportsSessionSource>(lumora::QBPassportsManager::create()));
  auto nobody = adapter->requestImageThumbnailUrls({4}, {10, 10});
  ASSERT_FALSE(nobody.ok());
  EXPECT_EQ(nobody.error().code(), lumora::kLMLocalErrorNotLoggedIn);
}

}  // namespace
