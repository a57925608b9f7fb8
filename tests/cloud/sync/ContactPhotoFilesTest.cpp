// Contact photo files over a scripted file service: how a picture is cut
// into encrypted chunks, what is never sent, and how a download is fetched
// (temporary link or block storage) and checked before it is taken.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "cloud/sync/ScriptedContactAdapter.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"
#include "cloud/passport/QBPassportsManager.h"
#include "platform/media/Image.h"
#include "platform/http/TestServer.h"
#include "support/TestMedia.h"
#include "utils/MD5.h"
#include "utils/RC4.h"
#include "utils/SHA1.h"
#include "utils/ServiceHosts.h"

namespace {

using namespace scriptedcloud;
using platform::Bytes;
namespace ab = platform::addressbook;

constexpr std::size_t kChunk = LMContactSyncAdapter::kPhotoChunkSize;
const std::string kFileURL = "http://127.0.0.1:1/lum/file/v2/user/10001/full";

// A JPEG padded with zeros to exactly `size` bytes (decoders stop at its end).
Bytes jpegOfSize(std::size_t size) {
  Bytes data = testsupport::makeJpeg(8, 8);
  data.resize(std::max(size, data.size()), 0);
  return data;
}

struct Finished {
  int calls = 0;
  std::optional<std::string> fileId;
  std::optional<std::string> digest;
  std::uint64_t bytes = 0;
  std::optional<Error> error;
};

class ContactPhotoFilesTest : public recordstoretest::AddressBookFixture {
 protected:
  ContactPhotoFilesTest() {
    clock_->setAutoAdvanceSleeps(true);  // the file requests' minimum time
    ServiceHosts::setAll("http://127.0.0.1:1");
    QBPassportsManager::sharedManager()->setUserId("10001");
    adapter->setHostList(std::nullopt);
  }
  ~ContactPhotoFilesTest() override {
    QBPassportsManager::sharedManager()->setUserId(std::nullopt);
    ServiceHosts::reset();
  }

  ab::Record personWithPicture(const Bytes& picture) {
    ab::Record made = person(local(), "Pictured");
    EXPECT_TRUE(made.setImageData(picture).ok());
    EXPECT_TRUE(book_->save().ok());
    return made;
  }

  Finished upload(const ab::Record& made) {
    Finished finished;
    adapter->requestUploadPhotoWithContact(made, false, [&](const auto& fileId, const auto& digest,
                                                            std::uint64_t bytes, const auto& error) {
      ++finished.calls;
      finished.fileId = fileId;
      finished.digest = digest;
      finished.bytes = bytes;
      finished.error = error;
    });
    return finished;
  }

  std::shared_ptr<ScriptedAdapter> adapter = std::make_shared<ScriptedAdapter>();
};

TEST_F(ContactPhotoFilesTest, APictureGoesInChunksOfFourMebibytesAfterTheLookUpByDigest) {
  struct Case {
    std::size_t size;
    std::vector<Json> replies;  // after the look-up
  };
  const Json goesOn{{"code", 0}, {"data", {{"tmpid", "T1"}, {"_hostingserver", "H1"}}}};
  const Json stored{{"code", 0}, {"data", {{"fileId", "F1"}}}};
  for (const Case& c : {Case{kChunk, {stored}}, Case{kChunk + 1, {goesOn, stored}}}) {
    SCOPED_TRACE(c.size);
    adapter->sent.clear();
    adapter->replies = {Json{{"code", 0}, {"data", Json::object()}}};
    for (const Json& reply : c.replies) adapter->replies.push_back(reply);
    const Bytes picture = jpegOfSize(c.size);
    const Finished finished = upload(personWithPicture(picture));
    EXPECT_EQ(finished.calls, 1);
    EXPECT_EQ(finished.fileId, "F1");
    EXPECT_EQ(finished.digest, lumora::sha1String(picture));
    EXPECT_EQ(finished.bytes, 0u);  // sent as stored: nothing written into the person

    ASSERT_EQ(adapter->sent.size(), 1 + c.replies.size());
    EXPECT_EQ(adapter->sent[0].url, kFileURL + "/digest");
    EXPECT_EQ(adapter->sent[0].parameters, (Json{{"type", "ico"}, {"digest", *finished.digest}}));
    Bytes received;
    for (std::size_t i = 1; i < adapter->sent.size(); ++i) {
      const Sent& chunk = adapter->sent[i];
      const bool last = i + 1 == adapter->sent.size();
      ASSERT_TRUE(chunk.part);
      EXPECT_EQ(chunk.part->name, "uploadfile0");
      EXPECT_EQ(chunk.part->fileName, "tmp.jpg");
      const std::string hint = chunk.parameters.value("ckeyhint", "");
      ASSERT_FALSE(hint.empty());
      const Bytes plain = *lumora::rc4DataWithKey(chunk.part->data, lumora::MD5Data(hint));
      received.insert(received.end(), plain.begin(), plain.end());
      Json expected{{"type", "ico"}, {"st", last ? "2" : "1"}, {"ckeyhint", hint}};
      if (last) {
        expected["ext"] = ".jpg";
        expected["digest"] = *finished.digest;
      }
      if (i == 1) {
        EXPECT_EQ(chunk.url, kFileURL);
      } else {
        EXPECT_EQ(chunk.url, kFileURL + "/more");
        expected.update(Json{{"tmpid", "T1"}, {"_hostingserver", "H1"}, {"offset", std::to_string(kChunk)}});
      }
      EXPECT_EQ(chunk.parameters, expected);
    }
    EXPECT_EQ(received, picture);
  }

  // Content the cloud holds already: found by its digest, nothing sent.
  adapter->sent.clear();
  adapter->replies = {stored};
  const Finished known = upload(personWithPicture(jpegOfSize(100)));
  EXPECT_EQ(known.fileId, "F1");
  EXPECT_EQ(adapter->sent.size(), 1u);

  // A last chunk answered without a file id is a failed upload.
  adapter->replies = {Json{{"code", 0}, {"data", Json::object()}}, Json{{"code", 0}, {"data", Json::object()}}};
  const Finished lost = upload(personWithPicture(jpegOfSize(200)));
  EXPECT_EQ(lost.calls, 1);
  ASSERT_TRUE(lost.error);
  EXPECT_EQ(lost.error->code(), kLMServerErrorUnknownReply);
}

TEST_F(ContactPhotoFilesTest, APictureTheCloudCannotTakeIsRefusedOnceWithoutARequest) {
  struct Case {
    const char* what;
    Bytes picture;
    std::string domain;
    std::int64_t code;
  };
  const Case cases[] = {
      {"20 MiB", jpegOfSize(LMContactSyncAdapter::kPhotoSizeLimit), kLMServerErrorDomain, 80004},
      {"no picture at all", platform::toBytes("not a picture, whatever it claims"), platform::kImageErrorDomain,
       platform::kImageErrorUndecodable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    adapter->sent.clear();
    const ab::Record made = personWithPicture(c.picture);
    const Finished finished = upload(made);
    EXPECT_EQ(finished.calls, 1);
    ASSERT_TRUE(finished.error);
    EXPECT_EQ(finished.error->domain(), c.domain);
    EXPECT_EQ(finished.error->code(), c.code);
    EXPECT_FALSE(finished.fileId);

    // The contact's upload fails with it, carrying the contact, and leaves
    // the ids it had.
    LMContact contact = *LMContact::initWithABRecord(made);
    contact.setPhotoArray(Json::array({Json{{"type", "photo"}, {"value", "OLD"}}}));
    std::optional<Error> failed;
    adapter->requestUploadPhotoWithContact(
        contact, book_.get(), [](std::uint64_t) { ADD_FAILURE() << "succeeded"; },
        [&](const Error& error) { failed = error; });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->code(), c.code);
    EXPECT_TRUE(failed->userInfo().contains("contact"));
    EXPECT_TRUE(LMContactSyncAdapter::isRefusedPhotoError(*failed));
    EXPECT_EQ(contact.photoId, "OLD");
    EXPECT_TRUE(adapter->sent.empty());
  }
}

TEST_F(ContactPhotoFilesTest, AContactsPictureIsSentUprightOnceAndItsIdsFollow) {
  testsupport::TestExif turned;
  turned.orientation = 6;
  const ab::Record made = personWithPicture(testsupport::makeJpeg(40, 20, turned));
  LMContact contact = *LMContact::initWithABRecord(made);
  adapter->replies = {Json{{"code", 0}, {"data", Json::object()}}, Json{{"code", 0}, {"data", {{"fileId", "NEW"}}}}};
  std::uint64_t written = 0;
  adapter->requestUploadPhotoWithContact(
      contact, book_.get(), [&](std::uint64_t bytes) { written = bytes; },
      [](const Error& error) { ADD_FAILURE() << error.description(); });
  // The upright picture replaced the person's, and is what was sent.
  const Bytes now = *made.imageData(ab::ImageFormat::OriginalSize);
  auto shown = platform::Image::imageWithData(now);
  ASSERT_TRUE(shown.ok());
  EXPECT_EQ(shown->orientation(), platform::ImageOrientation::Up);
  EXPECT_EQ(shown->width(), 20);
  EXPECT_EQ(written, now.size());
  EXPECT_EQ(contact.photoId, "NEW");
  EXPECT_EQ(contact.photoDigest, lumora::sha1String(now));

  // Unchanged since: nothing is sent and no block is called.
  const std::size_t sent = adapter->sent.size();
  adapter->requestUploadPhotoWithContact(
      contact, book_.get(), [](std::uint64_t) { ADD_FAILURE() << "called"; },
      [](const Error&) { ADD_FAILURE() << "called"; });
  EXPECT_EQ(adapter->sent.size(), sent);
}

TEST_F(ContactPhotoFilesTest, ADownloadIsTakenOnlyWhenItsSha1IsTheStoredFilesOne) {
  const Bytes photo = testsupport::makeJpeg(16, 16);
  const std::string sha1 = lumora::sha1String(photo);
  const Bytes key = platform::toBytes("0123456789abcdef");
  const std::string keyHex = "30313233343536373839616263646566";
  std::atomic<int> hits{0};
  testhttp::TestServer files;
  files->Get("/f/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
    ++hits;
    const std::string name = req.matches[1];
    if (name == "photo") return res.set_content(platform::toString(*lumora::rc4DataWithKey(photo, key)), "x/y");
    if (name == "plain") return res.set_content(platform::toString(photo), "x/y");
    res.status = 404;
  });
  files.start();
  const std::string base = files.url("");
  auto viaLink = [&](Json changes) {
    Json mfs{{"ckey", keyHex}, {"fileSha1", sha1}, {"tmpUrl", base + "/f/photo"}};
    if (changes.is_object()) mfs.update(changes);
    return Json{{"fileId", "F"}, {"mfs", mfs}};
  };
  const Json block{{"urls", {base + "/f/photo"}}, {"sha1", sha1}, {"size", photo.size()}};

  struct Case {
    const char* what;
    Outcome reply;                      // of the description request
    std::optional<std::string> digest;  // held here
    enum { Data, Unchanged, Fails } expect;
    int fetches;
  };
  auto described = [](Json description) { return Json{{"code", 0}, {"data", {{"data", description}}}}; };
  const Error offline("NSURLErrorDomain", -1009);
  const Case cases[] = {
      {"link", described(viaLink({})), std::nullopt, Case::Data, 1},
      {"link without key", described(viaLink({{"ckey", nullptr}, {"tmpUrl", base + "/f/plain"}})), std::nullopt,
       Case::Data, 1},
      {"held here already", described(viaLink({})), sha1, Case::Unchanged, 0},
      {"another picture held here", described(viaLink({})), "0000", Case::Data, 1},
      {"SHA-1 not the file's", described(viaLink({{"fileSha1", std::string(40, 'a')}})), std::nullopt, Case::Fails,
       1},
      {"no SHA-1", described(viaLink({{"fileSha1", nullptr}})), std::nullopt, Case::Fails, 1},
      {"wrong key", described(viaLink({{"ckey", "00112233"}})), std::nullopt, Case::Fails, 1},
      {"key not hex", described(viaLink({{"ckey", "0x11zz"}})), std::nullopt, Case::Fails, 0},
      {"link gone", described(viaLink({{"tmpUrl", base + "/f/gone"}})), std::nullopt, Case::Fails, 1},
      {"no link", described(viaLink({{"tmpUrl", nullptr}})), std::nullopt, Case::Fails, 0},
      {"another file", described(Json{{"fileId", "G"}, {"mfs", viaLink({})["mfs"]}}), std::nullopt, Case::Fails, 0},
      {"block storage",
       described(Json{{"fileId", "F"}, {"kss", "kss"}, {"blocks", {block}}, {"secure_key", keyHex}}),
       std::nullopt, Case::Data, 1},
      {"block storage, block not the file's",
       described(Json{{"fileId", "F"}, {"kss", "kss"}, {"blocks", {block}}, {"secure_key", "00112233"}}),
       std::nullopt, Case::Fails, 3},
      {"neither", described(Json{{"fileId", "F"}}), std::nullopt, Case::Fails, 0},
      {"no description", offline, std::nullopt, Case::Fails, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hits = 0;
    adapter->sent.clear();
    adapter->replies = {c.reply};
    std::optional<Bytes> data;
    bool unchanged = false;
    std::optional<Error> failed;
    int calls = 0;
    adapter->requestDownloadContactPhotoWithFileID(
        "F", c.digest,
        [&](const std::optional<Bytes>& got, bool same) {
          ++calls;
          data = got;
          unchanged = same;
        },
        [&](const Error& error) {
          ++calls;
          failed = error;
        });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(hits.load(), c.fetches);
    ASSERT_EQ(adapter->sent.size(), 1u);
    EXPECT_EQ(adapter->sent[0].method, "GET");
    EXPECT_EQ(adapter->sent[0].parameters, (Json{{"fileId", "F"}, {"type", "ico"}, {"retry", "0"}}));
    switch (c.expect) {
      case Case::Data:
        EXPECT_EQ(data, photo);
        break;
      case Case::Unchanged:
        EXPECT_TRUE(unchanged);
        EXPECT_FALSE(data);
        break;
      case Case::Fails:
        EXPECT_TRUE(failed);
        EXPECT_FALSE(data);
        break;
    }
  }

  // A description asked for again says which attempt it is.
  adapter->sent.clear();
  adapter->replies = {Error("NSURLErrorDomain", -1005), described(viaLink({}))};
  adapter->requestDownloadContactPhotoWithFileID("F", std::nullopt, nullptr, nullptr);
  ASSERT_EQ(adapter->sent.size(), 2u);
  EXPECT_EQ(adapter->sent[0].parameters["retry"], "0");
  EXPECT_EQ(adapter->sent[1].parameters["retry"], "1");
}

}  // namespace
