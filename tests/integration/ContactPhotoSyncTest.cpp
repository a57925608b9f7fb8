// Contact photos through full syncs against the local cloud: pictures go up
// in chunks and come down with their contacts, unchanged ones move nothing,
// one the cloud refuses stays here without failing any sync, and a download
// that fails is skipped and fetched by the next sync.
#include "ContactSyncFixture.h"

#include <algorithm>

#include "server/http/FaultInjector.h"
#include "support/TestMedia.h"
#include "utils/SHA1.h"

namespace contactsynctest {
namespace {

using platform::Bytes;

// A JPEG padded with zeros to exactly `size` bytes (decoders stop at its end).
Bytes jpegOfSize(std::size_t size) {
  Bytes data = testsupport::makeJpeg(8, 8);
  data.resize(std::max(size, data.size()), 0);
  return data;
}

class ContactPhotoSyncTest : public ContactSyncCloudTest {
 protected:
  static std::string filePath(const std::string& rest = "") {
    return std::string("/lum/file/v2/user/") + signedtest::kUserIdText + "/full" + rest;
  }
  std::size_t fileCalls() {
    return callsTo(filePath()) + callsTo(filePath("/more")) + callsTo(filePath("/digest"));
  }

  void setPicture(ab::RecordId id, const std::optional<Bytes>& picture) {
    ab::Record person = book_->personWithId(id);
    ASSERT_TRUE(person);
    ASSERT_TRUE((picture ? person.setImageData(*picture) : person.removeImageData()).ok());
    ASSERT_TRUE(book_->save().ok());
  }
  ab::RecordId addPersonWithPicture(const std::string& given, const std::string& family, const Bytes& picture) {
    const ab::RecordId id = addPerson(contactNamed(given, family));
    setPicture(id, picture);
    return id;
  }
  std::optional<Bytes> pictureOf(const std::string& name) {
    auto here = people();
    auto found = here.find(name);
    if (found == here.end()) return std::nullopt;
    auto book = ab::AddressBook::create();
    ab::Record person = (*book)->personWithId(*found->second.recordID);
    return person.hasImageData() ? person.imageData(ab::ImageFormat::OriginalSize) : std::nullopt;
  }

  // The cloud file id of a contact's photo.
  std::optional<std::string> cloudPhotoId(const std::string& name) {
    auto contact = lumora::LMContact::initWithLumoraJSON(cloudContacts()[name]["content"]);
    return contact ? contact->photoId : std::nullopt;
  }
  // A picture stored in the cloud as another phone stores it; its file id.
  std::string storeFile(const Bytes& picture) {
    std::string fileId;
    offMain([&] {
      auto stored = contacts_->requestUploadFileFirstChunkData(picture, ".jpg", lumora::sha1String(picture), true);
      auto reply = stored->result();
      if (reply.ok()) fileId = (*reply)["data"].value("fileId", "");
    });
    EXPECT_FALSE(fileId.empty());
    return fileId;
  }
  std::optional<Bytes> cloudFile(const std::optional<std::string>& fileId) {
    std::optional<Bytes> data;
    if (!fileId) return data;
    offMain([&] {
      contacts_->requestDownloadContactPhotoWithFileID(
          *fileId, std::nullopt, [&](const std::optional<Bytes>& got, bool) { data = got; },
          [](const platform::Error& error) { ADD_FAILURE() << error.description(); });
    });
    return data;
  }
  // Changes a cloud contact as another phone would.
  void changeInCloud(const std::string& name, const std::function<void(Json& content)>& change) {
    Json envelope = cloudContacts()[name];
    Json content = envelope["content"];
    change(content);
    auto changed = server_->contacts().modify(signedtest::kUserId, envelope["content"]["id"], "contact", content,
                                              std::nullopt);
    ASSERT_EQ(changed.outcome, localcloud::ContactStore::Outcome::Applied);
  }
};

TEST_F(ContactPhotoSyncTest, PhotosTravelBothWaysAndAnUnchangedOneMovesNothing) {
  // Up: one byte more than a chunk goes in two.
  const Bytes large = jpegOfSize(lumora::LMContactSyncAdapter::kPhotoChunkSize + 1);
  const ab::RecordId id = addPersonWithPicture("Photo", "Up", large);
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(callsTo(filePath()), 1u);
  EXPECT_EQ(callsTo(filePath("/more")), 1u);
  EXPECT_EQ(cloudFile(cloudPhotoId("Photo Up")), large);
  EXPECT_EQ(pictureOf("Photo Up"), large);

  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(fileCalls() + callsTo(batchPath()), 0u);

  // Changed by another phone: comes down.
  const Bytes theirs = testsupport::makeJpeg(30, 20);
  const std::string theirId = storeFile(theirs);
  changeInCloud("Photo Up", [&](Json& content) {
    content["photos"] = Json::array({Json{{"type", "photo"}, {"value", theirId}}});
  });
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(pictureOf("Photo Up"), theirs);
  EXPECT_EQ(lastReports.counts["localContacts"], (std::vector<std::uint64_t>{0, 1, 0}));

  // Changed here: goes up; removed here: removed in the cloud.
  const Bytes mine = testsupport::makeJpeg(12, 34);
  setPicture(id, mine);
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(cloudFile(cloudPhotoId("Photo Up")), mine);
  EXPECT_EQ(pictureOf("Photo Up"), mine);
  setPicture(id, std::nullopt);
  ASSERT_TRUE(sync().ok());
  EXPECT_FALSE(cloudPhotoId("Photo Up"));
  EXPECT_FALSE(pictureOf("Photo Up"));
}

TEST_F(ContactPhotoSyncTest, APhotoTheCloudRefusesStaysHereAndNoSyncFails) {
  const Bytes huge = jpegOfSize(lumora::LMContactSyncAdapter::kPhotoSizeLimit);
  const ab::RecordId id = addPersonWithPicture("Huge", "Photo", huge);
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(fileCalls(), 0u);  // never sent
  ASSERT_EQ(cloudContacts().count("Huge Photo"), 1u);
  EXPECT_FALSE(cloudPhotoId("Huge Photo"));

  // Not tried again, and neither an edit here nor one in the cloud takes the
  // picture away.
  server_->signedEndpoints().clearJournal();
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(fileCalls() + callsTo(batchPath()), 0u);
  ab::Record person = book_->personWithId(id);
  ASSERT_TRUE(person.setValue(ab::PersonProperty::Note, std::string("edited here")).ok());
  ASSERT_TRUE(book_->save().ok());
  ASSERT_TRUE(sync().ok());
  changeInCloud("Huge Photo", [](Json& content) { content["note"] = "edited there"; });
  ASSERT_TRUE(sync().ok());
  EXPECT_EQ(people()["Huge Photo"].note, "edited there");
  EXPECT_EQ(pictureOf("Huge Photo"), huge);
  EXPECT_EQ(fileCalls(), 0u);
}

TEST_F(ContactPhotoSyncTest, APhotoThatCannotBeFetchedIsSkippedReportedAndFetchedByTheNextSync) {
  // A dropped connection, a file the cloud will not describe, a reply that
  // is no reply: the contact comes without its picture and no sync fails.
  localcloud::Fault dropped;
  dropped.drop = true;
  localcloud::Fault refused;
  refused.code = 404;
  localcloud::Fault garbled;
  garbled.body = "not a reply";
  const localcloud::Fault faults[] = {dropped, refused, garbled};
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    const std::string given = "Later" + std::to_string(i);
    const Bytes picture = testsupport::makeJpeg(20 + static_cast<int>(i), 20);
    const std::string fileId = storeFile(picture);
    lumora::LMContact contact = contactNamed(given, "Photo");
    contact.setPhotoArray(Json::array({Json{{"type", "photo"}, {"value", fileId}}}));
    addCloudContact(contact);

    server_->faults().set(filePath(), faults[i]);
    ASSERT_TRUE(sync().ok()) << i;
    server_->faults().clear(filePath());
    ASSERT_EQ(people().count(given + " Photo"), 1u);
    EXPECT_FALSE(pictureOf(given + " Photo"));
    EXPECT_EQ(std::count(lastReports.progress.begin(), lastReports.progress.end(),
                         lumora::kLMSyncProcessPhotoDownloadFailed),
              1);

    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(pictureOf(given + " Photo"), picture);
    EXPECT_EQ(cloudPhotoId(given + " Photo"), fileId);
    // In step now: nothing more to fetch or send.
    server_->signedEndpoints().clearJournal();
    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(fileCalls() + callsTo(batchPath()), 0u);
  }
}

TEST_F(ContactPhotoSyncTest, EveryWriteWhoseReplyIsLostOnceIsAppliedOnce) {
  // Each seed loses another reply of each writing path (batches of
  // contacts and groups, photo chunks): the cloud applied the write, the
  // client sends it again.
  ab::Record local = book_->sourceWithId(ab::kLocalSourceId);
  std::size_t expected = 0;
  for (int seed = 0; seed < 3; ++seed) {
    const std::string tag = std::to_string(seed);
    auto group = book_->createGroup(local);
    ASSERT_TRUE(group.ok() && group->setName("Group" + tag).ok());
    for (int i = 0; i < 7; ++i) {
      const ab::RecordId id = i % 3 == 0
                                  ? addPersonWithPicture("Lost" + tag, std::to_string(i), testsupport::makeJpeg(8 + i, 8))
                                  : addPerson(contactNamed("Lost" + tag, std::to_string(i)));
      ASSERT_TRUE(group->addMember(book_->personWithId(id)).ok());
    }
    ASSERT_TRUE(book_->save().ok());
    expected += 7;
    for (const std::string& path : {batchPath(), filePath()}) {
      localcloud::Fault lost;
      lost.dropReply = true;
      lost.times = 1;
      lost.skip = seed;
      server_->faults().set(path, lost);
    }
    ASSERT_TRUE(sync().ok()) << seed;
    server_->faults().clearAll();
    ASSERT_TRUE(sync().ok()) << seed;

    std::map<std::string, int> titles;
    for (const auto& record : server_->contacts().records(signedtest::kUserId)) {
      if (record.status == "custom") ++titles[record.type == "group" ? record.content.value("title", "") : ""];
    }
    EXPECT_EQ(titles["Group" + tag], 1) << seed;
    EXPECT_EQ(cloudContacts().size(), expected) << seed;
    EXPECT_EQ(people().size(), expected) << seed;
    for (int i = 0; i < 7; i += 3) {
      EXPECT_TRUE(cloudPhotoId("Lost" + tag + " " + std::to_string(i))) << seed << " " << i;
    }
    // In step: nothing more to send.
    server_->signedEndpoints().clearJournal();
    ASSERT_TRUE(sync().ok());
    EXPECT_EQ(fileCalls() + callsTo(batchPath()), 0u) << seed;
  }
}

TEST_F(ContactPhotoSyncTest, AContactAddedOnBothSidesKeepsTheCloudsPhoto) {
  const Bytes picture = testsupport::makeJpeg(24, 24);
  lumora::LMContact contact = contactNamed("Both", "Sides", "+1 555 0100");
  contact.setPhotoArray(Json::array({Json{{"type", "photo"}, {"value", storeFile(picture)}}}));
  addCloudContact(contact);
  addPerson(contactNamed("Both", "Sides", "+1 555 0100"));  // no picture here
  ASSERT_TRUE(sync().ok());
  ASSERT_EQ(cloudContacts().size(), 1u);
  EXPECT_EQ(cloudFile(cloudPhotoId("Both Sides")), picture);
  EXPECT_EQ(pictureOf("Both Sides"), picture);
}

}  // namespace
}  // namespace contactsynctest
