// Terminal discovery through IMachine against the scripted control.
#include "platform/automation/runtime.h"
#include "tests/driver/driver_fixture.h"

namespace {
struct Found {
  SHORT port;
  SHORT number;
  bool operator==(const Found&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Found& f) { return out << "(" << f.port << "," << f.number << ")"; }

class RegisterTest : public DriverTest {
 protected:
  // Terminals answer when their number is in `answering` on any port.
  void TerminalsAnswer(std::vector<LONG> answering) {
    control().On(10, [answering](CallArgs& args) {
      for (LONG n : answering)
        if (args.Value(0) == n) return ControlAnswer::Bool(true);
      return ControlAnswer::Bool(false);
    });
  }

  static std::vector<Found> FoundIn(_Collection* list) {
    std::vector<Found> found;
    for (auto& item : ItemsOf(list)) {
      ComPtr<IMachineInfo> info;
      EXPECT_EQ(item.As(IID_IMachineInfo, &info), S_OK);
      Variant no, id, port, ip;
      EXPECT_EQ(info->get_MachineNo(no.Put()), S_OK);
      EXPECT_EQ(info->get_MachineId(id.Put()), S_OK);
      EXPECT_EQ(info->get_PortNo(port.Put()), S_OK);
      EXPECT_EQ(info->get_IpAddress(ip.Put()), S_OK);
      EXPECT_EQ(no.Type(), VT_I2);
      EXPECT_EQ(id.Type(), VT_I2);
      EXPECT_EQ(port.Type(), VT_I2);
      EXPECT_EQ(ip.Type(), VT_BSTR);
      EXPECT_EQ(SysStringLen(ip.Raw().bstrVal), 0u);
      EXPECT_EQ(no.Raw().iVal, id.Raw().iVal);
      found.push_back({port.Raw().iVal, no.Raw().iVal});
    }
    return found;
  }
};

TEST_F(RegisterTest, FindsAnsweringTerminalsByPortThenNumber) {
  TerminalsAnswer({1, 3});
  control().tracePumps = true;
  ComPtr<_Collection> col;
  Outcome out = Register(col, true, 1, 2, 1, 3, u"主机的消息");
  EXPECT_GT(PendingThreadWork(), 0u) << "discovery lets no messages run";
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(Utf8(out.message), "主机的消息");
  EXPECT_EQ(FoundIn(col.Get()), (std::vector<Found>{{1, 1}, {1, 3}, {2, 1}, {2, 3}}));
  EXPECT_EQ(control().log, (std::vector<std::string>{"put 1 = 1", "call 10", "call 10", "call 10", "put 1 = 2",
                                                     "call 10", "call 10", "call 10"}));
  for (const auto& call : control().CallsOf(10)) {
    EXPECT_EQ(call.kinds, (std::vector<VARTYPE>{VT_I4, VT_BOOL}));
    EXPECT_EQ(call.values[1], VARIANT_TRUE);
  }
  EXPECT_EQ(control().calls[0].kinds, (std::vector<VARTYPE>{VT_I2}));
  EXPECT_EQ(control().calls[0].named, (std::vector<DISPID>{DISPID_PROPERTYPUT}));
}

TEST_F(RegisterTest, ReplacesTheCallersListBeforeAnyTest) {
  ComPtr<_Collection> previous = ListHolding(2);
  ComPtr<_Collection> col = previous;
  Outcome out = Register(col, false, 1, 5, 1, 5);
  EXPECT_TRUE(out.result);
  ASSERT_TRUE(col);
  EXPECT_NE(col.Get(), previous.Get());
  EXPECT_EQ(CountOf(col.Get()), 0);
  EXPECT_EQ(CountOf(previous.Get()), 2) << "the previous list is not touched";

  // A failing scan hands back the new list too.
  control().Answers(10, {}, ControlAnswer::Raise(u"串口打不开"));
  col = previous;
  out = Register(col, true, 1, 1, 1, 1);
  EXPECT_FALSE(out.result);
  EXPECT_NE(col.Get(), previous.Get());
  EXPECT_EQ(CountOf(col.Get()), 0);
}

TEST_F(RegisterTest, EmptyRangesGiveAnEmptyListAndTrue) {
  TerminalsAnswer({1, 2, 3, 4, 5});
  struct Case {
    bool blnPort;
    SHORT portMin, portMax, min, max;
    std::vector<SHORT> portsSelected;
  } cases[] = {
      {false, 1, 3, 1, 5, {}},        // no serial scan asked for
      {true, -4, 0, 1, 5, {}},        // no port above 0
      {true, 3, 1, 1, 5, {}},         // ports in the wrong order
      {true, 1, 2, 5, 4, {1, 2}},     // every port selected, no probe
      {true, -1, 1, 9, 9, {-1, 0, 1}},  // ports from a negative minimum
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.portMin << ".." << c.portMax << " / " << c.min << ".." << c.max);
    control().calls.clear();
    ComPtr<_Collection> col;
    Outcome out = Register(col, c.blnPort, c.portMin, c.portMax, c.min, c.max);
    EXPECT_TRUE(out.result);
    EXPECT_EQ(Utf8(out.message), "主机的消息");
    ASSERT_TRUE(col);
    EXPECT_EQ(CountOf(col.Get()), 0);
    EXPECT_EQ(PortsPut(control()), c.portsSelected);
    if (c.min > c.max) {
      EXPECT_TRUE(control().CallsOf(10).empty());
    }
  }
}

TEST_F(RegisterTest, NumberCounterOverflowKeepsTheTerminalsFound) {
  TerminalsAnswer({32766, 32767});
  ComPtr<_Collection> col;
  Outcome out = Register(col, true, 1, 2, 32765, 32767);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "溢出");
  EXPECT_EQ(FoundIn(col.Get()), (std::vector<Found>{{1, 32766}, {1, 32767}}));
  EXPECT_EQ(PortsPut(control()), (std::vector<SHORT>{1})) << "the scan ends on the first port";
  EXPECT_EQ(control().CallsOf(10).size(), 3u);
}

TEST_F(RegisterTest, PortCounterOverflowAfterTheLastPortsProbes) {
  TerminalsAnswer({2});
  ComPtr<_Collection> col;
  Outcome out = Register(col, true, 32766, 32767, 1, 2);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "溢出");
  EXPECT_EQ(FoundIn(col.Get()), (std::vector<Found>{{32766, 2}, {32767, 2}}));
  EXPECT_EQ(control().CallsOf(10).size(), 4u);
}

TEST_F(RegisterTest, HostObjectFailureEndsTheScan) {
  TerminalsAnswer({1, 2});
  ComPtr<_Collection> col;
  ASSERT_EQ(RevokeInProcessClass(CLSID_MachineInfo), S_OK);
  Outcome out = Register(col, true, 1, 1, 1, 2);
  ASSERT_EQ(RegisterCorvelClasses(), S_OK);
  EXPECT_FALSE(out.result);
  EXPECT_EQ(Utf8(out.message), "ActiveX 部件不能创建对象");
  EXPECT_EQ(CountOf(col.Get()), 0);
  EXPECT_EQ(control().CallsOf(10).size(), 1u);
}

TEST_F(RegisterTest, IgnoresNetworkAddresses) {
  TerminalsAnswer({1});
  ComPtr<_Collection> col;
  Bstr withNul(std::u16string_view(u"1.2\0.3\xD800", 7));
  _Collection* raw = nullptr;
  Outcome out = WithMessage(u"", [&](BSTR* msg, VARIANT_BOOL* result) {
    return machine().funcRegister(&raw, VARIANT_TRUE, 1, 1, withNul.Get(), nullptr, 1, 1, msg, result);
  });
  col = ComPtr<_Collection>::Adopt(raw);
  EXPECT_TRUE(out.result);
  EXPECT_EQ(CountOf(col.Get()), 1);
}
}  // namespace
