#include "app/AppBundle.h"

#include "platform/device/Bundle.h"

namespace lumora {

void installAppBundle() {
  using platform::Bundle;
  Bundle::setInfoValue("KoSDKRun", "online");
  Bundle::setInfoValue("KoSDKAppID", "2882303761517418");
  Bundle::setInfoValue("KoSDKAppKey", "5801751418");
  Bundle::setInfoValue("KoSDKAppSecretIOS", "bHVtb3JhLWlvcy1wdXNoLXNlY3JldA");
  Bundle::setInfoValue("KoSDKAppSecretANDROID", "bHVtb3JhLWFuZHJvaWQtcHVzaA");
}

}  // namespace lumora
