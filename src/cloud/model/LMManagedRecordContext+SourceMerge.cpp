// Merging the people of one address-book source into another.
#include "cloud/model/LMManagedRecordContext.h"
#include "utils/LMLogUtil.h"
#include "utils/LMUtils.h"

namespace lumora {
namespace {

namespace ab = platform::addressbook;

// Image data copied since the last save above which the address book is
// saved, so that the unsaved state stays bounded.
constexpr std::size_t kSourcePendingPhotoBytesLimit = 0x4FFFFF;

platform::Error invalidSourceError() {
  return LMUtils::localErrorWithErrorCode(
      kLMLocalErrorInvalidAddressBookSource,
      {{kLMErrorReasonKey, "Invalid ABAddressBook Source"},
       {kLMErrorDescriptionKey, kLMErrorTitleAddressBook}});
}

// Copies `from`'s image onto `to`; the converted error when it cannot be set.
platform::Status copyImage(const ab::Record& from, ab::Record& to, std::size_t& pendingBytes) {
  auto image = from.imageData(ab::ImageFormat::OriginalSize);
  if (!image || image->empty()) return platform::Status::success();
  const std::size_t size = image->size();
  if (auto set = to.setImageData(std::move(*image)); !set.ok()) {
    return LMUtils::errorFromABAddressBookError(set.error());
  }
  pendingBytes += size;
  return platform::Status::success();
}

}  // namespace

void LMManagedRecordContext::mergeContactsSource(const ab::Record& targetSource,
                                                 const ab::Record& otherSource,
                                                 ab::AddressBook* addressBook,
                                                 const SourceMergeFinish& finish) {
  auto fail = [&finish](const platform::Error& error) {
    LM_LOG_ERROR("{}", error.description());
    if (finish) finish(0, 0, error);
  };
  if (addressBook == nullptr || !targetSource || !otherSource) {
    fail(invalidSourceError());
    return;
  }

  // The target's people that are stored (a valid record id), by id.
  std::map<std::int32_t, LMContact> targets;
  for (const ab::Record& person : addressBook->peopleInSource(targetSource)) {
    if (person.id() == ab::kInvalidRecordId) continue;
    if (auto contact = LMContact::initWithABRecord(person)) {
      targets.insert_or_assign(person.id(), std::move(*contact));
    }
  }

  std::size_t pendingBytes = 0;
  std::size_t matched = 0;
  std::size_t created = 0;
  for (const ab::Record& other : addressBook->peopleInSource(otherSource)) {
    // A card linked to a target person is that person.
    std::optional<LMContact> match;
    for (const ab::Record& linked : other.linkedPeople()) {
      if (auto it = targets.find(linked.id()); it != targets.end()) {
        match = std::move(it->second);
        targets.erase(it);
        ++matched;
        break;
      }
    }

    std::optional<LMContact> incoming = LMContact::initWithABRecord(other);
    if (!incoming) continue;  // not stored yet: nothing to read

    // Otherwise the first target that is equal (already there) or that does
    // not conflict (merged into it).
    bool alreadyPresent = false;
    if (!match) {
      for (auto it = targets.begin(); it != targets.end(); ++it) {
        if (incoming->isEqualToRecord(&it->second)) {
          alreadyPresent = true;
          targets.erase(it);
          break;
        }
        if (!incoming->hasConflictWithContact(&it->second)) {
          match = std::move(it->second);
          targets.erase(it);
          break;
        }
      }
    }
    if (alreadyPresent) continue;

    bool photoAdded = false;
    if (match) {
      ab::Record target = recordABPersonWithRecordID(match->recordID, addressBook);
      if (!target) continue;  // gone meanwhile
      const bool copyPhoto = !match->hasPhoto && incoming->hasPhoto;
      incoming->mergeWithRecord(&*match);
      if (auto merged = incoming->mergeToLocalRecord(target); !merged.ok()) return fail(merged.error());
      if (copyPhoto) {
        const std::size_t before = pendingBytes;
        if (auto copied = copyImage(other, target, pendingBytes); !copied.ok()) return fail(copied.error());
        photoAdded = pendingBytes != before;
      }
    } else {
      ab::Record target = createABPerson(addressBook, targetSource);
      if (!target) continue;  // refused: skipped, and not counted
      ++created;
      if (auto merged = incoming->mergeToLocalRecord(target); !merged.ok()) return fail(merged.error());
      if (other.hasImageData()) {
        const std::size_t before = pendingBytes;
        if (auto copied = copyImage(other, target, pendingBytes); !copied.ok()) return fail(copied.error());
        photoAdded = pendingBytes != before;
      }
    }

    if (photoAdded && pendingBytes > kSourcePendingPhotoBytesLimit) {
      if (auto saved = saveAddressBook(addressBook); !saved.ok()) return fail(saved.error());
      pendingBytes = 0;
    }
  }

  if (auto saved = saveAddressBook(addressBook); !saved.ok()) return fail(saved.error());
  if (finish) finish(matched, created, platform::Status::success());
}

}  // namespace lumora
