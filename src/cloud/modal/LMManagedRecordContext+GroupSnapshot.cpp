// The group snapshot file "syncGroups.data".
#include "cloud/modal/LMManagedRecordContext.h"

#include "platform/PropertyList.h"

namespace lumora {

bool LMManagedRecordContext::clearLocalSyncGroupDic() {
  // An archive of an empty dictionary: a binary property list whose top is an
  // empty dictionary.
  platform::plist::Node empty(plist_new_dict());
  const platform::Bytes bytes = platform::plist::toBinary(static_cast<plist_t>(empty.get()));
  return !bytes.empty() &&
         platform::plist::writeFileAtomically(localSyncGroupPath(), bytes, 0644).ok();
}

}  // namespace lumora
