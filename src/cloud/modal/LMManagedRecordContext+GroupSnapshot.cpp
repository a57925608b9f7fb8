// The group snapshot file "syncGroups.data".
#include "cloud/modal/LMManagedRecordContext.h"

#include "platform/KeyedArchive.h"

namespace lumora {

bool LMManagedRecordContext::clearLocalSyncGroupDic() {
  return platform::KeyedArchive().writeToFile(localSyncGroupPath()).ok();
}

}  // namespace lumora
