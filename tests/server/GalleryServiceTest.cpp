// The gallery service: images uploaded block by block to the storage node
// and committed, found again by their digests, listed from sync tags,
// downloaded, deleted; albums made, renamed and deleted; and what a strict
// cloud refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <vips/vips8>

#include "CloudFixture.h"
#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/services/GalleryService.h"
#include "server/services/GalleryThumbnails.h"
#include "server/services/KssNode.h"
#include "support/Sanitizers.h"
#include "support/TestMedia.h"

namespace servertest {
namespace {

using localcloud::GalleryService;
using localcloud::KssNode;
namespace crypto = localcloud::crypto;

constexpr std::int64_t kGalleryUser = 6101;
const std::string kBase = "/lum/gallery/v3/user/6101";
const std::string kGalleryFull = kBase + "/full";

// The block list as the client digests a file: 4 MiB blocks.
Json blockInfos(const std::string& file) {
  Json infos = Json::array();
  for (std::size_t offset = 0; offset < file.size(); offset += KssNode::kBlockSize) {
    std::string block = file.substr(offset, KssNode::kBlockSize);
    infos.push_back(Json{{"sha1", crypto::sha1Hex(block)},
                         {"md5", crypto::hexEncode(crypto::md5Bytes(block))},
                         {"size", block.size()}});
  }
  return infos;
}

class GalleryTest : public KeyedCloudTest {
 protected:
  GalleryTest() : KeyedCloudTest(kGalleryUser) {}

  static Json content(std::int64_t album, const std::string& file, const std::string& name,
                      const std::string& type = "image") {
    return Json{{"groupId", album},  {"fileName", name},          {"sha1", crypto::sha1Hex(file)},
                {"size", file.size()}, {"type", type},            {"mimeType", "image/jpg"},
                {"title", "photo"},  {"dateTaken", 1500000000000}, {"isUbiImage", "0"}};
  }
  CloudReply requestUpload(const Json& data, const std::string& ckey = "asset-1") {
    return cloud_->post(kGalleryFull, {{"data", data.dump()}, {"ckey", ckey}, {"isUbiImage", "0"},
                                {"retry", "0"}});
  }
  CloudReply requestUpload(std::int64_t album, const std::string& file,
                           const std::string& name = "IMG_0001.JPG",
                           const std::string& type = "image") {
    return requestUpload(Json{{"content", content(album, file, name, type)},
                              {"block_infos", blockInfos(file)}});
  }
  // Sends the blocks the reply asks for; the commit metas in block order.
  Json sendBlocks(const Json& upload, const std::string& file) {
    const Json& kss = upload["kss"];
    std::string key = crypto::hexDecode(kss["secure_key"].get<std::string>()).value_or("");
    Json commits = Json::array();
    for (std::size_t i = 0; i < kss["block_metas"].size(); ++i) {
      const Json& meta = kss["block_metas"][i];
      if (meta["is_existed"] == true) {
        commits.push_back(Json{{"commit_meta", meta["commit_meta"]}});
        continue;
      }
      std::string node = kss["node_urls"][0];
      auto sent = client()->Post(
          node.substr(server_->url().size()) + "/upload_block_chunk?file_meta=" +
              enc(kss["file_meta"]) + "&block_meta=" + enc(meta["block_meta"]) + "&chunk_pos=0",
          rc4(file.substr(i * KssNode::kBlockSize, KssNode::kBlockSize), key),
          "application/octet-stream");
      EXPECT_TRUE(sent && sent->status == 200);
      if (sent) commits.push_back(Json{{"commit_meta", Json::parse(sent->body)["commit_meta"]}});
    }
    ++blockSends_;
    return commits;
  }
  CloudReply commit(std::int64_t id, const std::string& fileMeta, const Json& commits) {
    Json data{{"kss", {{"file_meta", fileMeta}, {"commit_metas", commits}}}};
    return cloud_->post(kGalleryFull + "/" + std::to_string(id) + "/storage",
                        {{"data", data.dump()}, {"retry", "0"}});
  }
  // The whole road: the stored image's cloud JSON.
  Json upload(std::int64_t album, const std::string& file, const std::string& name = "IMG.JPG",
             const std::string& type = "image") {
    CloudReply asked = requestUpload(album, file, name, type);
    EXPECT_EQ(asked.code(), 0) << asked.json;
    if (asked.data()["fileExists"] == true) return asked.data()["content"];
    const Json& up = asked.data();
    CloudReply done = commit(up["content"]["id"], up["kss"]["file_meta"], sendBlocks(up, file));
    EXPECT_EQ(done.code(), 0) << done.json;
    return done.data()["content"];
  }
  // The file as the client downloads it: blocks decrypted and checked.
  std::string download(std::int64_t id) {
    CloudReply listed = cloud_->get(kGalleryFull + "/" + std::to_string(id) + "/storage", {{"retry", "0"}});
    if (listed.code() != 0) return "code " + std::to_string(listed.code());
    const Json& kss = listed.data()["kss"];
    std::string key = crypto::hexDecode(kss["secure_key"].get<std::string>()).value_or("");
    std::string file;
    for (const Json& block : kss["blocks"]) {
      std::string url = block["urls"][0];
      auto got = client()->Get(url.substr(server_->url().size()));
      std::string plain = got ? rc4(got->body, key) : "";
      EXPECT_EQ(crypto::sha1Hex(plain), block["sha1"]);
      file += plain;
    }
    return file;
  }
  CloudReply list(const std::string& path, std::int64_t tag, const std::string& extra = {}) {
    Params params{{"syncTag", std::to_string(tag)}, {"limit", "200"}};
    if (!extra.empty()) params["syncExtraInfo"] = extra;
    return cloud_->get(path, params);
  }
  CloudReply createAlbum(const std::string& name, const std::string& ckey) {
    Json data{{"content", {{"fileName", name}, {"type", "group"}, {"dateTaken", 1}}}};
    return cloud_->post(kGalleryFull + "/album", {{"data", data.dump()}, {"ckey", ckey}});
  }

  int blockSends_ = 0;
};

TEST_F(GalleryTest, ImageGoesUpInBlocksAndComesBackWhole) {
  const std::string file = pattern(2 * KssNode::kBlockSize + 1, 3);
  CloudReply asked = requestUpload(1, file);
  ASSERT_EQ(asked.code(), 0) << asked.json;
  const Json& up = asked.data();
  EXPECT_EQ(up["fileExists"], false);
  EXPECT_EQ(up["kss"]["block_metas"].size(), 3u);
  EXPECT_EQ(up["kss"]["secure_key"].get<std::string>().size(), 32u);
  EXPECT_EQ(up["kss"]["node_urls"], Json::array({server_->url() + "/kss"}));
  const std::int64_t id = up["content"]["id"];
  EXPECT_EQ(list(kGalleryFull + "/album/1", 0).data()["content"], Json::array()) << "listed before its commit";

  Json commits = sendBlocks(up, file);
  CloudReply done = commit(id, up["kss"]["file_meta"], commits);
  ASSERT_EQ(done.code(), 0) << done.json;
  const Json& image = done.data()["content"];
  EXPECT_EQ(image["id"], id);
  EXPECT_EQ(image["status"], "custom");
  EXPECT_EQ(image["type"], "photo");
  EXPECT_EQ(image["groupId"], 1);
  EXPECT_EQ(image["size"], file.size());
  EXPECT_EQ(image["fileName"], "IMG_0001.JPG");
  // A commit sent again (its reply lost) gets the same image.
  EXPECT_EQ(commit(id, up["kss"]["file_meta"], commits).data()["content"], image);
  EXPECT_EQ(download(id), file);

  // The same file again in that album is found; in another album its
  // blocks are found, so none is sent.
  CloudReply again = requestUpload(1, file);
  EXPECT_EQ(again.data()["fileExists"], true);
  EXPECT_EQ(again.data()["content"], image);
  std::int64_t album = createAlbum("Family", "album-1").data()["content"]["id"];
  CloudReply elsewhere = requestUpload(album, file);
  for (const Json& meta : elsewhere.data()["kss"]["block_metas"]) EXPECT_EQ(meta["is_existed"], true);
  Json copy = upload(album, file);
  EXPECT_NE(copy["id"], id);
  EXPECT_EQ(download(copy["id"]), file);
  // Each content once on disk (two distinct blocks: the full ones are alike).
  std::size_t blobs = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dataDir_ / "blobs")) {
    blobs += entry.is_regular_file() ? 1 : 0;
  }
  EXPECT_EQ(blobs, 2u);
}

TEST_F(GalleryTest, ListingsFollowSyncTagsAndStartAgainWhenTheyCannot) {
  // The system albums are there from the start.
  CloudReply albums = list(kGalleryFull + "/album", 0);
  ASSERT_EQ(albums.code(), 0) << albums.json;
  ASSERT_EQ(albums.data()["list"].size(), 2u);
  EXPECT_EQ(albums.data()["list"][0]["name"], "untitled");
  EXPECT_EQ(albums.data()["list"][1]["name"], "snapshot");
  EXPECT_EQ(albums.data()["list"][1]["status"], 1);
  EXPECT_EQ(albums.data()["lastPage"], true);

  Json first = upload(2, "first screenshot");
  Json second = upload(2, "second screenshot");
  CloudReply all = list(kGalleryFull + "/album/2", 0);
  ASSERT_EQ(all.data()["content"].size(), 2u);
  EXPECT_EQ(upload(1, "a camera photo")["groupId"], 1);
  const std::int64_t tag = all.data()["syncTag"];
  const std::string extra = all.data()["syncExtraInfo"];
  EXPECT_EQ(list(kGalleryFull + "/album/2", tag, extra).data()["content"], Json::array());

  // A deletion is listed as such from the watermark on.
  Json data{{"content", {{"id", first["id"]}, {"tag", first["tag"]}}}};
  std::string firstId = std::to_string(first["id"].get<std::int64_t>());
  CloudReply deleted = cloud_->post(kGalleryFull + "/" + firstId + "/delete",
                                    {{"data", data.dump()}, {"ckey", firstId}});
  ASSERT_EQ(deleted.code(), 0) << deleted.json;
  CloudReply since = list(kGalleryFull + "/album/2", tag, extra);
  ASSERT_EQ(since.data()["content"].size(), 1u);
  EXPECT_EQ(since.data()["content"][0]["status"], "deleted");
  EXPECT_EQ(download(first["id"]), "code 404");

  // A resync deletion leaves no tombstone: listings from before start again
  // and the image is gone from the full listing.
  const std::int64_t later = since.data()["syncTag"];
  const std::string laterExtra = since.data()["syncExtraInfo"];
  Json removed = admin("/_admin/gallery", {{"userId", kGalleryUser}, {"op", "delete"},
                                           {"id", second["id"]}, {"resync", true}});
  ASSERT_EQ(removed.value("ok", false), true) << removed;
  struct Case {
    const char* what;
    std::int64_t tag;
    std::string extra;
  };
  const Case restarts[] = {{"a tag from before", later, laterExtra},
                           {"a tag without its text", later, ""},
                           {"a text of another tag", later + 1, laterExtra}};
  for (const Case& c : restarts) {
    CloudReply again = list(kGalleryFull + "/album/2", c.tag, c.extra);
    EXPECT_EQ(again.code(), 52000) << c.what;
    EXPECT_EQ(again.json["data"]["syncTag"], 0) << c.what;
    CloudReply full = list(kGalleryFull + "/album/2", 0, again.json["data"]["syncExtraInfo"]);
    for (const Json& image : full.data()["content"]) {
      EXPECT_NE(image["id"], second["id"]) << c.what;
    }
  }
  // Tombstones dropped past their limit cannot be listed: a listing from
  // before them starts again.
  CloudReply current = list(kGalleryFull + "/album/2", 0);
  localcloud::GalleryLimits limits;
  limits.maxDeletedImages = 0;
  server_->gallery().records().setLimits(limits);
  Json third = upload(2, "third screenshot");
  ASSERT_EQ(server_->gallery().deleteImage(kGalleryUser, third["id"], false).outcome,
            localcloud::GalleryStore::Outcome::Applied);
  EXPECT_EQ(list(kGalleryFull + "/album/2", current.data()["syncTag"], current.data()["syncExtraInfo"]).code(),
            52000);

  // The user-wide listing holds albums and images.
  CloudReply everything = cloud_->get(kGalleryFull, {{"syncTag", "0"}, {"limit", "2"}, {"returnHiddenData", "0"}});
  ASSERT_EQ(everything.code(), 0) << everything.json;
  EXPECT_EQ(everything.data()["list"].size() + everything.data()["content"].size(), 2u);
  EXPECT_EQ(everything.data()["lastPage"], false);
}

TEST_F(GalleryTest, AlbumsAreMadeRenamedAndDeleted) {
  CloudReply made = createAlbum("Family", "local-album-1");
  ASSERT_EQ(made.code(), 0) << made.json;
  Json album = made.data()["content"];
  EXPECT_EQ(album["name"], "Family");
  EXPECT_EQ(album["status"], 1);
  EXPECT_EQ(createAlbum("Family", "local-album-1").data()["content"]["id"], album["id"])
      << "a creation sent again makes no second album";
  const std::string id = std::to_string(album["id"].get<std::int64_t>());
  const std::string path = kGalleryFull + "/album/" + id;
  auto rename = [&](const std::string& albumPath, const std::string& name, std::int64_t tag) {
    Json data{{"content", {{"fileName", name}, {"type", "group"}, {"tag", tag}}}};
    return cloud_->post(albumPath, {{"data", data.dump()}, {"ckey", "local-album-1"}});
  };
  Json renamed = rename(path, "Family 2", album["tag"]).data()["content"];
  EXPECT_EQ(renamed["name"], "Family 2");
  EXPECT_EQ(rename(path, "Stale", album["tag"]).data()["content"]["name"], "Family 2")
      << "a stale tag changes nothing";
  const CloudReply before = list(kGalleryFull + "/album", 0);
  Json photo = upload(album["id"], "family photo");
  const Json listed = list(kGalleryFull + "/album", 0).data()["list"];
  EXPECT_EQ(listed[2]["totalImageCount"], 1);
  // Its cover is the photo's thumbnail as the thumbnail request hands it
  // out, the size of the grid's largest cell at 3x; an empty album has none.
  const std::string photoId = std::to_string(photo["id"].get<std::int64_t>());
  CloudReply cover = cloud_->get(kBase + "/thumbnails",
                                 {{"ids", photoId}, {"width", "450"}, {"height", "450"}, {"retry", "0"}});
  EXPECT_EQ(listed[2]["thumbnailUrls"], Json::array({cover.data()["content"][photoId]["data"]}));
  EXPECT_EQ(listed[2]["thumbnailOrientations"], Json::array({1})) << "uploaded with no orientation";
  EXPECT_FALSE(listed[0].contains("thumbnailUrls"));
  EXPECT_FALSE(listed[0].contains("thumbnailOrientations"));
  // The photo changed the album's record (count, size, cover): it has a new
  // tag, so the listing from before the photo reports it again.
  EXPECT_GT(listed[2]["tag"].get<std::int64_t>(), renamed["tag"].get<std::int64_t>());
  const CloudReply since = list(kGalleryFull + "/album", before.data()["syncTag"].get<std::int64_t>(),
                                before.data()["syncExtraInfo"].get<std::string>());
  ASSERT_TRUE(since.data().contains("list")) << since.json;
  EXPECT_EQ(since.data()["list"], Json::array({listed[2]}));

  struct Case {
    const char* what;
    std::string path;
    Params params;
    int code;
  };
  const std::string albumTag = std::to_string(listed[2]["tag"].get<std::int64_t>());
  const Case refused[] = {
      {"renaming a system album", kGalleryFull + "/album/1", {}, 400},
      {"deleting a system album", kGalleryFull + "/album/2/delete", {{"ckey", "2"}, {"tag", "2"}}, 400},
      {"a ckey of another album", path + "/delete", {{"ckey", "1"}, {"tag", albumTag}}, 400},
      {"no tag", path + "/delete", {{"ckey", id}}, 400},
      {"an unknown album", kGalleryFull + "/album/999/delete", {{"ckey", "999"}, {"tag", "1"}}, 404},
  };
  for (const Case& c : refused) {
    CloudReply reply = c.params.empty() ? rename(c.path, "X", 1) : cloud_->post(c.path, c.params);
    EXPECT_EQ(reply.code(), c.code) << c.what << ": " << reply.json;
  }
  CloudReply deleted = cloud_->post(path + "/delete", {{"ckey", id}, {"tag", albumTag}});
  ASSERT_EQ(deleted.code(), 0) << deleted.json;
  EXPECT_EQ(deleted.data()["content"]["status"], 2);
  // Its images went with it.
  EXPECT_EQ(list(path, 0).code(), 404);
  EXPECT_EQ(download(photo["id"]), "code 404");
  EXPECT_EQ(requestUpload(album["id"].get<std::int64_t>(), "late photo").code(), 404);
  EXPECT_NE(createAlbum("Family", "local-album-1").data()["content"]["id"], album["id"]);
}

// An album lists with its cover addresses the orientation each photo was
// uploaded with, in the same order (newest first), so the app can turn
// each thumbnail upright; a photo sent with none, or with a value that is
// no orientation, is 1.
TEST_F(GalleryTest, CoversAreListedWithTheOrientationTheirPhotosWereSentWith) {
  const std::int64_t album = createAlbum("Trip", "local-album-2").data()["content"]["id"];
  const std::vector<std::pair<std::string, Json>> sent = {
      {"oldest", Json{{"orientation", 3}}},
      {"no exif", Json()},
      {"not a number", Json{{"orientation", "6"}}},
      {"out of range", Json{{"orientation", 9}}},
      {"mirrored", Json{{"orientation", 5}}},
      {"newest", Json{{"orientation", 8}, {"make", "Phone"}}},
  };
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const auto& [file, exif] = sent[i];
    Json photo = content(album, file, "IMG_" + std::to_string(i) + ".JPG");
    if (!exif.is_null()) photo["exifInfo"] = exif;
    CloudReply asked = requestUpload(Json{{"content", photo}, {"block_infos", blockInfos(file)}},
                                     "asset-" + std::to_string(i));
    ASSERT_EQ(asked.code(), 0) << asked.json;
    const Json& up = asked.data();
    ASSERT_EQ(commit(up["content"]["id"], up["kss"]["file_meta"], sendBlocks(up, file)).code(), 0) << file;
    ids.push_back(std::to_string(up["content"]["id"].get<std::int64_t>()));
  }
  const Json listed = list(kGalleryFull + "/album", 0).data()["list"];
  Json trip;
  for (const Json& each : listed) {
    if (each["id"] == album) trip = each;
  }
  ASSERT_TRUE(trip.is_object()) << listed;
  ASSERT_EQ(trip["thumbnailUrls"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NE(trip["thumbnailUrls"][i].get<std::string>().find("/" + ids[ids.size() - 1 - i] + "/"),
              std::string::npos)
        << i;
  }
  EXPECT_EQ(trip["thumbnailOrientations"], Json::array({8, 5, 1}));
  // The whole gallery's listing names them the same.
  CloudReply everything = cloud_->get(kGalleryFull, {{"syncTag", "0"}, {"returnHiddenData", "0"}});
  for (const Json& each : everything.data()["list"]) {
    if (each["id"] == album) {
      EXPECT_EQ(each["thumbnailOrientations"], Json::array({8, 5, 1}));
    }
  }
}

TEST_F(GalleryTest, BatchDeletionReportsWhatItCouldNotDelete) {
  Json kept = upload(1, "photo one");
  Json gone = upload(1, "photo two");
  Json content = Json::array({{{"id", gone["id"]}, {"tag", gone["tag"]}},
                              {{"id", kept["id"]}, {"tag", 1}},  // stale
                              {{"id", 424242}, {"tag", 1}}});
  CloudReply first = cloud_->post(kGalleryFull + "/image/batchdelete", {{"content", content.dump()}});
  ASSERT_EQ(first.code(), 0) << first.json;
  EXPECT_EQ(first.data()["fail"], Json::array({{{"id", kept["id"]}, {"tag", kept["tag"]}},
                                               {{"id", 424242}, {"tag", 1}}}));
  // A further pass with the cloud's tags deletes; a deleted one stays deleted.
  CloudReply second = cloud_->post(
      kGalleryFull + "/image/batchdelete",
      {{"content", Json::array({first.data()["fail"][0], {{"id", gone["id"]}, {"tag", 0}}}).dump()}});
  EXPECT_EQ(second.data()["fail"], Json::array());
  for (const std::string& bad : {std::string("[]"), std::string("{}"), std::string("[{\"id\": \"1\"}]"),
                                 Json(std::vector<Json>(51, {{"id", 1}, {"tag", 1}})).dump()}) {
    EXPECT_EQ(cloud_->post(kGalleryFull + "/image/batchdelete", {{"content", bad}}).code(), 400) << bad;
  }
}

TEST_F(GalleryTest, CommitsKeepNothingPartial) {
  const std::string file = pattern(KssNode::kBlockSize + 10, 5);
  CloudReply asked = requestUpload(1, file);
  ASSERT_EQ(asked.code(), 0) << asked.json;
  const Json& up = asked.data();
  const std::int64_t id = up["content"]["id"];
  const std::string fileMeta = up["kss"]["file_meta"];
  Json commits = sendBlocks(up, file);
  CloudReply other = requestUpload(1, "another file");
  struct Case {
    const char* what;
    std::int64_t id;
    std::string fileMeta;
    Json commits;
    int code;
  };
  const Case refused[] = {
      {"a block missing", id, fileMeta, Json::array({commits[0]}), 400},
      {"a block not received", other.data()["content"]["id"], other.data()["kss"]["file_meta"],
       Json::array({{{"commit_meta", "made-up"}}}), 400},
      {"another upload's file_meta", id, other.data()["kss"]["file_meta"], commits, 400},
      {"an unknown image", 777777, fileMeta, commits, 404},
  };
  for (const Case& c : refused) {
    EXPECT_EQ(commit(c.id, c.fileMeta, c.commits).code(), c.code) << c.what;
  }
  EXPECT_EQ(list(kGalleryFull + "/album/1", 0).data()["content"], Json::array());
  EXPECT_EQ(commit(id, fileMeta, commits).code(), 0) << "the refusals spoiled nothing";

  // Blocks that are each right but do not make the declared file.
  const std::string a = "block of a";
  Json lying{{"content", content(1, a, "LIE.JPG")}, {"block_infos", blockInfos("block of b")}};
  lying["content"]["size"] = 10;
  CloudReply liar = requestUpload(lying);
  ASSERT_EQ(liar.code(), 0) << liar.json;
  Json liarCommits = sendBlocks(liar.data(), "block of b");
  EXPECT_EQ(commit(liar.data()["content"]["id"], liar.data()["kss"]["file_meta"], liarCommits).code(),
            400);
  EXPECT_EQ(list(kGalleryFull + "/album/1", 0).data()["content"].size(), 1u);
}

TEST_F(GalleryTest, MalformedUploadRequestsAreRefused) {
  const std::string file = pattern(KssNode::kBlockSize + 1, 1);
  const Json good{{"content", content(1, file, "A.JPG")}, {"block_infos", blockInfos(file)}};
  auto with = [&good](const std::string& key, const Json& value) {
    Json data = good;
    if (value.is_null()) {
      data["content"].erase(key);
    } else {
      data["content"][key] = value;
    }
    return data;
  };
  Json tooMany = good;
  tooMany["block_infos"].push_back(good["block_infos"][1]);
  Json tooFew = good;
  tooFew["block_infos"].erase(1);
  Json wrongSize = good;
  wrongSize["block_infos"][1]["size"] = 2;
  Json upperMd5 = good;
  upperMd5["block_infos"][0]["md5"] = "ABCDEF0123456789ABCDEF0123456789";
  struct Case {
    const char* what;
    Json data;
    int code;
  };
  const Case cases[] = {
      {"no album", with("groupId", nullptr), 400},
      {"an unknown album", with("groupId", 999), 404},
      {"an album as text", with("groupId", "1"), 400},
      {"no sha1", with("sha1", nullptr), 400},
      {"an upper-case sha1", with("sha1", std::string(40, 'A')), 400},
      {"a size of 0", with("size", 0), 400},
      {"a size beyond 2 GiB", with("size", 2LL * 1024 * 1024 * 1024 + 1), 400},
      {"another type", with("type", "audio"), 400},
      {"no file name", with("fileName", nullptr), 400},
      {"a path for a file name", with("fileName", "../x.jpg"), 400},
      {"a NUL in a file name", with("fileName", std::string("x\0.jpg", 6)), 400},
      {"too long a file name", with("fileName", std::string(252, 'x') + ".jpg"), 400},
      {"a date as text", with("dateTaken", "yesterday"), 400},
      {"exif that is no object", with("exifInfo", Json::array()), 400},
      {"too long a content", with("note", std::string(70000, 'n')), 400},
      {"a block too many", tooMany, 400},
      {"a block too few", tooFew, 400},
      {"a block of the wrong size", wrongSize, 400},
      {"an upper-case md5", upperMd5, 400},
      {"no content", Json{{"block_infos", good["block_infos"]}}, 400},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(requestUpload(c.data).code(), c.code) << c.what;
  }
  EXPECT_EQ(requestUpload(good, "").code(), 400) << "no ckey";
  EXPECT_EQ(cloud_->post(kGalleryFull, {{"data", good.dump()}, {"ckey", "k"}, {"isUbiImage", "2"}}).code(), 400);
  EXPECT_EQ(cloud_->post(kGalleryFull, {{"data", "[1]"}, {"ckey", "k"}}).code(), 400);
  EXPECT_EQ(requestUpload(good).code(), 0) << "none of that spoiled a good request";
  // A backslash is a character of a file name like any other (Linux names
  // hold it), in a name of 255 bytes too.
  for (const std::string& name : std::vector<std::string>{"IMG\\1.JPG", "\\", std::string(251, 'x') + ".jpg"}) {
    const CloudReply reply = requestUpload(with("fileName", name));
    EXPECT_EQ(reply.code(), 0) << name;
  }
}

TEST_F(GalleryTest, RecordsAreTheirUsersAndBoundedPerUser) {
  Json mine = upload(1, "my photo");
  SignedClient other = signedClient(tokenWithKey(6102, "lumora", kTestKey));
  const std::string theirs = "/lum/gallery/v3/user/6102/full";
  const std::string id = std::to_string(mine["id"].get<std::int64_t>());
  EXPECT_EQ(other.get(theirs + "/" + id + "/storage", {{"retry", "0"}}).code(), 404);
  EXPECT_EQ(other.post(theirs + "/" + id + "/delete",
                       {{"data", Json{{"content", Json::object()}}.dump()}, {"ckey", id}})
                .code(),
            404);
  EXPECT_EQ(other.get(kGalleryFull + "/album/1", {{"syncTag", "0"}}).code(), 403) << "another user's path";
  EXPECT_EQ(other.get(theirs + "/album/1", {{"syncTag", "0"}}).data()["content"], Json::array());

  localcloud::GalleryLimits limits;
  limits.maxImagesPerAlbum = 2;
  limits.maxImages = 3;
  limits.maxAlbums = 3;
  server_->gallery().records().setLimits(limits);
  upload(1, "second photo");
  EXPECT_EQ(requestUpload(1, "third photo").code(), GalleryService::kAlbumFull);
  upload(2, "a screenshot");
  EXPECT_EQ(requestUpload(2, "one too many").code(), GalleryService::kGalleryFull);
  EXPECT_EQ(createAlbum("one", "a").code(), 0);
  EXPECT_EQ(createAlbum("two", "b").code(), GalleryService::kGalleryFull);

  limits.maxImages = 100;
  limits.maxBytes = 42;  // the three stored photos take 32
  server_->gallery().records().setLimits(limits);
  EXPECT_EQ(requestUpload(2, "eleven bytes").code(), GalleryService::kSpaceFull);
  EXPECT_EQ(requestUpload(2, "ten bytes!").code(), 0) << "exactly at the byte limit";
}

TEST_F(GalleryTest, ThumbnailsArePhotosScaledDown) {
  ASSERT_EQ(vips_init("gallery-test"), 0);
  void* jpeg = nullptr;
  std::size_t length = 0;
  vips::VImage::black(400, 300).write_to_buffer(".jpg", &jpeg, &length);
  const std::string photoBytes(static_cast<const char*>(jpeg), length);
  g_free(jpeg);
  const std::string photo = std::to_string(upload(1, photoBytes)["id"].get<std::int64_t>());
  const std::string video =
      std::to_string(upload(1, "not a picture", "V.MOV", "video")["id"].get<std::int64_t>());

  CloudReply asked = cloud_->get(kBase + "/thumbnails", {{"ids", photo + "," + video + ",999999"},
                                                        {"width", "100"}, {"height", "100"},
                                                        {"retry", "0"}});
  ASSERT_EQ(asked.code(), 0) << asked.json;
  ASSERT_EQ(asked.data()["content"].size(), 1u) << "only photos of the caller";
  ASSERT_EQ(asked.data()["content"][photo]["isUrl"], true);
  const std::string url = asked.data()["content"][photo]["data"];
  auto got = client()->Get(url.substr(server_->url().size()));
  ASSERT_TRUE(got);
  ASSERT_EQ(got->status, 200) << got->body;
  vips::VImage thumbnail = vips::VImage::new_from_buffer(got->body, "");
  EXPECT_EQ(thumbnail.width(), 100);
  EXPECT_EQ(thumbnail.height(), 75);
  std::string forged = url.substr(server_->url().size());
  forged.back() = forged.back() == '0' ? '1' : '0';
  EXPECT_EQ(client()->Get(forged)->status, 404);

  // A photo stored on its side (64 x 48, shown 48 x 64 by its EXIF) comes
  // as stored and without the tag, for the app turns it by the orientation
  // its backup sent; it fits the box once turned.
  const platform::Bytes onItsSide = testsupport::readFile(testsupport::mediaSamplePath("photo.jpg"));
  const std::string sideways =
      std::to_string(upload(1, std::string(onItsSide.begin(), onItsSide.end()))["id"].get<std::int64_t>());
  asked = cloud_->get(kBase + "/thumbnails", {{"ids", sideways}, {"width", "100"}, {"height", "40"}, {"retry", "0"}});
  ASSERT_EQ(asked.code(), 0) << asked.json;
  got = client()->Get(asked.data()["content"][sideways]["data"].get<std::string>().substr(server_->url().size()));
  ASSERT_TRUE(got);
  ASSERT_EQ(got->status, 200) << got->body;
  thumbnail = vips::VImage::new_from_buffer(got->body, "");
  EXPECT_EQ(thumbnail.width(), 40);
  EXPECT_EQ(thumbnail.height(), 30);
  EXPECT_EQ(thumbnail.get_typeof(VIPS_META_ORIENTATION), 0u);

  // A small file whose header claims 60000 x 60000 pixels: refused from
  // its header, never decoded.
  vips::VImage::black(16, 16).write_to_buffer(".jpg", &jpeg, &length);
  std::string huge(static_cast<const char*>(jpeg), length);
  g_free(jpeg);
  const std::size_t frame = huge.find("\xff\xc0");
  ASSERT_NE(frame, std::string::npos);
  for (std::size_t at : {frame + 5, frame + 7}) huge.replace(at, 2, "\xea\x60");
  const std::string hugeId = std::to_string(upload(1, huge)["id"].get<std::int64_t>());
  asked = cloud_->get(kBase + "/thumbnails",
                      {{"ids", hugeId}, {"width", "100"}, {"height", "100"}, {"retry", "0"}});
  ASSERT_EQ(asked.code(), 0) << asked.json;
  const std::string hugeUrl = asked.data()["content"][hugeId]["data"];
  EXPECT_EQ(client()->Get(hugeUrl.substr(server_->url().size()))->status, 415);

  for (const Params& bad : {Params{{"ids", "1,2,3,4,5,6,7,8,9,10,11"}, {"width", "9"}, {"height", "9"}},
                            Params{{"ids", photo}, {"width", "0"}, {"height", "9"}},
                            Params{{"ids", photo + ",x"}, {"width", "9"}, {"height", "9"}}}) {
    EXPECT_EQ(cloud_->get(kBase + "/thumbnails", bad).code(), 400) << bad.at("ids");
  }
}

TEST_F(GalleryTest, ThumbnailsAreDecodedAtTheirSizeOrNotAtAll) {
  // A photo is decoded at the thumbnail's size where its format allows (a
  // baseline JPEG: libjpeg's scaled decoding), so even one of 99 megapixels
  // is cheap. Photos were decoded at up to their full size whenever that
  // was under the source bound (16 thumbnails of 4096 x 4096 at once took
  // 20 s of CPU and 958 MB); now what is decoded is held to a smaller
  // bound, which a photo decoded whole (a progressive JPEG, a PNG) meets
  // only when small. An SVG is no photo.
  if (testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "decoding tens of megapixels takes minutes under the sanitizer";
  }
  ASSERT_EQ(vips_init("gallery-test"), 0);
  const auto encoded = [](const vips::VImage& image, const char* suffix, vips::VOption* options = nullptr) {
    void* bytes = nullptr;
    std::size_t length = 0;
    image.write_to_buffer(suffix, &bytes, &length, options);
    std::string file(static_cast<const char*>(bytes), length);
    g_free(bytes);
    return file;
  };
  // A small JPEG whose frame header (`marker`) claims width x height.
  const auto claiming = [](std::string jpeg, const char* marker, int width, int height) {
    const std::size_t frame = jpeg.find(marker, 0, 2);
    if (frame == std::string::npos) return std::string();
    const auto put = [&](std::size_t at, int value) {
      jpeg[at] = static_cast<char>(value >> 8);
      jpeg[at + 1] = static_cast<char>(value & 0xff);
    };
    put(frame + 5, height);
    put(frame + 7, width);
    return jpeg;
  };
  const vips::VImage tiny = vips::VImage::black(16, 16);
  const std::string huge = claiming(encoded(tiny, ".jpg"), "\xff\xc0", 9900, 10000);
  struct Case {
    const char* what;
    std::string photo;
    const char* width;
    const char* height;
    int status;
  };
  const Case cases[] = {
      {"a baseline JPEG of 99 megapixels, small", huge, "120", "120", 200},
      {"the same, full screen on the largest phone", huge + " ", "1656", "2944", 200},
      {"the same, at 4096 x 4096", huge + "  ", "4096", "4096", 415},
      {"a progressive JPEG of 20 megapixels",
       claiming(encoded(tiny, ".jpg", vips::VImage::option()->set("interlace", true)), "\xff\xc2", 5000, 4000),
       "120", "120", 415},
      {"a PNG of 20 megapixels",
       encoded(vips::VImage::black(5000, 4000), ".png", vips::VImage::option()->set("compression", 1)), "120", "120", 415},
      {"a PNG of 0.12 megapixels", encoded(vips::VImage::black(400, 300) + 90, ".png"), "120", "120", 200},
      {"an SVG", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"300\"><rect width=\"400\" "
                 "height=\"300\"/></svg>",
       "120", "120", 415},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    ASSERT_FALSE(each.photo.empty());
    const std::string id = std::to_string(upload(1, each.photo)["id"].get<std::int64_t>());
    CloudReply asked = cloud_->get(kBase + "/thumbnails",
                                   {{"ids", id}, {"width", each.width}, {"height", each.height}, {"retry", "0"}});
    ASSERT_EQ(asked.code(), 0) << asked.json;
    const std::string url = asked.data()["content"][id]["data"];
    auto got = client()->Get(url.substr(server_->url().size()));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->status, each.status) << got->body;
  }
}

// What the process's thumbnails decode at once is held to one photo of the
// decoding bound: of two photos decoded whole (PNGs of 9 megapixels) asked
// for at the same time, the second waits until the first is made; both
// are made.
TEST_F(GalleryTest, ThumbnailsDecodeAtMostOnePhotoOfTheBoundAtOnce) {
  if (testsupport::kUnderThreadSanitizer) {
    GTEST_SKIP() << "decoding tens of megapixels takes minutes under the sanitizer";
  }
  ASSERT_EQ(vips_init("gallery-test"), 0);
  void* bytes = nullptr;
  std::size_t length = 0;
  (vips::VImage::black(3000, 3000) + 90)
      .cast(VIPS_FORMAT_UCHAR)
      .write_to_buffer(".png", &bytes, &length, vips::VImage::option()->set("compression", 1));
  const std::string png(static_cast<const char*>(bytes), length);
  g_free(bytes);
  std::vector<std::string> urls;
  for (const std::string& photo : {png, png + " "}) {
    const std::string id = std::to_string(upload(1, photo, "IMG.PNG")["id"].get<std::int64_t>());
    CloudReply asked =
        cloud_->get(kBase + "/thumbnails", {{"ids", id}, {"width", "120"}, {"height", "120"}, {"retry", "0"}});
    ASSERT_EQ(asked.code(), 0) << asked.json;
    urls.push_back(asked.data()["content"][id]["data"].get<std::string>().substr(server_->url().size()));
  }

  // The first decoding goes on once the second has come: beside it, or
  // waiting for its turn.
  using localcloud::GalleryThumbnails;
  std::atomic<std::uint64_t> most{0};
  std::atomic<int> begun{0};
  GalleryThumbnails::setDecodingHookForTesting([&] {
    const std::uint64_t decoding = GalleryThumbnails::decodingForTesting().pixels;
    std::uint64_t seen = most.load();
    while (seen < decoding && !most.compare_exchange_weak(seen, decoding)) {
    }
    if (begun.fetch_add(1) > 0) return;
    const auto until = std::chrono::steady_clock::now() + testsupport::scaled(std::chrono::seconds(30));
    while (begun.load() < 2 && GalleryThumbnails::decodingForTesting().waiting == 0 &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::yield();
    }
  });
  struct Unhook {
    ~Unhook() { GalleryThumbnails::setDecodingHookForTesting(nullptr); }
  } unhook;
  std::vector<int> statuses(urls.size());
  std::vector<std::thread> askers;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    askers.emplace_back([&, i] {
      auto got = client()->Get(urls[i]);
      statuses[i] = got ? got->status : -1;
    });
  }
  for (auto& asker : askers) asker.join();
  EXPECT_EQ(statuses, (std::vector<int>{200, 200}));
  EXPECT_EQ(begun.load(), 2);
  EXPECT_EQ(most.load(), 9'000'000u) << "two photos decoded at once";
}

}  // namespace
}  // namespace servertest
