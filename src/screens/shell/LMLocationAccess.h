// How the screens get location access at all times, the app's means of
// running in the background: they ask for it (the app wires the request to
// its location helper, which also restarts monitoring; until it does, the
// platform is asked directly), or, once it was denied, send the user to the
// app's page of the system settings after the location alert.
//
// Ownership: the request hook is process-wide. Threading: main thread.
// Failures: settings that cannot be opened are left alone.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/AlertView.h"

namespace lumora {

// Replaces what requestLocationAlwaysAccess does; an empty hook puts the
// plain platform request back.
void setLocationAccessRequester(std::function<void()> requester);
void requestLocationAlwaysAccess();

// Opens the app's page of the system settings when it can be opened.
void openAppSystemSettings();

// The alert that explains why location access is needed: title "后台自动备份",
// the message of `messageKey`, buttons "取消" (index 0) and "去设置" (index 1).
std::shared_ptr<platform::ui::AlertView> showLocationSettingsAlert(const std::string& messageKey,
                                                                   platform::ui::AlertView::Clicked clicked);

}  // namespace lumora
