// Helpers of the gallery round trips against the local cloud.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cloud/sync/LMImageSyncAdapter.h"
#include "platform/dispatch/Clock.h"

namespace gallerytest {

// A clock on which the gallery's pacing passes at once.
inline std::shared_ptr<platform::ManualClock> pacingFreeClock() {
  auto manual = std::make_shared<platform::ManualClock>();
  manual->setAutoAdvanceSleeps(true);
  return manual;
}

// Every image of a cloud album, listed from nothing (call off the main
// thread); a failed listing fails the test.
inline std::vector<lumora::LMImage> listCloudImages(lumora::LMImageSyncAdapter& gallery, std::int64_t album) {
  std::vector<lumora::LMImage> listed;
  gallery.requestImageListInAlbumWithSync(
      std::nullopt, std::nullopt, album,
      [&](std::int64_t, const std::string&, const std::vector<lumora::LMImage>& images, bool) { listed = images; },
      [](const platform::Error& error) { ADD_FAILURE() << error.description(); });
  return listed;
}

}  // namespace gallerytest
