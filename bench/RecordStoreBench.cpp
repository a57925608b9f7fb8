// The contacts record store against raw SQLite doing the same work: adding
// relation rows (one by one, and a whole sync's rows in one batch) and
// looking a row up by its address-book record id among 50,000; opening and
// checking a store of 50,000 rows.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <functional>
#include <random>

#include "ContactsBenchSupport.h"
#include "cloud/model/LMManagedRecordContext.h"

namespace {

using contactsbench::RawDatabase;
using contactsbench::ScratchHome;
using lumora::LMContactRelation;
using lumora::LMManagedRecordContext;

constexpr const char* kContent = R"({"displayName":"Given Family","phones":[{"type":"mobile","value":"+1 555 0100"}]})";

LMContactRelation rowFor(int i) {
  LMContactRelation row;
  row.setRecordID(i);
  row.setServerID(1000000 + i);
  row.setServerSync(7);
  row.setLocalServerSync(7);
  row.setLocalRecordSync(1700000000.5);
  row.setLocalJsonString(kContent);
  row.setJsonString(kContent);
  return row;
}

// Rows written straight into the store's file (the set-up of the look-ups).
void fillRaw(sqlite3* db, const char* table, int count) {
  sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  const std::string sql = std::string("insert into ") + table +
                          " values (?, 1700000000.5, 7, ?, ?, 7, null, null, null, ?, 0, 'default')";
  sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr);
  for (int i = 0; i < count; ++i) {
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text(insert, 2, kContent, -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, 1000000 + i);
    sqlite3_bind_text(insert, 4, kContent, -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
}

const char* kRawSchema =
    "create table Rows (recordID bigint, localRecordSync double, localServerSync bigint, localJson text, "
    "serverID bigint primary key, serverSync bigint, serverPhoto text, serverThumbnail text, "
    "serverDigest text, serverJson text, serverPhotoFail bool, serverStatus text)";

// Adds `count` rows to a new store per iteration, one statement each, all in
// one batch when `batched`.
void addRows(benchmark::State& state, bool batched) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    ScratchHome home;
    LMManagedRecordContext store;
    state.ResumeTiming();
    auto addAll = [&]() -> platform::Status {
      for (int i = 0; i < count; ++i) {
        LMContactRelation row = rowFor(i);
        if (!store.addContactRelation(row)) return lumora::LMManagedRecordContextDatabase::error("add");
      }
      return platform::Status::success();
    };
    benchmark::DoNotOptimize(batched ? store.performBatch(addAll).ok() : addAll().ok());
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_RecordStoreAddRowsOneByOne(benchmark::State& state) { addRows(state, false); }
BENCHMARK(BM_RecordStoreAddRowsOneByOne)->Arg(500)->Unit(benchmark::kMillisecond);

void BM_RecordStoreAddRowsInOneBatch(benchmark::State& state) { addRows(state, true); }
BENCHMARK(BM_RecordStoreAddRowsInOneBatch)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_RawSqliteAddRowsInOneTransaction(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    ScratchHome home;
    RawDatabase db(home.root() / "raw.db");
    db.exec(kRawSchema);
    db.exec("create index RowsRecordID on Rows (recordID)");  // as the store has
    state.ResumeTiming();
    fillRaw(db.get(), "Rows", count);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_RawSqliteAddRowsInOneTransaction)->Arg(10000)->Unit(benchmark::kMillisecond);

constexpr int kLookupRows = 50000;

void BM_RecordStoreLookupByRecordID(benchmark::State& state) {
  ScratchHome home;
  LMManagedRecordContext store;
  (void)store.searchAllContactRelations();  // tables made
  {
    RawDatabase db(store.databaseFilePath());
    fillRaw(db.get(), "SyncContact", kLookupRows);
  }
  std::mt19937 random(7);
  for (auto _ : state) {
    auto row = store.searchContactRelationByRecordID(static_cast<std::int32_t>(random() % kLookupRows));
    benchmark::DoNotOptimize(row);
  }
}
BENCHMARK(BM_RecordStoreLookupByRecordID)->Unit(benchmark::kMicrosecond);

void BM_RawSqliteLookupByRecordID(benchmark::State& state) {
  ScratchHome home;
  RawDatabase db(home.root() / "raw.db");
  db.exec(kRawSchema);
  db.exec("create index RowsRecordID on Rows (recordID)");
  fillRaw(db.get(), "Rows", kLookupRows);
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db.get(), "select * from Rows where recordID=?", -1, &select, nullptr);
  std::mt19937 random(7);
  for (auto _ : state) {
    sqlite3_bind_int(select, 1, static_cast<int>(random() % kLookupRows));
    if (sqlite3_step(select) == SQLITE_ROW) {
      for (int c = 0; c < 12; ++c) benchmark::DoNotOptimize(sqlite3_column_text(select, c));
    }
    sqlite3_reset(select);
  }
  sqlite3_finalize(select);
}
BENCHMARK(BM_RawSqliteLookupByRecordID)->Unit(benchmark::kMicrosecond);

// Opening a store of many rows, which reads every page of the file to check
// it, next to raw SQLite opening the same file and preparing a statement on
// each table (the schema read only).
void withFilledStore(benchmark::State& state, const std::function<void(const std::string& file)>& work) {
  ScratchHome home;
  std::string file;
  {
    LMManagedRecordContext store;
    (void)store.searchAllContactRelations();  // tables made
    file = store.databaseFilePath();
  }
  {
    RawDatabase db(file);
    fillRaw(db.get(), "SyncContact", static_cast<int>(state.range(0)));
  }
  for (auto _ : state) work(file);
  state.counters["MiB"] = static_cast<double>(std::filesystem::file_size(file)) / (1 << 20);
}

void BM_RecordStoreOpenChecked(benchmark::State& state) {
  withFilledStore(state, [](const std::string&) {
    LMManagedRecordContext opened;
    benchmark::DoNotOptimize(opened.databaseQueue());
  });
}
BENCHMARK(BM_RecordStoreOpenChecked)->Arg(kLookupRows)->Unit(benchmark::kMillisecond);

void BM_RecordStoreOpenChecked_Reference(benchmark::State& state) {
  withFilledStore(state, [](const std::string& file) {
    RawDatabase db(file);
    for (const char* sql : {"select * from SyncGroup limit 0", "select * from SyncContact limit 0"}) {
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db.get(), sql, -1, &statement, nullptr);
      sqlite3_finalize(statement);
    }
  });
}
BENCHMARK(BM_RecordStoreOpenChecked_Reference)->Arg(kLookupRows)->Unit(benchmark::kMillisecond);

}  // namespace
