#include "support/CloudStoreBeforeMarks.h"

#include <sqlite3.h>

#include <string>

namespace testsupport {

bool putCloudStoreBeforeMarks(const std::filesystem::path& dataDir, AddMemoryForm form) {
  // The table as that cloud made it, holding what the memory kept by device,
  // key and content (each add is there so, marked or not).
  const std::string sql =
      form == AddMemoryForm::ByDevice
          ? "CREATE TABLE contact_device_adds (user_id INTEGER NOT NULL, device TEXT NOT NULL, "
            "ckey TEXT NOT NULL, digest TEXT NOT NULL, record_id INTEGER NOT NULL, "
            "PRIMARY KEY (user_id, device, ckey, digest));"
            "INSERT INTO contact_device_adds SELECT user_id, device, ckey, digest, record_id "
            "FROM contact_add_memory WHERE mark = '' AND device != '';"
          : "CREATE TABLE contact_adds (user_id INTEGER NOT NULL, ckey TEXT NOT NULL, digest TEXT NOT NULL, "
            "record_id INTEGER NOT NULL, PRIMARY KEY (user_id, ckey, digest));"
            "INSERT OR REPLACE INTO contact_adds SELECT user_id, ckey, digest, record_id "
            "FROM contact_add_memory WHERE mark = '' ORDER BY made_at;";
  sqlite3* db = nullptr;
  const bool done =
      sqlite3_open_v2((dataDir / "cloud.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, ("BEGIN;" + sql + "DROP TABLE contact_add_memory; PRAGMA user_version = 3; COMMIT;").c_str(),
                   nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close_v2(db);
  return done;
}

}  // namespace testsupport
