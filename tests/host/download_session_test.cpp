// The download session against a driver stand-in that delivers records the way
// DownloadCarddata does (pumping the thread's messages before each record, appending to the
// host's list): records reach the database while the download runs, a download that answers
// False keeps what it delivered, and the next run adds only the rest.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "host/download.h"
#include "tests/support/stage_signal.h"
#include "platform/automation/message_queue.h"
#include "platform/automation/object.h"
#include "host/db/openers.h"

namespace fs = std::filesystem;
using namespace vanto::host;

namespace {

class FakeRecord final : public DispatchObject<ICardRecord> {
 public:
  FakeRecord(LONG person, DATE time) : person_(Variant::I4(person)), time_(Variant::Date(time)) {}
  HRESULT STDMETHODCALLTYPE get_PersonNo(VARIANT* v) override { return VariantCopy(v, person_.Ptr()); }
  HRESULT STDMETHODCALLTYPE put_PersonNo(VARIANT v) override { return VariantCopy(person_.Put(), &v); }
  HRESULT STDMETHODCALLTYPE get_SwipeTime(VARIANT* v) override { return VariantCopy(v, time_.Ptr()); }
  HRESULT STDMETHODCALLTYPE put_SwipeTime(VARIANT v) override { return VariantCopy(time_.Put(), &v); }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_ICardRecord; }

 private:
  Variant person_, time_;
};

// Delivers `total` records; with `fail_after` set, answers False after that many, as a broken
// line does. `after_record` runs after each append (the test looks at the database there).
class FakeMachine final : public DispatchObject<IMachine> {
 public:
  int total = 0;
  int fail_after = -1;
  std::function<void(int)> after_record;

  static DATE TimeOf(int i) { return 46332.0 + (i / 5) / 1440.0; }  // five records a minute
  static LONG PersonOf(int i) { return i % 3; }  // so one person swipes twice in some minutes

  HRESULT STDMETHODCALLTYPE DownloadCarddata(VARIANT_BOOL, BSTR, SHORT, SHORT imachineno, _Collection** cdata,
                                             BSTR* strMsg, VARIANT_BOOL* result) override {
    AssignBstr(strMsg, u"");
    for (int i = 0; i < total; ++i) {
      PumpMessages();
      if (i == fail_after) {
        AssignBstr(strMsg, u"编号为" + std::u16string(1, u'0' + imachineno) + u"的考勤机不能下载刷卡数据！ ");
        *result = VARIANT_FALSE;
        return S_OK;
      }
      ComPtr<ICardRecord> record = ComPtr<ICardRecord>::Adopt(new FakeRecord(PersonOf(i), TimeOf(i)));
      AppendToCollection(*cdata, record.Get());
      if (after_record) after_record(i + 1);
    }
    *result = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE funcRegister(_Collection**, VARIANT_BOOL, SHORT, SHORT, BSTR, BSTR, SHORT, SHORT, BSTR*,
                                         VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE funcBackFingure(VARIANT_BOOL, BSTR, SHORT, SHORT, BSTR, RowSet**, BSTR*, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE funcReWrite(VARIANT_BOOL, BSTR, SHORT, SHORT, BSTR, RowSet*, BSTR*, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE funcWriteCard(VARIANT_BOOL, BSTR, SHORT, SHORT, _Collection*, BSTR*, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE delCardData(VARIANT_BOOL, BSTR, SHORT, SHORT, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 protected:
  bool Implements(REFIID iid) const override { return iid == IID_IDispatch || iid == IID_IMachine; }
};

class DownloadSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vanto-session-XXXXXX";
    folder_ = mkdtemp(pattern);
    db_ = (folder_ / "vanto.db").string();
    store_.emplace(vanto::store::OpenRecordStore(db_));
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(folder_);
    EXPECT_EQ(PendingThreadWork(), 0u) << "the session left work on the thread's queue";
  }
  // Counts what another connection sees committed.
  long long Committed() {
    sqlite3* db = nullptr;
    sqlite3_open(db_.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM swipes", -1, &stmt, nullptr);
    long long n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
  }
  Outcome Download(FakeMachine* fake, std::vector<DownloadProgress>* progress = nullptr, std::size_t* added = nullptr,
                   std::function<void(std::size_t)> on_committed = {}) {
    Machine machine = Machine::Wrap(ComPtr<IMachine>(fake));
    DownloadSession session(*store_, 1, 2);
    if (progress) session.on_progress = [progress](const DownloadProgress& p) { progress->push_back(p); };
    session.batch_records = 100;
    session.on_committed = std::move(on_committed);
    session.progress_interval = std::chrono::milliseconds(0);  // every pumped step draws
    Outcome outcome = session.Run(machine);
    if (added) *added = session.added();
    EXPECT_EQ(session.stored(), static_cast<std::size_t>(fake->fail_after >= 0 ? fake->fail_after : fake->total));
    EXPECT_FALSE(session.store_error()) << *session.store_error();
    return outcome;
  }

  fs::path folder_;
  std::string db_;
  std::optional<vanto::store::RecordStore> store_;
};

TEST_F(DownloadSessionTest, RecordsReachTheDatabaseWhileTheDownloadRuns) {
  ComPtr<FakeMachine> fake = ComPtr<FakeMachine>::Adopt(new FakeMachine);
  fake->total = 1000;
  long long seen_at_900 = -1;
  StageSignal committed;
  fake->after_record = [&](int n) {
    // The writer stores batches while the download goes on; by record 900 it has been handed
    // the first 800 at least.
    if (n == 900) {
      EXPECT_TRUE(committed.WaitFor(800));
      seen_at_900 = Committed();
    }
  };
  std::vector<DownloadProgress> progress;
  std::size_t added = 0;
  Outcome outcome = Download(fake.Get(), &progress, &added,
                             [&](std::size_t stored) { committed.Advance(static_cast<int>(stored)); });
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.message, "");
  EXPECT_EQ(added, 1000u);
  EXPECT_GE(seen_at_900, 800) << "records were held back until the end of the download";
  EXPECT_EQ(Committed(), 1000);
  // The progress events count up while the download runs, and one event ends it.
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front().records, 1);
  EXPECT_FALSE(progress.front().done);
  for (std::size_t i = 1; i + 1 < progress.size(); ++i) {
    EXPECT_GE(progress[i].records, progress[i - 1].records);
    EXPECT_FALSE(progress[i].done) << "event " << i;
  }
  EXPECT_GE(progress[progress.size() - 2].records, 999);
  EXPECT_TRUE(progress.back().done);
}

// Another connection holds the database's write lock while the download starts: the batches
// are refused (each after the short lock wait), the records are kept, and once the lock is
// released the session stores every one of them, once, with no error left over.
TEST_F(DownloadSessionTest, RecoversOnceADatabaseLockIsReleased) {
  store_.emplace(vanto::store::OpenRecordStore(db_, {.create = true, .lock_timeout = std::chrono::milliseconds(30)}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ComPtr<FakeMachine> fake = ComPtr<FakeMachine>::Adopt(new FakeMachine);
  fake->total = 1000;
  long long committed_before_release = -1;
  int delivered_while_waiting = -1;
  Machine machine = Machine::Wrap(ComPtr<IMachine>(fake.Get()));
  DownloadSession session(*store_, 1, 2);
  session.batch_records = 100;
  session.batch_interval = std::chrono::milliseconds(0);
  // The download waits, reading nothing more, until the lock is released (at its second refusal).
  int refusals = 0;
  session.on_progress = [&](const DownloadProgress& p) {
    if (!p.waiting) return;
    if (refusals == 0) delivered_while_waiting = static_cast<int>(p.records);
    EXPECT_EQ(p.records, delivered_while_waiting) << "read on while the database refused";
    EXPECT_LE(p.uncommitted, 200u);
    if (++refusals != 2) return;
    committed_before_release = Committed();
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  };
  Outcome outcome = session.Run(machine);
  EXPECT_EQ(refusals, 2);
  sqlite3_close(other);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(committed_before_release, 0) << "stored while the lock was held";
  EXPECT_FALSE(session.store_error()) << *session.store_error();
  ASSERT_EQ(session.stored(), 1000u);
  EXPECT_EQ(session.added(), 1000u);
  EXPECT_EQ(Committed(), 1000);
}

// A batch is refused while the lock is held; the lock is released while the next batch is
// already on its way. That next batch must wait behind the refused one: every record is stored
// once, under its own index in the log (record i of the fake is person i % 3 at minute i / 5).
TEST_F(DownloadSessionTest, ARefusedBatchKeepsItsPlaceAndNothingAfterItIsStoredFirst) {
  store_.emplace(vanto::store::OpenRecordStore(db_, {.create = true, .lock_timeout = std::chrono::milliseconds(500)}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ComPtr<FakeMachine> fake = ComPtr<FakeMachine>::Adopt(new FakeMachine);
  fake->total = 450;
  Machine machine = Machine::Wrap(ComPtr<IMachine>(fake.Get()));
  DownloadSession session(*store_, 1, 2);
  session.batch_records = 100;
  session.batch_interval = std::chrono::milliseconds(0);
  // The first batch (records 1..100) has been refused: the lock goes while the session offers it
  // again, and nothing after it may be stored first.
  session.on_progress = [&](const DownloadProgress& p) {
    if (p.waiting) sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  };
  session.SetPositioner([] { return DownloadSession::Origin{vanto::store::LogKey{7, 1, 0}, 0}; });
  EXPECT_TRUE(session.Run(machine).ok);
  sqlite3_close(other);
  EXPECT_FALSE(session.store_error()) << *session.store_error();
  EXPECT_EQ(Committed(), 450);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT record_index, person FROM swipes ORDER BY record_index", -1, &stmt, nullptr),
            SQLITE_OK);
  long long expected = 0, misplaced = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const long long index = sqlite3_column_int64(stmt, 0);
    misplaced += index != expected++ || sqlite3_column_int64(stmt, 1) != FakeMachine::PersonOf(static_cast<int>(index));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  EXPECT_EQ(expected, 450);
  EXPECT_EQ(misplaced, 0) << "records stored under indices not theirs";
}

TEST_F(DownloadSessionTest, ALockHeldToTheEndIsReportedAndTheNextRunStoresEverything) {
  store_.emplace(vanto::store::OpenRecordStore(db_, {.create = true, .lock_timeout = std::chrono::milliseconds(30)}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ComPtr<FakeMachine> fake = ComPtr<FakeMachine>::Adopt(new FakeMachine);
  fake->total = 300;
  {
    Machine machine = Machine::Wrap(ComPtr<IMachine>(fake.Get()));
    DownloadSession session(*store_, 1, 2);
    session.batch_records = 100;
    Outcome outcome = session.Run(machine);
    EXPECT_TRUE(outcome.ok);
    ASSERT_TRUE(session.store_error());
    EXPECT_NE(session.store_error()->find("locked by another process"), std::string::npos) << *session.store_error();
    EXPECT_NE(session.store_error()->find(db_), std::string::npos) << *session.store_error();
    EXPECT_EQ(session.added(), 0u);
  }
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(Committed(), 0);
  std::size_t added = 0;
  EXPECT_TRUE(Download(fake.Get(), nullptr, &added).ok);
  EXPECT_EQ(added, 300u);
  EXPECT_EQ(Committed(), 300);
}

TEST_F(DownloadSessionTest, FalseKeepsWhatWasDeliveredAndTheNextRunAddsTheRest) {
  ComPtr<FakeMachine> fake = ComPtr<FakeMachine>::Adopt(new FakeMachine);
  fake->total = 523;
  fake->fail_after = 217;
  std::size_t added = 0;
  Outcome broken = Download(fake.Get(), nullptr, &added);
  EXPECT_FALSE(broken.ok);
  EXPECT_EQ(broken.message, "编号为2的考勤机不能下载刷卡数据！ ");
  EXPECT_EQ(added, 217u);
  EXPECT_EQ(Committed(), 217);

  fake->fail_after = -1;
  Outcome resumed = Download(fake.Get(), nullptr, &added);
  EXPECT_TRUE(resumed.ok);
  EXPECT_EQ(added, 523u - 217u);
  Outcome again = Download(fake.Get(), nullptr, &added);
  EXPECT_TRUE(again.ok);
  EXPECT_EQ(added, 0u);
  EXPECT_EQ(Committed(), 523);
  // Same person, same minute, twice: kept as occurrences 1 and 2.
  auto stored = store_->Swipes(1, 2);
  int pairs = 0;
  for (const auto& s : stored) pairs += s.occurrence == 2;
  EXPECT_GT(pairs, 0);
}

}  // namespace
