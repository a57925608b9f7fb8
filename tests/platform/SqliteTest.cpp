#include <gtest/gtest.h>

#include <sqlite3.h>

#include <memory>

#include "platform/storage/Sqlite.h"

namespace {

using platform::sqlite::Statement;

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

std::unique_ptr<sqlite3, Closer> memoryDatabase() {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  return std::unique_ptr<sqlite3, Closer>(db);
}

TEST(SqliteStatement, ValuesRoundTripAndColumnsAreFoundByName) {
  auto db = memoryDatabase();
  ASSERT_EQ(Statement(db.get(), "CREATE TABLE t(i INTEGER, r REAL, s TEXT, b BLOB, e BLOB)").step(), SQLITE_DONE);
  Statement insert(db.get(), "INSERT INTO t VALUES (?, ?, ?, ?, ?)");
  insert.bind(1, std::int64_t{-7}).bindDouble(2, 0.5).bind(3, std::string_view("a\0b", 3));
  insert.bindBlob(4, platform::Bytes{}).bindBlob(5, std::nullopt);
  ASSERT_EQ(insert.step(), SQLITE_DONE);

  Statement select(db.get(), "SELECT i, r, s, b, e FROM t");
  ASSERT_EQ(select.step(), SQLITE_ROW);
  EXPECT_EQ(select.integer(select.columnIndex("i")), -7);
  EXPECT_EQ(select.real(1), 0.5);
  EXPECT_EQ(select.text(select.columnIndex("s")), std::string("a\0b", 3));
  EXPECT_FALSE(select.isNull(3));  // empty data stays a blob
  EXPECT_TRUE(select.blob(3).empty());
  EXPECT_TRUE(select.isNull(4));
  EXPECT_EQ(select.columnIndex("missing"), -1);
  EXPECT_EQ(select.step(), SQLITE_DONE);
}

TEST(SqliteStatement, FailedPrepareOrBindKeepsTheStatementFromRunning) {
  auto db = memoryDatabase();
  ASSERT_EQ(Statement(db.get(), "CREATE TABLE t(i INTEGER)").step(), SQLITE_DONE);
  Statement broken(db.get(), "INSERT INTO nowhere VALUES (1)");
  EXPECT_FALSE(broken.ok());
  EXPECT_NE(broken.step(), SQLITE_DONE);
  EXPECT_FALSE(Statement(nullptr, "SELECT 1").ok());

  Statement insert(db.get(), "INSERT INTO t VALUES (?)");
  insert.bind(2, std::int64_t{1});  // no such parameter
  EXPECT_EQ(insert.bindStatus(), SQLITE_RANGE);
  EXPECT_EQ(insert.step(), SQLITE_RANGE);
  Statement count(db.get(), "SELECT count(*) FROM t");
  ASSERT_EQ(count.step(), SQLITE_ROW);
  EXPECT_EQ(count.integer(0), 0);
}

}  // namespace
