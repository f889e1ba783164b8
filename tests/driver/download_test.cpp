// Card record download through IMachine against the scripted control.
#include <cmath>
#include <deque>

#include "platform/automation/runtime.h"
#include "tests/driver/driver_fixture.h"

namespace {
struct Swipe {
  LONG person, year, month, day, hour, minute;
};

// Expected date values are written out by hand: whole days since 1899-12-30 plus the minutes of
// the day over 1440 (e.g. 2000-01-01 is day 36526, 9999-12-31 day 2958465, 0100-01-01 day -657434).
constexpr double Date(double days, int minutes) { return days + minutes / 1440.0; }

class DownloadTest : public DriverTest {
 protected:
  // The terminal delivers `swipes` in order through the by-reference arguments, then no more.
  void TerminalHolds(std::vector<Swipe> swipes, bool begins = true) {
    control().Answers(7, {ControlAnswer::Bool(begins)});
    auto pending = std::make_shared<std::deque<Swipe>>(swipes.begin(), swipes.end());
    control().On(25, [pending](CallArgs& args) {
      if (pending->empty()) return ControlAnswer::Bool(false);
      Swipe s = pending->front();
      pending->pop_front();
      args.Ref(2) = s.person;
      args.Ref(5) = s.year;
      args.Ref(6) = s.month;
      args.Ref(7) = s.day;
      args.Ref(8) = s.hour;
      args.Ref(9) = s.minute;
      return ControlAnswer::Bool(true);
    });
  }

  struct Record {
    LONG person;
    double when;
  };
  static std::vector<Record> RecordsIn(_Collection* list, std::size_t skip) {
    std::vector<Record> out;
    auto items = ItemsOf(list);
    for (std::size_t i = skip; i < items.size(); ++i) {
      ComPtr<ICardRecord> record;
      EXPECT_EQ(items[i].As(IID_ICardRecord, &record), S_OK);
      if (!record) continue;
      Variant person, when;
      EXPECT_EQ(record->get_PersonNo(person.Put()), S_OK);
      EXPECT_EQ(record->get_SwipeTime(when.Put()), S_OK);
      EXPECT_EQ(person.Type(), VT_I4);
      EXPECT_EQ(when.Type(), VT_DATE);
      out.push_back({person.Raw().lVal, when.Raw().date});
    }
    return out;
  }
};

TEST_F(DownloadTest, NoRecordsEitherWay) {
  for (bool begins : {false, true}) {
    SCOPED_TRACE(begins ? "first record read answers False" : "record read cannot begin");
    control().calls.clear();
    TerminalHolds({}, begins);
    ComPtr<_Collection> list = ListHolding(2);
    Outcome out = Download(2, 5, list.Get(), u"旧消息");
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_TRUE(out.result);
    EXPECT_EQ(Utf8(out.message), "");
    EXPECT_EQ(CountOf(list.Get()), 2);
    EXPECT_EQ(control().CallsOf(25).size(), begins ? 1u : 0u);
  }
}

TEST_F(DownloadTest, AppendsRecordsInOrderAfterExistingEntries) {
  TerminalHolds({{101, 2026, 11, 6, 9, 5}, {70000, 2026, 11, 6, 17, 59}, {3, 2024, 2, 29, 23, 0}});
  ComPtr<_Collection> list = ListHolding(2);
  Outcome out = Download(1, 5, list.Get());
  EXPECT_TRUE(out.result);
  EXPECT_EQ(Utf8(out.message), "");
  ASSERT_EQ(CountOf(list.Get()), 5);
  auto records = RecordsIn(list.Get(), 2);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].person, 101);
  EXPECT_NEAR(records[0].when, 46332.378472, 1e-6);
  EXPECT_DOUBLE_EQ(records[0].when, Date(46332, 9 * 60 + 5));
  EXPECT_EQ(records[1].person, 70000);
  EXPECT_DOUBLE_EQ(records[1].when, Date(46332, 17 * 60 + 59));
  EXPECT_EQ(records[2].person, 3);
  EXPECT_DOUBLE_EQ(records[2].when, Date(45351, 23 * 60));
}

// The exact calls: port, record read on the terminal variable, then a pump before every record.
TEST_F(DownloadTest, CallsAndPumpsInOrder) {
  control().tracePumps = true;
  TerminalHolds({{1, 2026, 1, 1, 0, 0}, {2, 2026, 1, 1, 0, 1}});
  ComPtr<_Collection> list = CreateCollection();
  Outcome out = Download(3, 8, list.Get());
  EXPECT_TRUE(out.result);
  EXPECT_EQ(control().log, (std::vector<std::string>{"put 1 = 3", "call 7", "pump", "call 25", "pump", "call 25",
                                                     "pump", "call 25"}));
  auto begin = control().CallsOf(7).at(0);
  EXPECT_EQ(begin.kinds, (std::vector<VARTYPE>{kRefLong}));
  EXPECT_EQ(begin.values, (std::vector<LONG>{8}));
  for (const auto& next : control().CallsOf(25)) {
    std::vector<VARTYPE> kinds(10, kRefLong);
    kinds[0] = VT_I4;
    EXPECT_EQ(next.kinds, kinds);
    EXPECT_EQ(next.values[0], 8);
    EXPECT_EQ(next.targets[1], next.targets[3]) << "the terminal variable is one variable passed twice";
    EXPECT_EQ(next.targets[1], begin.targets[0]) << "the same variable BeginCardRead received";
  }
}

// What the control writes into the working variables is what the next call receives.
TEST_F(DownloadTest, WorkingVariablesKeepWhatTheControlWrote) {
  control().On(7, [](CallArgs& args) {
    args.Ref(0) = 40;
    return ControlAnswer::Bool(true);
  });
  int pass = 0;
  control().On(25, [&pass](CallArgs& args) {
    ++pass;
    if (pass == 1) {
      args.Ref(1) = 50;
      EXPECT_EQ(args.Ref(3), 50) << "both references name one variable";
      args.Ref(3) = 41;  // through the second reference to the terminal variable
      args.Ref(4) = 99;
      args.Ref(2) = 7;
      args.Ref(5) = 2025, args.Ref(6) = 3, args.Ref(7) = 4, args.Ref(8) = 5, args.Ref(9) = 6;
      return ControlAnswer::Bool(true);
    }
    if (pass == 2) {
      args.Ref(9) = 7;  // only the minute changes
      return ControlAnswer::Bool(true);
    }
    return ControlAnswer::Bool(false);
  });
  ComPtr<_Collection> list = CreateCollection();
  Outcome out = Download(1, -3, list.Get());
  EXPECT_TRUE(out.result);
  auto calls = control().CallsOf(25);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].values, (std::vector<LONG>{-3, 40, 0, 40, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(calls[1].values, (std::vector<LONG>{-3, 41, 7, 41, 99, 2025, 3, 4, 5, 6}));
  EXPECT_EQ(calls[2].values, (std::vector<LONG>{-3, 41, 7, 41, 99, 2025, 3, 4, 5, 7}));
  auto records = RecordsIn(list.Get(), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_DOUBLE_EQ(records[1].when, Date(45720, 5 * 60 + 7));
  EXPECT_EQ(records[1].person, 7);
}

TEST_F(DownloadTest, HourZeroMinuteSeven) {
  TerminalHolds({{9, 2026, 11, 6, 0, 7}});
  ComPtr<_Collection> list = CreateCollection();
  EXPECT_TRUE(Download(1, 1, list.Get()).result);
  auto records = RecordsIn(list.Get(), 0);
  ASSERT_EQ(records.size(), 1u);
  double fraction = records[0].when - std::floor(records[0].when);
  EXPECT_NEAR(fraction * 1440.0, 7.0, 1e-6);
}

// A record the date conversion rejects ends the download: earlier records stay, later ones
// are not read, and the message is the fixed one with the caller's terminal number.
TEST_F(DownloadTest, BadDateKeepsEarlierRecords) {
  const Swipe good{1, 2026, 5, 1, 8, 0};
  const Swipe bad[] = {
      {2, 2026, 5, 32, 8, 0},  {2, 2026, 5, 1, 8, 60},  {2, 2026, 5, 1, 24, 0}, {2, 2026, 13, 5, 8, 0},
      {2, 2026, 0, 5, 8, 0},   {2, 2026, 5, 0, 8, 0},   {2, 2025, 2, 29, 8, 0}, {2, 1900, 2, 29, 8, 0},
      {2, 10000, 1, 1, 0, 0},  {2, -1, 1, 1, 0, 0},     {2, 2026, 5, 1, -1, 0}, {2, 2026, 4, 31, 0, 0},
  };
  for (const Swipe& b : bad) {
    SCOPED_TRACE(testing::Message() << b.year << "/" << b.month << "/" << b.day << " " << b.hour << ":" << b.minute);
    control().calls.clear();
    TerminalHolds({good, b, good});
    ComPtr<_Collection> list = ListHolding(1);
    Outcome out = Download(1, 3, list.Get(), u"旧消息");
    EXPECT_EQ(out.hr, S_OK);
    EXPECT_FALSE(out.result);
    EXPECT_EQ(Utf8(out.message), "编号为3的考勤机不能下载刷卡数据！ ");
    EXPECT_EQ(CountOf(list.Get()), 2);
    EXPECT_EQ(control().CallsOf(25).size(), 2u);
  }
}

// Valid texts, the leap years and the two-digit-year window (0-29 are 2000-2029, 30-99 are
// 1930-1999).
TEST_F(DownloadTest, DateConversionCases) {
  struct Case {
    Swipe swipe;
    double expected;
  } cases[] = {
      {{1, 2000, 2, 29, 12, 0}, Date(36585, 12 * 60)},
      {{1, 2024, 2, 29, 0, 0}, Date(45351, 0)},
      {{1, 1899, 12, 30, 0, 0}, 0.0},
      {{1, 1899, 12, 29, 6, 0}, -1.25},
      {{1, 9999, 12, 31, 23, 59}, Date(2958465, 23 * 60 + 59)},
      {{1, 100, 1, 1, 0, 0}, Date(-657434, 0)},
      {{1, 29, 6, 1, 0, 0}, Date(47270, 0)},
      {{1, 30, 6, 1, 0, 0}, Date(11110, 0)},
      {{1, 0, 1, 1, 0, 0}, Date(36526, 0)},
      {{1, 99, 12, 31, 23, 59}, Date(36525, 23 * 60 + 59)},
      {{1, 2026, 12, 12, 12, 12}, Date(46368, 12 * 60 + 12)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.swipe.year << "/" << c.swipe.month << "/" << c.swipe.day);
    TerminalHolds({c.swipe});
    ComPtr<_Collection> list = CreateCollection();
    Outcome out = Download(1, 1, list.Get());
    ASSERT_TRUE(out.result) << Utf8(out.message);
    auto records = RecordsIn(list.Get(), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NEAR(records[0].when, c.expected, 1e-9);
  }
}

TEST_F(DownloadTest, FixedMessageCarriesTheCallersNumber) {
  for (SHORT number : {3, -1, 32767, -32768}) {
    control().Answers(7, {}, ControlAnswer::Raise(u"读取失败"));
    ComPtr<_Collection> list = CreateCollection();
    Outcome out = Download(1, number, list.Get());
    EXPECT_FALSE(out.result);
    EXPECT_EQ(Utf8(out.message), "编号为" + std::to_string(number) + "的考勤机不能下载刷卡数据！ ");
  }
}

TEST_F(DownloadTest, ControlErrorInTheMiddleKeepsEarlierRecords) {
  TerminalHolds({{1, 2026, 1, 1, 1, 1}});
  int pass = 0;
  control().On(25, [&pass](CallArgs& args) {
    if (++pass == 1) {
      args.Ref(5) = 2026, args.Ref(6) = 1, args.Ref(7) = 2;
      return ControlAnswer::Bool(true);
    }
    return ControlAnswer::Raise(u"校验和错误");
  });
  ComPtr<_Collection> list = CreateCollection();
  Outcome out = Download(1, 12, list.Get());
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "编号为12的考勤机不能下载刷卡数据！ ");
  EXPECT_EQ(CountOf(list.Get()), 1);
}

TEST_F(DownloadTest, RecordThatCannotBeCreatedEndsTheDownload) {
  TerminalHolds({{1, 2026, 1, 1, 1, 1}, {2, 2026, 1, 1, 1, 2}});
  ComPtr<_Collection> list = CreateCollection();
  ASSERT_EQ(RevokeInProcessClass(CLSID_CardRecord), S_OK);
  Outcome out = Download(1, 2, list.Get());
  ASSERT_EQ(RegisterCorvelClasses(), S_OK);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "编号为2的考勤机不能下载刷卡数据！ ");
  EXPECT_EQ(CountOf(list.Get()), 0);
  EXPECT_EQ(control().CallsOf(25).size(), 1u);
}

// Records come from the class's factory, asked once per download; a record the factory cannot
// make ends the download there, with the records made before it kept in the list.
class FailingRecordFactory final : public ComObject<IClassFactory> {
 public:
  FailingRecordFactory(ComPtr<IClassFactory> real, int failAt) : real_(std::move(real)), failAt_(failAt) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (++calls == failAt_) return E_OUTOFMEMORY;
    return real_->CreateInstance(outer, iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  int calls = 0;
  mutable int lookups = 0;  // the runtime asking for the factory

 protected:
  bool Implements(REFIID iid) const override {
    lookups += iid == IID_IClassFactory;
    return iid == IID_IClassFactory;
  }

 private:
  ComPtr<IClassFactory> real_;
  int failAt_;
};

TEST_F(DownloadTest, RecordTheFactoryCannotMakeEndsTheDownloadKeepingEarlierRecords) {
  for (int failAt : {1, 2, 3}) {
    SCOPED_TRACE(failAt);
    TerminalHolds({{1, 2026, 1, 1, 1, 1}, {2, 2026, 1, 1, 1, 2}, {3, 2026, 1, 1, 1, 3}});
    ComPtr<IClassFactory> real;
    ASSERT_EQ(CoGetClassObject(CLSID_CardRecord, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(real.Put())),
              S_OK);
    auto failing = ComPtr<FailingRecordFactory>::Adopt(new FailingRecordFactory(real, failAt));
    ASSERT_EQ(RegisterInProcessClass(CLSID_CardRecord, u"Corvel.CardRecord", failing.Get()), S_OK);
    ComPtr<_Collection> list = CreateCollection();
    const int before = failing->lookups;
    Outcome out = Download(1, 2, list.Get());
    const int lookups = failing->lookups - before;
    ASSERT_EQ(RegisterCorvelClasses(), S_OK);
    EXPECT_EQ(lookups, 1) << "the class is looked up once per download, not once per record";
    EXPECT_FALSE(out.result);
    EXPECT_EQ(Utf8(out.message), "编号为2的考勤机不能下载刷卡数据！ ");
    EXPECT_EQ(CountOf(list.Get()), failAt - 1);
    EXPECT_EQ(failing->calls, failAt);
  }
}

// Work the host posted runs at the pumps and may call the driver again on the same link.
TEST_F(DownloadTest, ReentrantCallFromAPumpedMessage) {
  int created = ScriptedControl::Created().load();
  ComPtr<_Collection> nested = CreateCollection();
  Outcome inner;
  bool posted = false;
  control().Answers(7, {ControlAnswer::Bool(true)}, ControlAnswer::Bool(false));
  int pass = 0;
  control().On(25, [&](CallArgs& args) {
    ++pass;
    if (pass == 1 && !posted) {
      posted = true;
      PostThreadWork([&] { inner = Download(4, 9, nested.Get()); });
    }
    if (pass > 2) return ControlAnswer::Bool(false);
    args.Ref(2) = pass, args.Ref(5) = 2026, args.Ref(6) = 1, args.Ref(7) = pass;
    return ControlAnswer::Bool(true);
  });
  ComPtr<_Collection> list = CreateCollection();
  Outcome outer = Download(2, 5, list.Get());
  EXPECT_TRUE(outer.result) << Utf8(outer.message);
  EXPECT_TRUE(inner.result) << Utf8(inner.message);
  // The nested download ran at the pump after the first record: its record read could not begin
  // (the control answers BeginCardRead True only once), so it added nothing; the outer one kept
  // reading on its own variables and delivered both records, each once, in order.
  EXPECT_EQ(CountOf(nested.Get()), 0);
  auto records = RecordsIn(list.Get(), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].person, 1);
  EXPECT_DOUBLE_EQ(records[0].when, Date(46023, 0));  // 2026-01-01
  EXPECT_EQ(records[1].person, 2);
  EXPECT_DOUBLE_EQ(records[1].when, Date(46024, 0));  // 2026-01-02
  EXPECT_EQ(control().CallsOf(7).size(), 2u);
  EXPECT_EQ(PortsPut(control()), (std::vector<SHORT>{2, 4}));
  EXPECT_EQ(ScriptedControl::Created().load(), created);
}
}  // namespace
