// A test of the photo library: its app home of its own, with access to the
// library granted and the shared library open.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/photos/PhotoLibrary.h"
#include "support/TestHome.h"

namespace testsupport {

class PhotoLibraryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace photos = platform::photos;
    ASSERT_TRUE(photos::PhotoLibrary::setAuthorizationStatus(photos::AuthorizationStatus::Authorized));
    library = photos::PhotoLibrary::sharedPhotoLibrary();
  }

  // The asset whose file has this name.
  static std::optional<platform::photos::Asset> named(const std::vector<platform::photos::Asset>& assets,
                                                      const std::string& name) {
    auto it = std::find_if(assets.begin(), assets.end(), [&](const auto& a) { return a.file.filename() == name; });
    if (it == assets.end()) return std::nullopt;
    return *it;
  }

  platform::photos::AssetCollection album(platform::photos::CollectionSubtype subtype) {
    namespace photos = platform::photos;
    auto found = library->fetchAssetCollectionsWithType(subtype == photos::CollectionSubtype::AlbumRegular
                                                            ? photos::CollectionType::Album
                                                            : photos::CollectionType::SmartAlbum,
                                                        subtype);
    EXPECT_FALSE(found.empty());
    return found.empty() ? photos::AssetCollection{} : found.front();
  }

  TestHome home;
  std::shared_ptr<platform::photos::PhotoLibrary> library;
};

}  // namespace testsupport
