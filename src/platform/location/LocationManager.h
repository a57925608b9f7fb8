// Location access and the significant-change monitoring through which the
// app is woken up. There are no positions here: the authorisation status
// (0 not determined, 1 restricted, 2 denied, 3 always, 4 when in use) is kept
// per app home; requestAlwaysAuthorization gets the answer set beforehand
// with setAuthorizationAnswer (always by default), and only while the status
// is not determined; the panel or a test changes the status later with
// setAuthorizationStatus. Monitoring, standard updates and the manager's
// settings are only recorded on the manager; no position is ever reported.
//
// Ownership: managers are plain objects owned by their creators; delegates
// are held weakly. Threading: any thread; a changed status is sent to the
// delegates of every live manager on the main queue.
// Failures: a status file that cannot be read reads as not determined; a
// status that cannot be stored is reported by setAuthorizationStatus.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace platform::location {

enum class AuthorizationStatus {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  AuthorizedAlways = 3,
  AuthorizedWhenInUse = 4,
};

class LocationManager;

// Its one method is optional: a delegate without it hears nothing.
class LocationManagerDelegate {
 public:
  virtual ~LocationManagerDelegate() = default;
  std::function<void(LocationManager& manager, AuthorizationStatus status)> didChangeAuthorizationStatus;
};

class LocationManager : public std::enable_shared_from_this<LocationManager> {
 public:
  static std::shared_ptr<LocationManager> create();
  LocationManager(const LocationManager&) = delete;
  LocationManager& operator=(const LocationManager&) = delete;

  static AuthorizationStatus authorizationStatus();
  // The panel and tests: stores the status of the current app home and tells
  // the delegates when it changed. False when it could not be stored.
  static bool setAuthorizationStatus(AuthorizationStatus status);
  // What the "user" answers the next request (AuthorizedAlways until set).
  static void setAuthorizationAnswer(AuthorizationStatus answer);

  void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate);
  std::shared_ptr<LocationManagerDelegate> delegate() const;

  void requestAlwaysAuthorization();

  void startMonitoringSignificantLocationChanges();
  void stopMonitoringSignificantLocationChanges();
  bool isMonitoringSignificantLocationChanges() const;
  void startUpdatingLocation();
  void stopUpdatingLocation();
  bool isUpdatingLocation() const;

  // What the app asks of the updates (recorded only). Accuracy and filter
  // are in metres; the activity type is the platform's number (4: other
  // navigation).
  struct Settings {
    double distanceFilter = -1;  // none
    double desiredAccuracy = -1;  // best
    int activityType = 1;
    bool pausesLocationUpdatesAutomatically = true;
    bool allowsBackgroundLocationUpdates = false;
  };
  Settings settings() const;
  void setDistanceFilter(double metres);
  void setDesiredAccuracy(double metres);
  void setActivityType(int type);
  void setPausesLocationUpdatesAutomatically(bool pauses);
  void setAllowsBackgroundLocationUpdates(bool allows);

 private:
  LocationManager() = default;
  static void announce(AuthorizationStatus status);

  mutable std::mutex mutex_;
  std::weak_ptr<LocationManagerDelegate> delegate_;
  bool monitoring_ = false;
  bool updating_ = false;
  Settings settings_;
};

// The accuracy of a hundred metres.
inline constexpr double kLocationAccuracyHundredMeters = 100.0;

}  // namespace platform::location
