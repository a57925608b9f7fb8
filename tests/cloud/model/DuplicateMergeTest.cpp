// Duplicate search (its five passes and bucket rules) and the batch merge,
// with groups and saves that fail half-way.
#include <map>

#include "cloud/model/LMManagedRecordContext.h"
#include "cloud/model/RecordStoreAddressBookSupport.h"

namespace {

namespace ab = platform::addressbook;
using lumora::LMManagedRecordContext;
using lumora::LMMergeManagedObject;
using P = ab::PersonProperty;
using recordstoretest::multi;

using Texts = std::vector<std::pair<P, std::string>>;
using Values = std::vector<std::string>;

class DuplicateMerge : public recordstoretest::AddressBookFixture {
 protected:
  // A person (unsaved) in `source`, the local source by default.
  ab::Record make(const Texts& texts, const Values& phones = {}, const Values& emails = {},
                  std::size_t photoBytes = 0, const ab::Record& source = ab::Record()) {
    auto created = book_->createPerson(source ? source : local());
    EXPECT_TRUE(created.ok());
    ab::Record p = *created;
    for (const auto& [property, text] : texts) EXPECT_TRUE(p.setValue(property, text).ok());
    auto list = [](const Values& values) {
      ab::MultiValue<std::string> out;
      for (const auto& v : values) out.add(v, std::nullopt);
      return out;
    };
    if (!phones.empty()) {
      EXPECT_TRUE(p.setValue(P::Phone, list(phones)).ok());
    }
    if (!emails.empty()) {
      EXPECT_TRUE(p.setValue(P::Email, list(emails)).ok());
    }
    if (photoBytes > 0) {
      EXPECT_TRUE(p.setImageData(platform::Bytes(photoBytes, static_cast<std::uint8_t>(photoBytes))).ok());
    }
    return p;
  }

  ab::Record named(const std::string& first, const std::string& last, std::size_t photo = 0,
                   const ab::Record& source = ab::Record()) {
    return make({{P::FirstName, first}, {P::LastName, last}}, {}, {}, photo, source);
  }

  // Groups found, as (kind, member ids).
  std::map<std::set<std::int32_t>, std::int32_t> search(const ab::Record& source) {
    std::map<std::set<std::int32_t>, std::int32_t> found;
    auto groups = LMManagedRecordContext::searchForMergeContacts(book_.get(), source);
    EXPECT_TRUE(groups.has_value());
    for (const LMMergeManagedObject& group : groups.value_or(std::vector<LMMergeManagedObject>{})) {
      std::set<std::int32_t> ids;
      for (const auto& member : group.mergeContacts()) ids.insert(*member.recordID);
      found.emplace(ids, group.type);
    }
    return found;
  }

  std::vector<LMMergeManagedObject> groupsOf(std::vector<std::vector<ab::Record>> members) {
    std::vector<LMMergeManagedObject> groups;
    for (const auto& people : members) {
      std::vector<lumora::LMContact> contacts;
      for (const ab::Record& p : people) contacts.push_back(*lumora::LMContact::initWithABRecord(p));
      groups.push_back(LMMergeManagedObject::initWithMergedContacts(std::move(contacts)));
    }
    return groups;
  }

  bool present(const ab::Record& p) { return static_cast<bool>(book_->personWithId(p.id())); }
};

TEST_F(DuplicateMerge, SearchPassesKeysAndBuckets) {
  ab::Record ann1 = make({{P::FirstName, "Ann"}, {P::LastName, "Lee"}}, {"+1 555-0100"});
  ab::Record ann2 = make({{P::FirstName, "Ann"}, {P::LastName, "Lee"}}, {"+1 555 0100"});
  ab::Record lower = make({{P::FirstName, "ann"}, {P::LastName, "lee"}}, {"+15550100"});
  ab::Record dashed = make({{P::FirstName, "Dee"}}, {"+1-555-0100"});
  ab::Record nick1 = make({{P::Nickname, "Bee"}});
  ab::Record nick2 = make({{P::Nickname, "Bee"}});
  ab::Record acme1 = make({{P::Organization, "Acme"}});
  ab::Record acme2 = make({{P::Organization, "Acme"}});
  ab::Record both = make({{P::FirstName, "Xi"}}, {"111", "222"});
  ab::Record first = make({{P::FirstName, "Yu"}}, {"111"});
  ab::Record second = make({{P::FirstName, "Zo"}}, {"222"}, {"z@example.org"});
  ab::Record mail1 = make({{P::FirstName, "Mo"}}, {}, {"a@example.org"});
  ab::Record mail2 = make({{P::FirstName, "Ma"}}, {}, {"a@example.org", "b@example.org"});
  ab::Record upper = make({{P::FirstName, "Mu"}}, {}, {"A@example.org"});
  ASSERT_TRUE(book_->save().ok());

  std::map<std::set<std::int32_t>, std::int32_t> expected = {
      {{ann1.id(), ann2.id()}, lumora::kLMMergeTypeName},  // not again by phone
      {{nick1.id(), nick2.id()}, lumora::kLMMergeTypeName},
      {{acme1.id(), acme2.id()}, lumora::kLMMergeTypeName},
      {{lower.id(), dashed.id()}, lumora::kLMMergeTypePhone},  // another case: no name group
      {{both.id(), first.id()}, lumora::kLMMergeTypePhone},    // in one group only
      {{mail1.id(), mail2.id()}, lumora::kLMMergeTypeEmail},   // letter case counts
  };
  EXPECT_EQ(search(local()), expected);

  ab::Record card = addSource("Card");
  named("Solo", "One", 0, card);
  ASSERT_TRUE(book_->save().ok());
  EXPECT_TRUE(search(card).empty());
  EXPECT_FALSE(LMManagedRecordContext::searchForMergeContacts(book_.get(), addSource("Empty")));
}

TEST_F(DuplicateMerge, GroupBecomesItsFirstKeptMemberWithTheFirstPhoto) {
  ab::Record keep = make({{P::FirstName, "Ann"}, {P::LastName, "Lee"}}, {"111"});
  ab::Record withPhoto = make({{P::FirstName, "Ann"}, {P::LastName, "Lee"}}, {"222"}, {}, 10);
  ab::Record withMail = make({{P::FirstName, "Ann"}, {P::LastName, "Lee"}}, {}, {"a@example.org"});
  ab::Record loneA = named("Bo", "Ng");
  ab::Record loneB = named("Bo", "Ng");
  ASSERT_TRUE(book_->save().ok());
  const auto photo = withPhoto.imageData();

  auto groups = groupsOf({{keep, withPhoto, withMail}, {loneA, loneB}});
  groups[1].ignoreContactIDs = {loneB.id()};
  EXPECT_EQ(LMManagedRecordContext::mergeContactObjects(groups, book_.get(), local()), 1u);
  EXPECT_FALSE(present(withPhoto));
  EXPECT_FALSE(present(withMail));
  ab::Record merged = book_->personWithId(keep.id());
  EXPECT_EQ(merged.multiStringValue(P::Phone)->values().size(), 2u);
  EXPECT_EQ(merged.multiStringValue(P::Email)->values(), std::vector<std::string>{"a@example.org"});
  EXPECT_EQ(merged.imageData(), photo);
  EXPECT_TRUE(groups[0].isMerged);
  ASSERT_TRUE(groups[0].finalContact.has_value());
  EXPECT_EQ(groups[0].finalContact->recordID, keep.id());
  EXPECT_FALSE(groups[1].isMerged);
  EXPECT_TRUE(present(loneA) && present(loneB));
}

TEST_F(DuplicateMerge, FailedGroupIsRevertedAndNotCounted) {
  ab::Record a1 = named("A", "One");
  ab::Record a2 = named("A", "One", 10);
  ab::Record b1 = named("B", "Two");
  ab::Record b2 = make({{P::FirstName, "B"}, {P::LastName, "Two"}}, {"333"}, {}, 20);
  ab::Record c1 = named("C", "Three");
  ab::Record c2 = named("C", "Three");
  ASSERT_TRUE(book_->save().ok());
  failWrites([&](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation == ab::WriteOperation::SetImage && attempt.record.id() == b1.id()) {
      return storeError();
    }
    return std::nullopt;
  });

  auto groups = groupsOf({{a1, a2}, {b1, b2}, {c1, c2}});
  EXPECT_EQ(LMManagedRecordContext::mergeContactObjects(groups, book_.get(), local()), 2u);
  EXPECT_TRUE(groups[0].isMerged);
  EXPECT_FALSE(groups[1].isMerged);
  EXPECT_FALSE(groups[1].finalContact.has_value());
  EXPECT_TRUE(groups[2].isMerged);
  EXPECT_EQ(saves_, 1);
  // The failed group's duplicates are all there, untouched; the others merged.
  EXPECT_TRUE(present(b1) && present(b2));
  EXPECT_FALSE(book_->personWithId(b1.id()).value(P::Phone).has_value());
  EXPECT_EQ(book_->personWithId(b2.id()).imageData()->size(), 20u);
  EXPECT_FALSE(present(a2) || present(c2));
  EXPECT_EQ(book_->personWithId(a1.id()).imageData()->size(), 10u);
}

TEST_F(DuplicateMerge, FailedSaveInTheMiddleLosesNothing) {
  constexpr std::size_t kPhoto = 3 * 1024 * 1024;  // two groups fill a batch
  std::vector<std::vector<ab::Record>> members;
  for (int g = 0; g < 5; ++g) {
    const std::string first = "G" + std::to_string(g);
    members.push_back({named(first, "Dup"), named(first, "Dup", kPhoto)});
  }
  ASSERT_TRUE(book_->save().ok());
  int save = 0;
  failWrites([&](const ab::WriteAttempt& attempt) -> std::optional<platform::Error> {
    if (attempt.operation == ab::WriteOperation::Save && ++save == 2) return storeError();
    return std::nullopt;
  });

  auto groups = groupsOf(members);
  EXPECT_EQ(LMManagedRecordContext::mergeContactObjects(groups, book_.get(), local()), 2u);
  for (int g = 0; g < 5; ++g) {
    const bool merged = g < 2;  // saved by the first save; the second failed and the walk ended
    EXPECT_EQ(groups[g].isMerged, merged) << g;
    EXPECT_EQ(groups[g].finalContact.has_value(), merged) << g;
    EXPECT_TRUE(present(members[g][0])) << g;
    EXPECT_EQ(present(members[g][1]), !merged) << g;
    auto photo = book_->personWithId(members[g][merged ? 0 : 1].id()).imageData();
    ASSERT_TRUE(photo.has_value()) << g;
    EXPECT_EQ(photo->size(), kPhoto) << g;
  }
  EXPECT_FALSE(book_->personWithId(members[3][0].id()).imageData().has_value());

  // The rest merges on the next run.
  ab::AddressBook::setWriteFault(nullptr);
  EXPECT_EQ(LMManagedRecordContext::mergeContactObjects(groups, book_.get(), local()), 3u);
  EXPECT_EQ(book_->personCount(), 5u);
}

}  // namespace
