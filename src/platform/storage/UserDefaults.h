// The phone's user defaults: typed values under string keys, kept in a
// binary property list.
//
// Storage: every change is written through at once (temp file + rename), so a
// value set is on disk when the setter returns and the file is always a whole
// property list. A Batch gathers the changes its thread makes while it is
// open into one write when it closes. standard() keeps its file at
// AppHome::preferences()/"<CFBundleIdentifier>.plist" and follows the app home:
// when the root or the bundle identifier changes it loads the new file on its
// next use (tests with a fresh TestHome see an empty store).
//
// Values: string, integer (int64), double, boolean, date, data, array and
// dictionary. Arrays and dictionaries are JSON trees of strings, numbers,
// booleans, arrays and objects; data inside them is a JSON binary value
// (Json::binary). JSON has no date, so a date found inside a container of a
// file written elsewhere reads as its ISO 8601 text. Dates are kept to the
// millisecond, between December 1932 and January 2069.
//
// Registered defaults (registerDefaults) answer reads for keys that hold no
// stored value and are never saved; "AppleLanguages" is registered as the
// language of $LANG ("en" without one).
//
// Ownership: standard() is one process-wide store, created on first use;
// other suites are plain objects owned by their creator.
// Threading: every member may be called from any thread.
// Failures: a file that cannot be read or parsed (a symbolic link, a pipe
// or a folder at its name among them: never read through nor waited on) is moved aside to "<file>.corrupt" and the store starts empty
// (lastLoadError() says why); if it cannot be moved aside, nothing is ever
// written over it. A failed write keeps the value in memory, is reported by
// lastSaveError() and synchronize(), and is retried by the next change or
// synchronize().
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "platform/Bytes.h"
#include "platform/dispatch/Clock.h"
#include "platform/Error.h"

namespace platform {

class UserDefaults {
 public:
  // Arrays and dictionaries are the Json alternative (always an array or an
  // object, never a scalar).
  using Value = std::variant<std::string, std::int64_t, double, bool, Clock::TimePoint, Bytes, Json>;
  using Dictionary = std::map<std::string, Value>;

  static constexpr const char* kAppleLanguagesKey = "AppleLanguages";
  // The language a POSIX locale names ("zh_CN.UTF-8" -> "zh-Hans",
  // "de_DE" -> "de"; none, "C" or "POSIX" -> "en").
  static std::string languageFromLocale(const char* locale);

  // A store of its own in `file` (created on the first change), loaded now.
  explicit UserDefaults(std::filesystem::path file);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The process-wide store of the current app home.
  static UserDefaults& standard();
  // Drops what standard() holds in memory, registered defaults included; its
  // next use reloads from the current app home.
  static void resetStandardForTesting();
  // Where standard() keeps its file for the current app home and bundle.
  static std::filesystem::path standardFile();

  // Setters return false, changing nothing, when the value cannot be stored:
  // a key or string that is not valid UTF-8 or holds a NUL, a date out of
  // range, a container that is not an array/object or holds null or an
  // unsigned beyond the signed 64-bit range.
  bool setObject(const std::string& key, const Value& value);
  bool setString(const std::string& key, const std::string& value);
  bool setInteger(const std::string& key, std::int64_t value);
  bool setDouble(const std::string& key, double value);
  bool setBool(const std::string& key, bool value);
  bool setDate(const std::string& key, Clock::TimePoint value);
  bool setData(const std::string& key, const Bytes& value);
  bool setArray(const std::string& key, const Json& value);
  bool setDictionary(const std::string& key, const Json& value);
  void removeObjectForKey(const std::string& key);

  // The stored value, else the registered one, else nullopt.
  std::optional<Value> objectForKey(const std::string& key) const;
  // Whether objectForKey finds a value (registered values count).
  bool hasKey(const std::string& key) const;

  // Typed reads, as the platform answers them.
  // nullopt unless the value is a string.
  std::optional<std::string> stringForKey(const std::string& key) const;
  // Integers as they are; reals truncated toward zero (saturating); booleans
  // 0/1; strings by their leading decimal integer; 0 otherwise.
  std::int64_t integerForKey(const std::string& key) const;
  // Numbers and booleans as numbers; strings by their leading number; 0.
  double doubleForKey(const std::string& key) const;
  // Booleans as they are; numbers when non-zero; strings starting (after
  // blanks, a sign and zeros) with Y, y, T, t or a digit 1-9; false otherwise.
  bool boolForKey(const std::string& key) const;
  std::optional<Clock::TimePoint> dateForKey(const std::string& key) const;
  std::optional<Bytes> dataForKey(const std::string& key) const;
  std::optional<Json> arrayForKey(const std::string& key) const;
  std::optional<Json> dictionaryForKey(const std::string& key) const;

  // Every key with a value: the registered ones overlaid by the stored ones.
  Dictionary dictionaryRepresentation() const;

  // Adds to the registered defaults (later registrations win). Values that
  // could not be stored are skipped.
  void registerDefaults(const Dictionary& defaults);

  // Makes sure the file holds the stored values: writes them again when an
  // earlier write failed, else does nothing. Returns false when the write
  // failed. Inside a Batch of this thread it is left to the batch.
  bool synchronize();

  // While a Batch is open, changes (and synchronize calls) made on the thread
  // that opened it are kept in memory; closing it writes them once, so they
  // are on disk when the batch ends. Changes from other threads still write
  // through (taking the batch's changes with them), and a batch opened on
  // another thread meanwhile gathers nothing. Batches of one thread nest; the
  // outermost one writes.
  class Batch {
   public:
    explicit Batch(UserDefaults& defaults);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    UserDefaults& defaults_;
    bool active_ = false;
  };

  // Why the last load started empty (unreadable or corrupt file), if it did.
  std::optional<Error> lastLoadError() const;
  // The failure of the last write, cleared by the next successful one.
  std::optional<Error> lastSaveError() const;
  // The file this store reads and writes.
  std::filesystem::path file() const;

  // Property-list forms of a dictionary of values, shared with stores that
  // keep their own files: the bytes (binary, or XML when `xml`), and the
  // values of a property-list dictionary (nullopt when the bytes are none;
  // entries of no known type are skipped).
  static Bytes encodeDictionary(const Dictionary& values, bool xml);
  static std::optional<Dictionary> decodeDictionary(const Bytes& bytes);
  // `value` in the form kept in memory and on disk; nullopt when it cannot
  // be stored.
  static std::optional<Value> storable(const Value& value);

 private:
  struct FollowAppHome {};
  explicit UserDefaults(FollowAppHome);

  void ensureLoadedLocked() const;
  void loadLocked() const;
  bool saveLocked() const;
  // saveLocked, or only a note that the file is behind while this thread
  // has a batch open.
  void saveOrDeferLocked();
  bool batchedHereLocked() const;
  void resetRegisteredLocked() const;
  const Value* findLocked(const std::string& key) const;
  bool setLocked(const std::string& key, const Value& value);

  const bool followsAppHome_;
  mutable std::mutex mutex_;
  // Loading is lazy for the app-home store, so these change under const reads.
  mutable std::filesystem::path file_;
  // For the app-home store: the root and file name file_ was made from.
  mutable std::filesystem::path fileRoot_;
  mutable std::string fileName_;
  mutable std::uint64_t fileInfoVersion_ = 0;  // of the bundle's dictionary fileName_ was made from
  mutable bool loaded_ = false;
  mutable bool writesBlocked_ = false;
  mutable Dictionary stored_;
  mutable Dictionary registered_;
  mutable std::optional<Error> lastLoadError_;
  mutable std::optional<Error> lastSaveError_;
  // The open batch: its thread, its depth, and whether it holds changes.
  std::thread::id batchThread_;
  int batchDepth_ = 0;
  bool batchDirty_ = false;
};

}  // namespace platform
