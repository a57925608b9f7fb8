#include "blackbox/BBXApplication.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/device/Bundle.h"

extern "C" int bbxFramePointerRecurse(int depth, void (*atBottom)(void*), void* data);

namespace {

TEST(BBXApplicationTest, ExtensionPointDecidesTheSharedApplicationAndSymbolsAreNamed) {
  const struct {
    nlohmann::json extension;
    bool isExtension;
  } cases[] = {{nullptr, false},
               {"not a dictionary", false},
               {{{"NSExtensionPointIdentifier", 3}}, false},
               {{{"NSExtensionPointIdentifier", "com.example.widget"}}, true}};
  for (const auto& c : cases) {
    platform::Bundle::reset();
    if (!c.extension.is_null()) platform::Bundle::setInfoValue("NSExtension", c.extension);
    EXPECT_EQ(lumora::BBXApplicationIsExtension(), c.isExtension) << c.extension;
    EXPECT_EQ(lumora::BBXApplicationSharedApplication() == nullptr, c.isExtension);
  }
  platform::Bundle::reset();

  std::string symbol;
  lumora::BBXSymbolForAddress(reinterpret_cast<const void*>(&bbxFramePointerRecurse),
                              [&](const char* name, const char*) { symbol = name != nullptr ? name : ""; });
  EXPECT_EQ(symbol, "bbxFramePointerRecurse");
  bool called = false;
  lumora::BBXSymbolForAddress(reinterpret_cast<const void*>(16), [&](const char* name, const char* file) {
    called = name == nullptr && file == nullptr;
  });
  EXPECT_TRUE(called);
}

}  // namespace
