// The control answers its contract: every member by name and number, with the contract's number
// of arguments, and the control is created by the contract's class name.
#include <gtest/gtest.h>

#include <string>

#include "platform/automation/runtime.h"
#include "platform/automation/owners.h"
#include "terminal/contract/fk303id_contract.h"
#include "terminal/control/fk303id.h"

namespace {

TEST(ContractTest, MemberNumbersAndNamesAreUnique) {
  for (std::size_t i = 0; i < std::size(fk303id::kMembers); ++i)
    for (std::size_t j = i + 1; j < std::size(fk303id::kMembers); ++j) {
      EXPECT_NE(fk303id::kMembers[i].number, fk303id::kMembers[j].number) << i << " " << j;
      EXPECT_NE(fk303id::kMembers[i].name, fk303id::kMembers[j].name) << i << " " << j;
    }
}

TEST(ContractTest, TheSevenMembersTheDriverCallsKeepTheirNumbersAndArgumentCounts) {
  struct Expected {
    DISPID number;
    std::u16string name;
    UINT count;
  };
  const Expected expected[] = {{1, u"SerialPort", 1},        {4, u"PrepareEnrollment", 4}, {7, u"BeginCardRead", 1},
                               {10, u"ProbeMachine", 2},     {19, u"ReadEnrollment", 7},   {20, u"WriteEnrollment", 7},
                               {25, u"NextCardRecord", 10}};
  for (const Expected& e : expected) {
    const fk303id::Member* member = fk303id::FindMember(e.number);
    ASSERT_NE(member, nullptr) << e.number;
    EXPECT_EQ(std::u16string(member->name), e.name);
    EXPECT_EQ(member->argumentCount, e.count) << e.number;
  }
  EXPECT_EQ(fk303id::FindMember(2), nullptr);
  EXPECT_EQ(fk303id::ArgumentCount(2), 0u);
  EXPECT_EQ(fk303id::kTemplateValues, 460u);
}

class ControlContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegisterFK303IDInProcess(), S_OK);
    ASSERT_EQ(CreateObjectByProgId(fk303id::kProgId, IID_IDispatch, reinterpret_cast<void**>(control_.Put())), S_OK);
  }
  ComPtr<IDispatch> control_;
};

TEST_F(ControlContractTest, EveryMemberNameResolvesToItsNumber) {
  for (const fk303id::Member& member : fk303id::kMembers) {
    std::u16string name(member.name);
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(control_->GetIDsOfNames(GUID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, member.number);
  }
}

TEST_F(ControlContractTest, EveryMethodRefusesAnyOtherArgumentCount) {
  // One argument too many or too few is refused before anything reaches a terminal.
  for (const fk303id::Member& member : fk303id::kMembers) {
    if (member.kind != fk303id::Kind::kMethod) continue;
    for (UINT count : {member.argumentCount - 1, member.argumentCount + 1}) {
      std::vector<VARIANTARG> args(count);
      for (auto& arg : args) {
        VariantInit(&arg);
        arg.vt = VT_I4;
        arg.lVal = 1;
      }
      DISPPARAMS params{args.data(), nullptr, count, 0};
      EXPECT_EQ(control_->Invoke(member.number, GUID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
                DISP_E_BADPARAMCOUNT)
          << member.number << " with " << count;
    }
  }
}

}  // namespace
