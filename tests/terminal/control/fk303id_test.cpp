// The control through its dispatch interface, against simulated terminals on pseudo-terminals.
#include "terminal/control/fk303id.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/errorinfo.h"
#include "platform/automation/object.h"
#include "platform/automation/owners.h"
#include "platform/automation/runtime.h"
#include "platform/automation/text.h"
#include "terminal/sim/simulator.h"
#include "tests/support/tcp_peer.h"

namespace {

using namespace std::chrono_literals;
using terminal::protocol::CardRecordFields;
using terminal::protocol::Template;
using terminal::sim::FaultPlan;
using terminal::sim::SimulatorSite;

VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT I2(SHORT v) {
  VARIANT x = I4(0);
  x.vt = VT_I2;
  x.iVal = v;
  return x;
}
VARIANT Bool(bool v) {
  VARIANT x = I4(0);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
VARIANT Ref(LONG* target) {
  VARIANT x = I4(0);
  x.vt = VT_BYREF | VT_I4;
  x.plVal = target;
  return x;
}

struct Outcome {
  HRESULT hr = E_FAIL;
  bool answer = false;
  VARTYPE type = VT_EMPTY;
  std::string error;
  UINT argError = 9999;
};

// Invokes `member` with `args` in the caller's order (they travel reversed).
Outcome Invoke(IDispatch* control, DISPID member, std::vector<VARIANT> args, WORD flags = DISPATCH_METHOD) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &put : nullptr, static_cast<UINT>(reversed.size()),
                    flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  Variant result;
  EXCEPINFO exception{};
  Outcome outcome;
  outcome.hr = control->Invoke(member, GUID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.Ptr(), &exception,
                               &outcome.argError);
  outcome.type = result.Type();
  outcome.answer = result.Type() == VT_BOOL && result.Raw().boolVal == VARIANT_TRUE;
  if (outcome.hr == DISP_E_EXCEPTION) outcome.error = ToUtf8(TakeExceptionDescription(exception));
  return outcome;
}

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    objectsBefore_ = LiveObjectCount().load();
    site_.Options().pace = false;
    site_.Options().turnaround = 0us;
    auto& five = site_.AddTerminal(1, 5);
    for (int i = 0; i < 250; ++i) five.records.push_back({1000 + i, 2026, 11, 6, 9, i % 60});
    five.records.push_back({-1, 1999, 13, 32, 24, 60});
    five.records.push_back({std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min(), 0, 0, -1, 99});
    site_.AddTerminal(1, 6).silent = true;
    auto& seven = site_.AddTerminal(1, 7);
    for (std::size_t i = 0; i < fingerprint_.size(); ++i) fingerprint_[i] = static_cast<std::int32_t>(i * 40503u) - 9000000;
    seven.persons[42].fingerprints[0] = fingerprint_;
    seven.persons[43].password = 98765;
    seven.capacity = 3;
    site_.AddTerminal(2, 9);
    site_.Start();
    ::setenv("VANTO_FK_PORT_PATTERN", (site_.LinkDir() + "/port{N}").c_str(), 1);
    ::setenv("VANTO_FK_PROBE_TIMEOUT_MS", "500", 1);  // room for a loaded test machine
    ::setenv("VANTO_FK_TIMEOUT_MS", "1000", 1);
    ::setenv("VANTO_FK_GAP_MS", "200", 1);
    control_ = NewControl();
  }
  void TearDown() override {
    control_.Reset();
    site_.Stop();
    for (const char* name : {"VANTO_FK_PORT_PATTERN", "VANTO_FK_PROBE_TIMEOUT_MS", "VANTO_FK_TIMEOUT_MS", "VANTO_FK_GAP_MS",
                             "VANTO_FK_SPEED"})
      ::unsetenv(name);
    EXPECT_EQ(LiveObjectCount().load(), objectsBefore_);
  }

  static ComPtr<IDispatch> NewControl() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(GetFK303IDClassObject(CLSID_FK303ID, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
    ComPtr<IDispatch> control;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(control.Put())), S_OK);
    return control;
  }

  void SelectPort(SHORT port) { ASSERT_EQ(Invoke(control_.Get(), fk303id::member::kSerialPort, {I2(port)}, DISPATCH_PROPERTYPUT).hr, S_OK); }
  Outcome Probe(LONG terminal) { return Invoke(control_.Get(), fk303id::member::kProbeMachine, {I4(terminal), Bool(true)}); }
  Outcome Begin(LONG terminal) {
    LONG variable = terminal;
    return Invoke(control_.Get(), fk303id::member::kBeginCardRead, {Ref(&variable)});
  }
  struct RecordOut {
    LONG terminal = 0, person = 0, fifth = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
  };
  Outcome Next(LONG terminal, RecordOut& out) {
    out.terminal = terminal;
    return Invoke(control_.Get(), fk303id::member::kNextCardRecord,
                  {I4(terminal), Ref(&out.terminal), Ref(&out.person), Ref(&out.terminal), Ref(&out.fifth),
                   Ref(&out.year), Ref(&out.month), Ref(&out.day), Ref(&out.hour), Ref(&out.minute)});
  }
  // Reads every record; stops at the first failure, which it returns.
  Outcome ReadAll(LONG terminal, std::vector<CardRecordFields>& records) {
    Outcome begun = Begin(terminal);
    if (begun.hr != S_OK || !begun.answer) return begun;
    for (;;) {
      RecordOut out;
      Outcome next = Next(terminal, out);
      if (next.hr != S_OK || !next.answer) return next;
      EXPECT_EQ(out.terminal, terminal) << "the terminal variables are the caller's";
      records.push_back({out.person, out.year, out.month, out.day, out.hour, out.minute});
    }
  }

  SimulatorSite site_;
  ComPtr<IDispatch> control_;
  Template fingerprint_{};
  long objectsBefore_ = 0;
};

TEST_F(ControlTest, NamesMapToMemberNumbers) {
  struct Case {
    const char16_t* name;
    DISPID id;
  } cases[] = {{u"SerialPort", 1},      {u"PrepareEnrollment", 4}, {u"BeginCardRead", 7}, {u"ProbeMachine", 10},
               {u"ReadEnrollment", 19}, {u"WriteEnrollment", 20},  {u"NextCardRecord", 25}, {u"nextcardrecord", 25}};
  for (const auto& c : cases) {
    std::u16string name = c.name;
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(control_->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, c.id);
  }
  std::u16string unknown = u"DeleteAllRecords";
  LPOLESTR names[] = {unknown.data()};
  DISPID id = 0;
  EXPECT_EQ(control_->GetIDsOfNames(GUID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(ControlTest, CallShapesAreChecked) {
  EXPECT_EQ(Invoke(control_.Get(), fk303id::member::kProbeMachine, {I4(5)}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(control_.Get(), 99, {}).hr, DISP_E_MEMBERNOTFOUND);
  // A put without the named DISPID_PROPERTYPUT argument is no put.
  std::vector<VARIANT> args = {I2(1)};
  DISPPARAMS params{args.data(), nullptr, 1, 0};
  EXPECT_NE(control_->Invoke(fk303id::member::kSerialPort, GUID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
  // Outputs must be by reference.
  Outcome byValue = Invoke(control_.Get(), fk303id::member::kNextCardRecord,
                           {I4(5), I4(5), I4(0), I4(5), I4(0), I4(0), I4(0), I4(0), I4(0), I4(0)});
  EXPECT_EQ(byValue.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(byValue.argError, 7u);  // person, the third argument, is rgvarg[7]
  VARIANT text = I4(0);
  text.vt = VT_BSTR;
  text.bstrVal = nullptr;
  Outcome badType = Invoke(control_.Get(), fk303id::member::kProbeMachine, {text, Bool(true)});
  EXPECT_EQ(badType.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(badType.argError, 1u);
}

TEST_F(ControlTest, SerialPortKeepsTheLastValue) {
  Variant result;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(control_->Invoke(fk303id::member::kSerialPort, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Ptr(), nullptr, nullptr), S_OK);
  EXPECT_EQ(result.Type(), VT_I2);
  EXPECT_EQ(result.Raw().iVal, 1);  // the initial port
  SelectPort(2);
  ASSERT_EQ(control_->Invoke(fk303id::member::kSerialPort, GUID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(result.Raw().iVal, 2);
}

TEST_F(ControlTest, ProbeFindsTheTerminalsThatAnswer) {
  SelectPort(1);
  struct Case {
    LONG terminal;
    bool answers;
  } cases[] = {{5, true}, {7, true}, {6, false}, {9, false}, {8, false},
               {0, false}, {256, false}, {-5, false}, {std::numeric_limits<LONG>::max(), false}};
  for (const auto& c : cases) {
    const Outcome outcome = Probe(c.terminal);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_EQ(outcome.type, VT_BOOL);
    EXPECT_EQ(outcome.answer, c.answers) << c.terminal;
  }
  SelectPort(2);
  EXPECT_TRUE(Probe(9).answer);
  EXPECT_FALSE(Probe(5).answer);
}

TEST_F(ControlTest, ProbeOnAPortThatCannotBeOpenedIsFalse) {
  for (SHORT port : {SHORT{3}, SHORT{0}, SHORT{-1}}) {
    SelectPort(port);
    const Outcome outcome = Probe(5);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_FALSE(outcome.answer) << port;
  }
}

TEST_F(ControlTest, ReadsEveryRecordInOrderAndAgain) {
  SelectPort(1);
  const auto expected = site_.Terminal(1, 5)->records;
  for (int round = 0; round < 2; ++round) {
    std::vector<CardRecordFields> records;
    const Outcome end = ReadAll(5, records);
    EXPECT_EQ(end.hr, S_OK) << end.error;
    EXPECT_FALSE(end.answer);
    EXPECT_EQ(records, expected) << "round " << round;
  }
  EXPECT_EQ(site_.Terminal(1, 5)->records, expected) << "reading deletes nothing";
}

TEST_F(ControlTest, EveryRecordExactlyOnceDespiteFaults) {
  FaultPlan plan;
  plan.seed = 20261208;
  plan.drop = 0.1;
  plan.corrupt = 0.1;
  plan.truncate = 0.1;
  plan.garbage = 0.2;
  site_.SetFaults(1, plan);
  ::setenv("VANTO_FK_RETRIES", "8", 1);
  ::setenv("VANTO_FK_BATCH", "7", 1);  // many exchanges, so many faults
  ::setenv("VANTO_FK_TIMEOUT_MS", "300", 1);  // each lost answer costs one; a slow one is retried
  control_ = NewControl();
  ::unsetenv("VANTO_FK_RETRIES");
  ::unsetenv("VANTO_FK_BATCH");
  ::setenv("VANTO_FK_TIMEOUT_MS", "1000", 1);
  SelectPort(1);
  std::vector<CardRecordFields> records;
  const Outcome end = ReadAll(5, records);
  EXPECT_EQ(end.hr, S_OK) << end.error;
  EXPECT_EQ(records, site_.Terminal(1, 5)->records);
  const auto stats = site_.Stats(1);
  EXPECT_GT(stats.dropped, 0u);
  EXPECT_GT(stats.corrupted, 0u);
  EXPECT_GT(stats.truncated, 0u);
  EXPECT_GT(stats.garbageBursts, 0u);
}

TEST_F(ControlTest, LateAnswersNeverStandInForLaterRequests) {
  // Late answers reach the control while it waits for its retry's answer or for the next request.
  FaultPlan plan;
  plan.seed = 99;
  plan.late = 0.3;
  plan.lateBy = 600ms;  // beyond the 300 ms answer timeout
  site_.SetFaults(1, plan);
  ::setenv("VANTO_FK_RETRIES", "8", 1);
  ::setenv("VANTO_FK_BATCH", "25", 1);
  ::setenv("VANTO_FK_TIMEOUT_MS", "300", 1);
  control_ = NewControl();
  ::unsetenv("VANTO_FK_RETRIES");
  ::unsetenv("VANTO_FK_BATCH");
  ::setenv("VANTO_FK_TIMEOUT_MS", "1000", 1);
  SelectPort(1);
  std::vector<CardRecordFields> records;
  const Outcome end = ReadAll(5, records);
  EXPECT_EQ(end.hr, S_OK) << end.error;
  EXPECT_EQ(records, site_.Terminal(1, 5)->records);
  EXPECT_GT(site_.Stats(1).late, 0u);
}

TEST_F(ControlTest, ASilentTerminalIsAnErrorNotTheEnd) {
  SelectPort(1);
  const Outcome begun = Begin(6);
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  EXPECT_NE(begun.error.find("串口 1"), std::string::npos) << begun.error;
  EXPECT_NE(begun.error.find("编号为 6 的考勤机没有应答"), std::string::npos) << begun.error;
  EXPECT_NE(begun.error.find("共尝试 4 次"), std::string::npos) << begun.error;
  EXPECT_NE(begun.error.find("开始读取刷卡记录失败"), std::string::npos) << begun.error;
}

TEST_F(ControlTest, ALinkThatGoesQuietMidReadIsAnError) {
  SelectPort(1);
  ASSERT_TRUE(Begin(5).answer);
  RecordOut out;
  ASSERT_TRUE(Next(5, out).answer);
  FaultPlan deaf;
  deaf.drop = 1.0;
  site_.SetFaults(1, deaf);
  Outcome next;
  for (int i = 0; i < 300 && next.hr != DISP_E_EXCEPTION; ++i) {
    next = Next(5, out);
    ASSERT_TRUE(next.hr == DISP_E_EXCEPTION || next.answer) << "a broken read must never look finished";
  }
  EXPECT_EQ(next.hr, DISP_E_EXCEPTION);
  EXPECT_NE(next.error.find("读取刷卡记录失败"), std::string::npos) << next.error;
}

TEST_F(ControlTest, UnopenablePortAndBadNumbersAreErrorsForReading) {
  SelectPort(4);
  Outcome begun = Begin(5);
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  EXPECT_NE(begun.error.find("串口 4"), std::string::npos) << begun.error;
  EXPECT_NE(begun.error.find("无法打开"), std::string::npos) << begun.error;
  SelectPort(1);
  begun = Begin(300);
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  EXPECT_NE(begun.error.find("1 到 255"), std::string::npos) << begun.error;
  RecordOut out;
  const Outcome notBegun = Next(5, out);
  EXPECT_EQ(notBegun.hr, DISP_E_EXCEPTION);
  EXPECT_NE(notBegun.error.find("尚未开始读取"), std::string::npos) << notBegun.error;
}

TEST_F(ControlTest, HangUpIsAnErrorAndThePortComesBack) {
  SelectPort(1);
  ASSERT_TRUE(Begin(5).answer);
  RecordOut out;
  ASSERT_TRUE(Next(5, out).answer);
  const auto generation = site_.LineGeneration(1);
  site_.HangUp(1);
  ASSERT_TRUE(site_.WaitForLineGeneration(1, generation + 1, 2s));
  Outcome next;
  for (int i = 0; i < 300 && next.hr != DISP_E_EXCEPTION; ++i) {
    next = Next(5, out);
    ASSERT_TRUE(next.hr == DISP_E_EXCEPTION || next.answer);
  }
  EXPECT_NE(next.error.find("线路已断开"), std::string::npos) << next.error;
  std::vector<CardRecordFields> records;
  const Outcome end = ReadAll(5, records);
  EXPECT_EQ(end.hr, S_OK) << end.error;
  EXPECT_EQ(records, site_.Terminal(1, 5)->records);
}

TEST_F(ControlTest, AnUnreachableServerIsAnErrorNamingPortAddressAndCause) {
  const std::string address = vanto::testing::RefusingAddress();
  ::setenv("VANTO_FK_PORT_3", address.c_str(), 1);
  control_ = NewControl();
  ::unsetenv("VANTO_FK_PORT_3");
  SelectPort(3);
  const Outcome begun = Begin(5);
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  for (const std::string& part : {std::string("网络端口 3（" + address + "）"), std::string("无法连接到网络地址"),
                                  std::string("refused")})
    EXPECT_NE(begun.error.find(part), std::string::npos) << part << " in " << begun.error;
  EXPECT_EQ(begun.error.find("串口"), std::string::npos) << "a network port is no serial port: " << begun.error;
  EXPECT_FALSE(Probe(5).answer);
}

TEST_F(ControlTest, AServerThatDropsTheConnectionIsANetworkHangUpNotASerialOne) {
  vanto::testing::TcpPeer dropper;
  std::thread dropping([&] {
    // Half a frame, then the connection goes.
    if (!dropper.Accept()) return;
    dropper.Receive(6, 2000ms);
    dropper.Send({terminal::protocol::kStart1, terminal::protocol::kStart2, 5});
    dropper.CloseConnection();
  });
  ::setenv("VANTO_FK_PORT_2", dropper.Address().c_str(), 1);
  control_ = NewControl();
  ::unsetenv("VANTO_FK_PORT_2");
  SelectPort(2);
  const Outcome begun = Begin(5);
  dropping.join();
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  for (const std::string& part : {std::string("开始读取刷卡记录失败：网络端口 2（" + dropper.Address() + "）"),
                                  std::string("编号为 5 的考勤机通信中断：网络连接已断开（")})
    EXPECT_NE(begun.error.find(part), std::string::npos) << part << " in " << begun.error;
  EXPECT_EQ(begun.error.find("串口"), std::string::npos) << "a network port is no serial port: " << begun.error;
}

TEST_F(ControlTest, ReadEnrollmentFillsTheWholeTemplateOrThePassword) {
  SelectPort(1);
  std::vector<LONG> buffer(static_cast<int>(fk303id::kTemplateValues), 0);
  LONG terminal = 7, person = 42, third = 0, enrolment = 0, fifth = 0, password = -1;
  Outcome read = Invoke(control_.Get(), fk303id::member::kReadEnrollment,
                        {Ref(&terminal), Ref(&person), Ref(&third), Ref(&enrolment), Ref(&fifth), Ref(&buffer[0]), Ref(&password)});
  ASSERT_EQ(read.hr, S_OK) << read.error;
  EXPECT_TRUE(read.answer);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), fingerprint_.begin()));
  EXPECT_EQ(password, -1) << "a fingerprint read leaves the password";

  person = 43;
  enrolment = 10;
  read = Invoke(control_.Get(), fk303id::member::kReadEnrollment,
                {Ref(&terminal), Ref(&person), Ref(&third), Ref(&enrolment), Ref(&fifth), Ref(&buffer[0]), Ref(&password)});
  EXPECT_TRUE(read.answer);
  EXPECT_EQ(password, 98765);

  struct Missing {
    LONG person, enrolment;
  } missing[] = {{43, 0}, {42, 10}, {44, 0}, {42, 11}, {42, -1}};
  for (const auto& m : missing) {
    person = m.person;
    enrolment = m.enrolment;
    read = Invoke(control_.Get(), fk303id::member::kReadEnrollment,
                  {Ref(&terminal), Ref(&person), Ref(&third), Ref(&enrolment), Ref(&fifth), Ref(&buffer[0]), Ref(&password)});
    EXPECT_EQ(read.hr, S_OK);
    EXPECT_FALSE(read.answer) << m.person << "/" << m.enrolment;
  }
}

TEST_F(ControlTest, WriteEnrollmentStoresTemplatesAndPasswords) {
  SelectPort(1);
  std::vector<LONG> buffer(static_cast<int>(fk303id::kTemplateValues));
  for (int i = 0; i < static_cast<int>(fk303id::kTemplateValues); ++i) buffer[static_cast<std::size_t>(i)] = -i * 1000;
  auto write = [&](LONG person, LONG enrolment, LONG password) {
    const Outcome prepared = Invoke(control_.Get(), fk303id::member::kPrepareEnrollment, {I4(7), I4(person), I4(1), I4(enrolment)});
    EXPECT_EQ(prepared.hr, S_OK) << prepared.error;
    return Invoke(control_.Get(), fk303id::member::kWriteEnrollment,
                  {I4(7), I4(person), I4(1), I4(enrolment), I4(1), Ref(&buffer[0]), I4(password)});
  };
  EXPECT_TRUE(write(50, 0, 0).answer);
  EXPECT_TRUE(write(42, 10, 1234).answer);
  const auto seven = site_.Terminal(1, 7);
  const Template& stored = seven->persons.at(50).fingerprints.at(0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), stored.begin()));
  EXPECT_EQ(seven->persons.at(42).password, 1234);
  EXPECT_EQ(seven->persons.at(42).fingerprints.at(0), fingerprint_) << "a password write leaves the fingerprint";
  EXPECT_FALSE(write(51, 0, 0).answer) << "capacity 3: a fourth person is refused";
  EXPECT_FALSE(write(52, 12, 0).answer) << "no enrolment 12";
  EXPECT_FALSE(site_.Terminal(1, 7)->persons.contains(51));
}

TEST_F(ControlTest, ClockMembersReadAndSetTheClockAndTellRefusals) {
  site_.EditTerminal(1, 5, [](terminal::sim::SimTerminal& t) { t.version = 3; });
  site_.EditTerminal(1, 7, [](terminal::sim::SimTerminal& t) { t.clockLocked = true; });  // version 2: no clock
  SelectPort(1);
  LONG f[6] = {};
  auto read = [&](LONG terminal) {
    return Invoke(control_.Get(), fk303id::member::kReadClock,
                  {I4(terminal), Ref(&f[0]), Ref(&f[1]), Ref(&f[2]), Ref(&f[3]), Ref(&f[4]), Ref(&f[5])});
  };
  auto set = [&](LONG terminal, std::vector<LONG> time, LONG& refusal) {
    std::vector<VARIANT> args{I4(terminal)};
    for (LONG value : time) args.push_back(I4(value));
    args.push_back(Ref(&refusal));
    return Invoke(control_.Get(), fk303id::member::kSetClock, args);
  };
  struct Case {
    LONG terminal;
    std::vector<LONG> time;
    bool answer;
    LONG refusal;
  } cases[] = {
      {5, {2026, 6, 1, 12, 0, 0}, true, 0},
      {5, {2026, 2, 30, 12, 0, 0}, false, 9},
      {5, {2026, 6, 1, 12, 0, 60}, false, 9},
      {7, {2026, 6, 1, 12, 0, 0}, false, 1},
  };
  for (const auto& c : cases) {
    LONG refusal = -1;
    const Outcome outcome = set(c.terminal, c.time, refusal);
    ASSERT_EQ(outcome.hr, S_OK) << outcome.error;
    EXPECT_EQ(outcome.answer, c.answer) << c.terminal << " " << c.time[2];
    EXPECT_EQ(refusal, c.refusal) << c.terminal << " " << c.time[2];
  }
  // The clock runs on from the set (however slow the machine, not for five minutes).
  const Outcome shown = read(5);
  ASSERT_EQ(shown.hr, S_OK) << shown.error;
  EXPECT_TRUE(shown.answer);
  const std::int64_t since = terminal::protocol::WallSeconds({f[0], f[1], f[2], f[3], f[4], f[5]}) -
                             terminal::protocol::WallSeconds({2026, 6, 1, 12, 0, 0});
  EXPECT_GE(since, 0);
  EXPECT_LT(since, 300);
  const Outcome none = read(7);
  EXPECT_EQ(none.hr, S_OK);
  EXPECT_FALSE(none.answer);
  const Outcome silent = read(6);
  ASSERT_EQ(silent.hr, DISP_E_EXCEPTION);
  EXPECT_NE(silent.error.find("读取考勤机时钟失败：串口 1"), std::string::npos) << silent.error;
  EXPECT_NE(silent.error.find("编号为 6 的考勤机没有应答"), std::string::npos) << silent.error;

  // A record read of a version 3 terminal is dense, of a version 2 one plain.
  for (const auto& [terminal, dense] : {std::pair{5, 1}, std::pair{7, 0}}) {
    ASSERT_TRUE(Begin(terminal).answer);
    LONG form[2] = {-1, -1};
    const Outcome outcome = Invoke(control_.Get(), fk303id::member::kCardReadForm, {I4(terminal), Ref(&form[0]), Ref(&form[1])});
    EXPECT_TRUE(outcome.answer);
    EXPECT_EQ(form[0], dense);
    EXPECT_EQ(form[1], 0);
  }
}

TEST_F(ControlTest, InvalidSettingIsReportedByTheFirstCall) {
  ::setenv("VANTO_FK_SPEED", "fast", 1);
  control_ = NewControl();
  SelectPort(1);
  const Outcome begun = Begin(5);
  EXPECT_EQ(begun.hr, DISP_E_EXCEPTION);
  EXPECT_NE(begun.error.find("VANTO_FK_SPEED=fast"), std::string::npos) << begun.error;
}

// The host's members: terminal identity, where a record read starts, what it did, raw records,
// clearing.
class IncrementalReadTest : public ControlTest {
 protected:
  struct Info {
    LONG version = -1, identity = -1, capacity = -1, held = -1, generation = -1;
  };
  Outcome TerminalInfo(IDispatch* control, LONG terminal, Info& info) {
    return Invoke(control, fk303id::member::kTerminalInfo,
                  {I4(terminal), Ref(&info.version), Ref(&info.identity), Ref(&info.capacity), Ref(&info.held),
                   Ref(&info.generation)});
  }
  Outcome SetStart(IDispatch* control, LONG terminal, LONG identity, LONG generation, LONG index) {
    return Invoke(control, fk303id::member::kSetCardReadStart, {I4(terminal), I4(identity), I4(generation), I4(index)});
  }
  struct Status {
    LONG reads = -1, held = -1, generation = -1, identity = -1, start = -1, next = -1, state = -1;
  };
  Outcome ReadStatus(IDispatch* control, LONG terminal, Status& s) {
    return Invoke(control, fk303id::member::kCardReadStatus,
                  {I4(terminal), Ref(&s.reads), Ref(&s.held), Ref(&s.generation), Ref(&s.identity), Ref(&s.start),
                   Ref(&s.next), Ref(&s.state)});
  }
  Outcome RecordAt(LONG terminal, LONG generation, LONG index, CardRecordFields& r) {
    LONG f[6] = {};
    Outcome o = Invoke(control_.Get(), fk303id::member::kReadCardRecordAt,
                       {I4(terminal), I4(generation), I4(index), Ref(&f[0]), Ref(&f[1]), Ref(&f[2]), Ref(&f[3]),
                        Ref(&f[4]), Ref(&f[5])});
    r = {f[0], f[1], f[2], f[3], f[4], f[5]};
    return o;
  }
  Outcome Clear(LONG terminal, LONG generation, LONG count, LONG& next) {
    return Invoke(control_.Get(), fk303id::member::kClearCardRecords, {I4(terminal), I4(generation), I4(count), Ref(&next)});
  }
  // The host's own control object on port 1.
  ComPtr<IDispatch> Host() {
    ComPtr<IDispatch> host = NewControl();
    EXPECT_EQ(Invoke(host.Get(), fk303id::member::kSerialPort, {I2(1)}, DISPATCH_PROPERTYPUT).hr, S_OK);
    return host;
  }
  static LONG Identity(int port, int address) { return static_cast<LONG>(terminal::sim::DefaultIdentity(port, address)); }
};

TEST_F(IncrementalReadTest, TerminalInfoGivesIdentityCapacityCountAndGeneration) {
  site_.EditTerminal(1, 7, [](auto& t) { t.version = 1; });
  auto host = Host();
  Info five, seven;
  ASSERT_TRUE(TerminalInfo(host.Get(), 5, five).answer);
  EXPECT_EQ(five.version, 2);
  EXPECT_EQ(five.identity, Identity(1, 5));
  EXPECT_EQ(five.capacity, 100000);
  EXPECT_EQ(five.held, 252);
  EXPECT_EQ(five.generation, 1);
  ASSERT_TRUE(TerminalInfo(host.Get(), 7, seven).answer);
  EXPECT_EQ(seven.version, 1);
  EXPECT_EQ(seven.identity, 0);
  EXPECT_EQ(seven.generation, 0);
  Info none;
  const Outcome silent = TerminalInfo(host.Get(), 6, none);
  EXPECT_EQ(silent.hr, DISP_E_EXCEPTION);
  EXPECT_NE(silent.error.find("读取考勤机信息失败"), std::string::npos) << silent.error;
}

TEST_F(IncrementalReadTest, AStartSetOnOneControlIsTakenByTheNextReadOfAnother) {
  const auto all = site_.Terminal(1, 5)->records;
  struct Case {
    const char* name;
    LONG identity, generation, index;
    std::size_t from;  // first record the read delivers
  } cases[] = {
      {"the start", Identity(1, 5), 1, 240, 240},
      {"at the count: nothing new", Identity(1, 5), 1, 252, 252},
      {"beyond the count: all", Identity(1, 5), 1, 253, 0},
      {"another identity: all", Identity(1, 5) + 1, 1, 240, 0},
      {"another generation: all", Identity(1, 5), 2, 240, 0},
      {"no identity for a version 2 terminal: all", 0, 0, 240, 0},
  };
  SelectPort(1);
  auto host = Host();
  for (const Case& c : cases) {
    ASSERT_TRUE(SetStart(host.Get(), 5, c.identity, c.generation, c.index).answer) << c.name;
    std::vector<CardRecordFields> records;
    const Outcome end = ReadAll(5, records);
    EXPECT_EQ(end.hr, S_OK) << c.name << ": " << end.error;
    EXPECT_EQ(records, std::vector<CardRecordFields>(all.begin() + static_cast<long>(c.from), all.end())) << c.name;
    Status s;
    ASSERT_TRUE(ReadStatus(host.Get(), 5, s).answer);
    EXPECT_EQ(s.start, static_cast<LONG>(c.from)) << c.name;
    EXPECT_EQ(s.next, 252) << c.name;
    EXPECT_EQ(s.held, 252) << c.name;
    EXPECT_EQ(s.state, 1) << c.name;
    // Taken once: the next read reads everything again.
    records.clear();
    EXPECT_EQ(ReadAll(5, records).hr, S_OK);
    EXPECT_EQ(records.size(), all.size()) << c.name;
  }
  ASSERT_TRUE(SetStart(host.Get(), 5, Identity(1, 5), 1, 100).answer);
  ASSERT_TRUE(SetStart(host.Get(), 5, 0, 0, -1).answer);  // removed again
  std::vector<CardRecordFields> records;
  EXPECT_EQ(ReadAll(5, records).hr, S_OK);
  EXPECT_EQ(records.size(), all.size());
  Status none;
  EXPECT_FALSE(ReadStatus(host.Get(), 99, none).answer);
}

TEST_F(IncrementalReadTest, StatusTellsWhereAnAbandonedReadStopped) {
  SelectPort(1);
  auto host = Host();
  ASSERT_TRUE(SetStart(host.Get(), 5, Identity(1, 5), 1, 200).answer);
  ASSERT_TRUE(Begin(5).answer);
  RecordOut out;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Next(5, out).answer);
  Status s;
  ASSERT_TRUE(ReadStatus(host.Get(), 5, s).answer);
  EXPECT_EQ(s.start, 200);
  EXPECT_EQ(s.next, 203);
  EXPECT_EQ(s.state, 0);
  EXPECT_EQ(s.identity, Identity(1, 5));
  EXPECT_EQ(s.generation, 1);
}

TEST_F(IncrementalReadTest, AnEarlyLastBatchIsAnErrorAfterTheRetriesNeverTheEnd) {
  for (bool lies : {false, true}) {
    site_.EditTerminal(1, 5, [&](auto& t) {
      if (lies) {
        t.earlyLast = 0;
        t.claimHeld = 400;  // says it holds more than it has
      } else {
        t.earlyLast = 100;
      }
    });
    SelectPort(1);
    std::vector<CardRecordFields> records;
    const Outcome end = ReadAll(5, records);
    EXPECT_EQ(end.hr, DISP_E_EXCEPTION) << "lies " << lies;
    const std::string where = lies ? "在第 252 条记录后" : "在第 100 条记录后";
    const std::string held = lies ? "共有 400 条" : "共有 252 条";
    EXPECT_NE(end.error.find(where), std::string::npos) << end.error;
    EXPECT_NE(end.error.find(held), std::string::npos) << end.error;
    EXPECT_NE(end.error.find("共尝试 4 次"), std::string::npos) << end.error;
    EXPECT_EQ(records.size(), lies ? 200u : 0u) << "the short batch itself is never handed out";
  }
  // A terminal that says it holds fewer than it has is read to its end.
  site_.EditTerminal(1, 5, [](auto& t) { t.claimHeld = 10; });
  std::vector<CardRecordFields> records;
  EXPECT_EQ(ReadAll(5, records).hr, S_OK);
  EXPECT_EQ(records.size(), 252u);
}

TEST_F(IncrementalReadTest, RecordsAddedDuringAReadAreWelcomeAClearIsAnError) {
  SelectPort(1);
  ASSERT_TRUE(Begin(5).answer);
  RecordOut out;
  ASSERT_TRUE(Next(5, out).answer);
  site_.EditTerminal(1, 5, [](auto& t) {
    for (int i = 0; i < 5; ++i) t.records.push_back({7000 + i, 2026, 12, 1, 8, i});
  });
  int count = 1;
  while (Next(5, out).answer) ++count;
  EXPECT_EQ(count, 257);

  ASSERT_TRUE(Begin(5).answer);
  ASSERT_TRUE(Next(5, out).answer);
  site_.EditTerminal(1, 5, [](auto& t) {
    t.ClearRecords();
    for (int i = 0; i < 300; ++i) t.records.push_back({8000 + i, 2026, 12, 2, 8, i % 60});
  });
  Outcome next;
  do next = Next(5, out);
  while (next.hr == S_OK && next.answer && out.person < 8000);
  EXPECT_EQ(next.hr, DISP_E_EXCEPTION) << "a read never mixes two generations";
  EXPECT_NE(next.error.find("原因代码 8"), std::string::npos) << next.error;
}

TEST_F(IncrementalReadTest, ReadsOneRawRecordAtAnIndex) {
  SelectPort(1);
  CardRecordFields r;
  ASSERT_TRUE(RecordAt(5, 1, 250, r).answer);
  EXPECT_EQ(r, (CardRecordFields{-1, 1999, 13, 32, 24, 60}));
  ASSERT_TRUE(RecordAt(5, 0, 251, r).answer);  // without a generation too
  EXPECT_EQ(r.year, std::numeric_limits<std::int32_t>::min());
  EXPECT_FALSE(RecordAt(5, 1, 252, r).answer);
  const Outcome beyond = RecordAt(5, 1, 253, r);
  EXPECT_EQ(beyond.hr, DISP_E_EXCEPTION);
  EXPECT_NE(beyond.error.find("原因代码 6"), std::string::npos) << beyond.error;
  const Outcome stale = RecordAt(5, 7, 1, r);
  EXPECT_EQ(stale.hr, DISP_E_EXCEPTION);
  EXPECT_NE(stale.error.find("原因代码 8"), std::string::npos) << stale.error;
}

TEST_F(IncrementalReadTest, ClearNeedsTheTerminalsGenerationAndCount) {
  SelectPort(1);
  LONG next = -1;
  for (auto [generation, count] : {std::pair<LONG, LONG>{1, 251}, {1, 253}, {2, 252}}) {
    const Outcome refused = Clear(5, generation, count, next);
    EXPECT_EQ(refused.hr, S_OK);
    EXPECT_FALSE(refused.answer) << generation << "/" << count;
  }
  EXPECT_EQ(site_.Terminal(1, 5)->records.size(), 252u);
  const Outcome cleared = Clear(5, 1, 252, next);
  ASSERT_TRUE(cleared.answer) << cleared.error;
  EXPECT_EQ(next, 2);
  EXPECT_TRUE(site_.Terminal(1, 5)->records.empty());
  EXPECT_EQ(site_.Terminal(1, 5)->generation, 2u);

  site_.EditTerminal(1, 7, [](auto& t) { t.version = 1; });
  const Outcome old = Clear(7, 0, 0, next);
  EXPECT_EQ(old.hr, DISP_E_EXCEPTION) << "a version 1 terminal cannot clear";
  EXPECT_NE(old.error.find("清除刷卡记录失败"), std::string::npos) << old.error;
}

TEST_F(IncrementalReadTest, ANestedReadLeavesTheOuterReadWhereItStood) {
  SelectPort(1);
  const auto all = site_.Terminal(1, 5)->records;
  ASSERT_TRUE(Begin(5).answer);
  std::vector<CardRecordFields> outer;
  RecordOut out;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Next(5, out).answer);
    outer.push_back({out.person, out.year, out.month, out.day, out.hour, out.minute});
  }
  std::vector<CardRecordFields> inner;
  ASSERT_EQ(ReadAll(5, inner).hr, S_OK);  // a host re-entering the driver between two records
  EXPECT_EQ(inner, all);
  while (Next(5, out).answer) outer.push_back({out.person, out.year, out.month, out.day, out.hour, out.minute});
  EXPECT_EQ(outer, all);
}

TEST(ControlRegistration, CreatableByClassName) {
  ASSERT_EQ(RegisterFK303IDInProcess(), S_OK);
  ASSERT_EQ(RegisterFK303IDInProcess(), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_EQ(CreateObjectByProgId(fk303id::kProgId, IID_IDispatch, reinterpret_cast<void**>(control.Put())), S_OK);
  EXPECT_GE(FK303IDActiveCount(), 1);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(GetFK303IDClassObject(CLSID_FK303ID, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())), S_OK);
  void* none = nullptr;
  EXPECT_EQ(GetFK303IDClassObject(GUID_NULL, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  RevokeInProcessClass(CLSID_FK303ID);
}

}  // namespace
