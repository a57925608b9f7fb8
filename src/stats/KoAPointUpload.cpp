#include "stats/KoAPointUpload.h"

#include <cmath>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "platform/dispatch/Clock.h"
#include "stats/KoASMJBasicCategory.h"
#include "stats/KoASMJCustomStatItem.h"
#include "stats/KoASMJPVCategory.h"
#include "stats/KoASMJTimeCategory.h"
#include "stats/KoASMJTimeStatItem.h"
#include "stats/KoStatCoreParam.h"
#include "stats/KoStatUrlCoder.h"

namespace lumora {
namespace {

constexpr double kDay = 86400;

// The text of a params value as it is hashed: texts as they are, anything
// else as its JSON text.
std::string paramText(const platform::Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string categoryText(const std::optional<std::string>& category) { return category.value_or("(null)"); }

// Adds `fields` to `form` in order until the first absent value.
void addUntilAbsent(KoANetworkUtils::Form& form,
                    std::initializer_list<std::pair<const char*, std::optional<std::string>>> fields) {
  for (const auto& [name, value] : fields) {
    if (!value) return;
    form.emplace_back(name, *value);
  }
}

// The points of one package sorted by type, as packaging needs them.
struct Folded {
  std::map<std::string, const KoAPointLocalModel*> properties;  // category + key
  std::map<std::string, std::vector<const KoAPointLocalModel*>> counts;
  std::map<std::string, std::vector<const KoAPointLocalModel*>> calculates;
  std::vector<std::string> pages;  // distinct names, first seen first
  std::vector<std::pair<std::string, std::vector<std::int64_t>>> pagePositions;  // by session key
  std::vector<const KoAPointLocalModel*> sessions;
  std::map<std::string, const KoAPointLocalModel*> basics;
  bool hasPages = false;

  void addPage(const KoAPointLocalModel& point) {
    auto name = pointValueText(point.objValue);
    if (!name || name->empty()) return;  // no place in the index
    hasPages = true;
    auto it = std::find(pages.begin(), pages.end(), *name);
    auto position = static_cast<std::int64_t>(it - pages.begin());
    if (it == pages.end()) pages.push_back(*name);
    auto slot = std::find_if(pagePositions.begin(), pagePositions.end(),
                             [&](const auto& entry) { return entry.first == point.strKey; });
    if (slot == pagePositions.end()) slot = pagePositions.insert(pagePositions.end(), {point.strKey, {}});
    slot->second.push_back(position);
  }

  void add(const KoAPointLocalModel& point) {
    std::string groupKey = categoryText(point.strCategory) + point.strKey;
    switch (point.nPointType) {
      case 0:
      case 1: properties[groupKey] = &point; break;
      case 2:
      case 3: {
        auto& groups = point.nPointType == 3 ? counts : calculates;
        groups[groupKey + KoAPointUpload::hashWithDictionary(point.dicParam).value_or("")].push_back(&point);
        break;
      }
      case 5: addPage(point); break;
      case 6: sessions.push_back(&point); break;
      case 7: basics[point.strKey] = &point; break;
      default: break;  // durations reach no category
    }
  }
};

void addItem(KoASMJPackage& package, const KoAPointLocalModel& point, const char* type,
             std::optional<std::string> value) {
  package.getCustomCategory(point.strCategory)
      ->addItem(KoASMJCustomStatItem(point.strKey, type, std::move(value), point.dicParam));
}

}  // namespace

KoAPointUpload& KoAPointUpload::shareSingletion() {
  static KoAPointUpload* upload = new KoAPointUpload(KoANetworkUtils::sharedNetworkSingleton());
  return *upload;
}

KoAPointUpload::KoAPointUpload(KoANetworkUtils& transport) : transport_(transport), queue_(kQueueLabel) {}

void KoAPointUpload::report(KoAMakePackagePoolDelegate::Outcome KoAMakePackagePoolDelegate::*hook,
                            std::int32_t state, const platform::Json& content, std::uint64_t uploadID) {
  std::shared_ptr<KoAMakePackagePoolDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = iDelegate_.lock();
  }
  if (delegate && (*delegate).*hook) ((*delegate).*hook)(*this, state, content, uploadID);
}

void KoAPointUpload::sendPoint(KoAPSStat::SendList points, std::weak_ptr<KoAMakePackagePoolDelegate> delegate) {
  if (points.items.empty()) return;
  {
    std::lock_guard lock(mutex_);
    iDelegate_ = std::move(delegate);
  }
  queue_.async([this, points = std::move(points), deviceIdentifier = KoStatCoreParam::getDeviceID()] {
    KoASMJRoot root = parse(points.items, platform::Clock::current()->secondsSince1970());
    platform::Json content;
    std::int32_t state =
        transport_.doPerformRequest(&KoANetworkUtils::sendStatMessage, pointForm(root, deviceIdentifier), content);
    report(&KoAMakePackagePoolDelegate::sendPointDidFinish, state, content, points.nUploadID);
  });
}

void KoAPointUpload::sendNetRequest(KoAPSNet::SendList samples,
                                    std::weak_ptr<KoAMakePackagePoolDelegate> delegate) {
  {
    std::lock_guard lock(mutex_);
    iDelegate_ = std::move(delegate);
  }
  queue_.async([this, samples = std::move(samples), deviceIdentifier = KoStatCoreParam::getDeviceID()] {
    KoASMJNetPackage package = parseNetRequest(samples.items).value_or(KoASMJNetPackage());
    platform::Json content;
    std::int32_t state = transport_.doPerformRequest(&KoANetworkUtils::sendNetRequestMessage,
                                                     netForm(package, deviceIdentifier), content);
    report(&KoAMakePackagePoolDelegate::sendNetRequestDidFinish, state, content, samples.nUploadID);
  });
}

KoASMJRoot KoAPointUpload::parse(const std::vector<KoAPointLocalModel>& points, double now) {
  KoASMJRoot root;
  const double whole = std::trunc(now);
  const double base = now - std::fmod(whole, kDay) - 3 * kDay;
  std::size_t p = 0;
  for (int k = 0; k <= 4 && p < points.size(); ++k) {
    const double boundary = base + k * kDay;
    std::size_t end = p;
    // Today's package also takes what is dated after it: every point
    // handed over is carried by the document.
    while (end < points.size() && (k == 4 || points[end].nTime < boundary)) ++end;
    if (end == p) continue;
    auto package = parseToOneStat({points.begin() + static_cast<std::ptrdiff_t>(p),
                                   points.begin() + static_cast<std::ptrdiff_t>(end)});
    if (package) root.addPackage(&*package);
    p = end;
  }
  return root;
}

std::optional<KoASMJPackage> KoAPointUpload::parseToOneStat(const std::vector<KoAPointLocalModel>& points) {
  if (points.empty()) return std::nullopt;
  Folded folded;
  for (const auto& point : points) folded.add(point);

  KoASMJPackage package;
  package.setTsWithStart(points.front().nTime, points.back().nTime);
  for (int type : {1, 0}) {
    for (const auto& [slot, point] : folded.properties) {
      if (point->nPointType == type) addItem(package, *point, type == 1 ? "property" : "numeric", pointValueText(point->objValue));
    }
  }
  for (const auto& [group, list] : folded.counts) addItem(package, *list.front(), "event", std::to_string(list.size()));
  for (const auto& [group, list] : folded.calculates) {
    for (const auto* point : list) addItem(package, *point, "count", pointValueText(point->objValue));
  }
  if (!folded.basics.empty()) {
    auto basic = std::make_shared<KoASMJBasicCategory>();
    for (const auto& [key, point] : folded.basics) {
      const char* type = key == "new" || key == "upgrade" ? "event" : "property";
      basic->addItem(KoASMJCustomStatItem(point->strKey, type, pointValueText(point->objValue), point->dicParam));
    }
    package.addCategory(basic);
  }
  auto session = std::make_shared<KoASMJTimeCategory>();
  auto pageViews = std::make_shared<KoASMJPVCategory>();
  for (const auto& name : folded.pages) pageViews->addIndex(name);
  for (const auto* point : folded.sessions) {
    const auto* pair = std::get_if<KoATimeModel>(&point->objValue);
    KoASMJTimeStatItem item(pair ? std::optional(pair->nStart) : std::nullopt,
                            pair ? std::optional(pair->nEnd) : std::nullopt);
    if (point->dicParam && point->dicParam->is_object() && !point->dicParam->empty()) item.addParam(*point->dicParam);
    session->addItem(item);
    if (!folded.hasPages || !pair) continue;
    std::string key = fmt::format("{:.0f}", pair->nStart);
    auto claimed = std::find_if(folded.pagePositions.begin(), folded.pagePositions.end(),
                                [&](const auto& entry) { return entry.first == key; });
    if (claimed == folded.pagePositions.end()) {
      pageViews->addValue({-1});
    } else {
      pageViews->addValue(std::move(claimed->second));
      folded.pagePositions.erase(claimed);
    }
  }
  for (auto& [key, positions] : folded.pagePositions) pageViews->addValue(std::move(positions));
  package.addCategory(session);
  package.addCategory(pageViews);
  return package;
}

std::optional<std::string> KoAPointUpload::hashWithDictionary(const std::optional<platform::Json>& params) {
  if (!params || !params->is_object() || params->empty()) return std::nullopt;
  std::string text;
  for (const auto& [key, value] : params->items()) text += key + paramText(value);
  return KoStatUrlCoder::md5String(text);
}

std::optional<KoASMJNetPackage> KoAPointUpload::parseNetRequest(const std::vector<KoANetRequestModel>& samples) {
  if (samples.empty()) return std::nullopt;
  KoASMJNetPackage package;
  for (const auto& sample : samples) {
    package.addItemWithKey(sample.strURL, KoASMJNetRequest(sample.nCost, sample.nStart, sample.nStateCode,
                                                           sample.strNetType, sample.strDNS, sample.strDesc));
  }
  return package;
}

KoANetworkUtils::Form KoAPointUpload::pointForm(const KoASMJRoot& root, const std::string& deviceIdentifier) {
  KoANetworkUtils::Form form;
  auto source = root.getSource();
  if (!isNonEmptyObject(source)) return form;
  for (const auto& [name, value] : source->items()) form.emplace_back(name, value.get<std::string>());
  addUntilAbsent(form, {{"app_id", KoStatCoreParam::getAppID()},
                        {"app_key", KoStatCoreParam::getAppToken()},
                        {"device_id", deviceIdentifier},
                        {"version", KoStatCoreParam::getAppVersion()},
                        {"channel", KoStatCoreParam::getChannel()}});
  return form;
}

KoANetworkUtils::Form KoAPointUpload::netForm(const KoASMJNetPackage& package, const std::string& deviceIdentifier) {
  KoANetworkUtils::Form form;
  addUntilAbsent(form, {{"app_id", KoStatCoreParam::getAppID()},
                        {"app_key", KoStatCoreParam::getAppToken()},
                        {"app_package", KoStatCoreParam::getAppPackageName()},
                        {"device_uuid", deviceIdentifier},
                        {"app_version", KoStatCoreParam::getAppVersion()},
                        {"app_channel", KoStatCoreParam::getChannel()},
                        {"device_model", KoStatCoreParam::getDeviceModel()},
                        {"device_os", KoStatCoreParam::getDevicePlatform()}});
  for (auto& field : package.getSource()) form.push_back(std::move(field));
  return form;
}

}  // namespace lumora
