#include <gtest/gtest.h>

#include <string>

#include "CloudFixture.h"
#include "server/services/Crypto.h"
#include "server/services/FileCrypto.h"
#include "server/services/FileService.h"

namespace servertest {
namespace {

using localcloud::FileService;
namespace crypto = localcloud::crypto;

constexpr const char* kFull = "/lum/file/v2/user/5201/full";
constexpr const char* kMore = "/lum/file/v2/user/5201/full/more";
constexpr const char* kDigest = "/lum/file/v2/user/5201/full/digest";
constexpr std::size_t kChunk = FileService::kChunkSize;

class FileServiceTest : public KeyedCloudTest {
 protected:
  FileServiceTest() : KeyedCloudTest(5201) {}

  // One chunk as the client sends it: RC4 under MD5 of a fresh hint, the
  // hint in "ckeyhint". `more` holds "tmpid", "_hostingserver", "offset"
  // for a further chunk; the last chunk carries "ext" and "digest".
  CloudReply sendChunk(const std::string& plain, bool last, const std::string& digest,
                       Params more = {}) {
    std::string hint = crypto::randomToken(12);
    Params params = std::move(more);
    params["type"] = "ico";
    params["st"] = last ? "2" : "1";
    params["ckeyhint"] = hint;
    if (last) {
      params["ext"] = ".jpg";
      params["digest"] = digest;
    }
    bool first = params.count("tmpid") == 0;
    return cloud_->postFile(first ? kFull : kMore, params, "uploadfile0", "tmp.jpg",
                            rc4(plain, crypto::md5Bytes(hint)));
  }
  static Params continuing(const CloudReply& reply, std::size_t offset) {
    return {{"tmpid", reply.data()["tmpid"]},
            {"_hostingserver", reply.data()["_hostingserver"]},
            {"offset", std::to_string(offset)}};
  }
};

TEST_F(FileServiceTest, ChunkedUploadIsFoundByDigestAndServedEncrypted) {
  // The cipher is standard RC4 (a published test vector), in pieces too.
  EXPECT_EQ(crypto::hexEncode(rc4("Plaintext", "Key")), "bbf316e8d940af0ad3");
  crypto::Rc4Stream pieces("Key");
  std::string joined = pieces.apply("Plain").value_or("");
  joined += pieces.apply("text").value_or("");
  EXPECT_EQ(joined, rc4("Plaintext", "Key"));

  std::string photo = crypto::randomBytes(kChunk + 1000);
  std::string digest = crypto::sha1Hex(photo);
  EXPECT_EQ(cloud_->post(kDigest, {{"type", "ico"}, {"digest", digest}}).data(), Json::object());

  CloudReply first = sendChunk(photo.substr(0, kChunk), false, "");
  ASSERT_EQ(first.code(), 0) << first.json;
  std::string rest = photo.substr(kChunk);
  // A chunk must start where the upload stands.
  EXPECT_EQ(sendChunk(rest, true, digest, continuing(first, kChunk - 1)).code(), 400);
  EXPECT_EQ(sendChunk(rest, true, digest, continuing(first, kChunk + 1)).code(), 400);
  CloudReply last = sendChunk(rest, true, digest, continuing(first, kChunk));
  ASSERT_EQ(last.code(), 0) << last.json;
  std::string fileId = last.data()["fileId"];
  // The last chunk sent again (its reply was lost) gets the same file.
  EXPECT_EQ(sendChunk(rest, true, digest, continuing(first, kChunk)).data()["fileId"], fileId);

  EXPECT_EQ(cloud_->post(kDigest, {{"type", "ico"}, {"digest", digest}}).data()["fileId"], fileId);
  // The same content uploaded again in one request keeps its file id.
  std::string small = "small photo";
  CloudReply single = sendChunk(small, true, crypto::sha1Hex(small));
  ASSERT_EQ(single.code(), 0) << single.json;
  EXPECT_EQ(sendChunk(small, true, crypto::sha1Hex(small)).data()["fileId"],
            single.data()["fileId"]);

  CloudReply described =
      cloud_->get(kFull, {{"fileId", fileId}, {"type", "ico"}, {"retry", "0"}});
  ASSERT_EQ(described.code(), 0) << described.json;
  const Json& description = described.data()["data"];
  EXPECT_EQ(description["fileId"], fileId);
  const Json& mfs = description["mfs"];
  EXPECT_EQ(mfs["fileSha1"], digest);
  std::string url = mfs["tmpUrl"];
  ASSERT_EQ(url.rfind(server_->url() + FileService::kTemporaryPathPrefix, 0), 0u) << url;
  auto body = client()->Get(url.substr(server_->url().size()));
  ASSERT_TRUE(body);
  EXPECT_EQ(body->status, 200);
  ASSERT_EQ(body->body.size(), photo.size());
  EXPECT_EQ(rc4(body->body, *crypto::hexDecode(mfs["ckey"].get<std::string>())), photo);
  // A part of it (a range) is the same part of that key stream.
  auto range = client()->Get(url.substr(server_->url().size()), {{"Range", "bytes=5000-5099"}});
  ASSERT_TRUE(range);
  EXPECT_EQ(range->body, body->body.substr(5000, 100));

  // Files belong to their user.
  SignedClient other = signedClient(tokenWithKey(5202, "lumora", kTestKey));
  std::string otherFull = "/lum/file/v2/user/5202/full";
  EXPECT_EQ(other.get(otherFull, {{"fileId", fileId}, {"type", "ico"}}).code(), 404);
  EXPECT_EQ(other.post(otherFull + "/digest", {{"type", "ico"}, {"digest", digest}}).data(),
            Json::object());
  EXPECT_EQ(client()->Get("/lum/file/tmp/unknown")->status, 404);
}

TEST_F(FileServiceTest, MalformedOversizedAndMismatchedUploadsAreRefused) {
  std::string chunk(kChunk, 'c');
  std::string digest = crypto::sha1Hex("x");
  // 20 MiB is refused once the upload reaches it, and the upload is gone.
  CloudReply first = sendChunk(chunk, false, "");
  ASSERT_EQ(first.code(), 0) << first.json;
  for (std::size_t offset = kChunk; offset < 4 * kChunk; offset += kChunk) {
    ASSERT_EQ(sendChunk(chunk, false, "", continuing(first, offset)).code(), 0);
  }
  CloudReply tooLarge = sendChunk(chunk, true, digest, continuing(first, 4 * kChunk));
  EXPECT_EQ(tooLarge.code(), FileService::kFileTooLarge);
  EXPECT_EQ(sendChunk(chunk, true, digest, continuing(first, 4 * kChunk)).code(), 404);

  // The assembled file must be the one its digest names.
  EXPECT_EQ(sendChunk("abc", true, digest).code(), 400);

  CloudReply open = sendChunk(chunk, false, "");
  Params good = continuing(open, kChunk);
  std::string hint = "hint";
  std::string part = rc4("tail", crypto::md5Bytes(hint));
  Params last{{"type", "ico"}, {"st", "2"}, {"ckeyhint", hint}, {"ext", ".jpg"},
              {"digest", digest}};
  last.insert(good.begin(), good.end());
  auto with = [&last](const std::string& name, const std::string& value) {
    Params params = last;
    if (value.empty()) {
      params.erase(name);
    } else {
      params[name] = value;
    }
    return params;
  };
  struct Case {
    const char* what;
    const char* path;
    Params params;
    std::string partName;
    std::string content;
    int code;
  };
  const Case cases[] = {
      {"no type", kMore, with("type", ""), "uploadfile0", part, 400},
      {"another type", kMore, with("type", "jpg"), "uploadfile0", part, 400},
      {"a bad st", kMore, with("st", "3"), "uploadfile0", part, 400},
      {"no hint", kMore, with("ckeyhint", ""), "uploadfile0", part, 400},
      {"a last chunk without ext", kMore, with("ext", ""), "uploadfile0", part, 400},
      {"a malformed ext", kMore, with("ext", "jpg"), "uploadfile0", part, 400},
      {"an upper-case digest", kMore, with("digest", crypto::sha1Hex("x").substr(0, 39) + "A"),
       "uploadfile0", part, 400},
      {"a short chunk that is not the last", kMore, with("st", "1"), "uploadfile0", part, 400},
      {"another part name", kMore, last, "file", part, 400},
      {"an empty chunk", kMore, last, "uploadfile0", "", 400},
      {"no offset", kMore, with("offset", ""), "uploadfile0", part, 400},
      {"another hosting server", kMore, with("_hostingserver", "elsewhere"), "uploadfile0", part,
       400},
      {"an unknown upload", kMore, with("tmpid", "unknown"), "uploadfile0", part, 404},
  };
  for (const Case& c : cases) {
    CloudReply reply = cloud_->postFile(c.path, c.params, c.partName, "tmp.jpg", c.content);
    EXPECT_EQ(reply.code(), c.code) << c.what << ": " << reply.json;
  }
  EXPECT_EQ(cloud_->post(kDigest, {{"type", "ico"}, {"digest", "abc"}}).code(), 400);
  EXPECT_EQ(cloud_->get(kFull, {{"type", "ico"}, {"fileId", "unknown"}}).code(), 404);
  EXPECT_EQ(cloud_->get(kFull, {{"type", "ico"}, {"fileId", "x"}, {"retry", "-1"}}).code(), 400);
  // None of that spoiled the open upload.
  CloudReply done = sendChunk("tail", true, crypto::sha1Hex(chunk + "tail"), good);
  EXPECT_EQ(done.code(), 0) << done.json;
}

}  // namespace
}  // namespace servertest
