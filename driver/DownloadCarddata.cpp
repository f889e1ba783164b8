// Card record download: every record one terminal delivers, appended in order to the caller's
// list as CardRecord objects.
#include <string>

#include "driver/frame.h"
#include "driver/operations.h"
#include "failure/failure.h"
#include "hostdata/host_objects.h"
#include "link/terminal_link.h"
#include "platform/automation/conversions.h"
#include "platform/automation/message_queue.h"

namespace {
// Builds the record's time text in place: no allocation per record.
class TimeText {
 public:
  // Decimal digits of `value`, a minus sign first when negative, no padding.
  void AppendDecimal(LONG value) {
    char16_t digits[12];
    int count = 0;
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (value < 0) text_[length_++] = u'-';
    while (count) text_[length_++] = digits[--count];
  }
  void Append(char16_t c) { text_[length_++] = c; }
  std::u16string_view View() const { return {text_, length_}; }

 private:
  char16_t text_[5 * 12 + 4];  // five Longs of at most 11 characters and four separators
  std::size_t length_ = 0;
};

std::u16string DownloadFailureMessage(SHORT imachineno) {
  TimeText number;
  number.AppendDecimal(imachineno);
  std::u16string text = u"编号为";
  text += number.View();
  text += u"的考勤机不能下载刷卡数据！ ";
  return text;
}

// The record's time text, year/month/day hour:minute, read back as a date-time.
DATE SwipeTimeOf(LONG year, LONG month, LONG day, LONG hour, LONG minute) {
  TimeText text;
  text.AppendDecimal(year);
  text.Append(u'/');
  text.AppendDecimal(month);
  text.Append(u'/');
  text.AppendDecimal(day);
  text.Append(u' ');
  text.AppendDecimal(hour);
  text.Append(u':');
  text.AppendDecimal(minute);
  DATE when = 0;
  CheckRuntimeCall(ParseDate(text.View(), &when));
  return when;
}
}  // namespace

namespace operations {
HRESULT DownloadCarddata(IMachine* self, VARIANT_BOOL blnPort, BSTR strIp, SHORT iPort, SHORT imachineno,
                         _Collection** cdata, BSTR* strMsg, VARIANT_BOOL* result) {
  return RunOperation(
      self, strMsg, result, MessageAtEntry::kClear,
      [&]() -> bool {
        const std::u16string ip = PrivateCopy(strIp);  // Serial ports only: the address is not used.
        // A missing list fails before the terminal is asked for anything.
        CollectionView records(cdata ? *cdata : nullptr);
        if (!records.Get()) Fail(kTextObjectNotSet);

        TerminalLink& link = TerminalLink::ForThread();
        link.SetSerialPort(iPort);
        LONG terminal = imachineno;
        LONG person = 0, fifth = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0;
        CardRecordMaker maker;
        bool more = link.BeginCardRead(terminal);
        while (more) {
          PumpMessages();
          more = link.NextCardRecord(imachineno, terminal, person, fifth, year, month, day, hour, minute);
          if (!more) break;
          CardRecordView record = maker.Create();
          record.SetPersonNo(person);
          record.SetSwipeTime(SwipeTimeOf(year, month, day, hour, minute));
          records.Append(record.Dispatch());
        }
        return true;
      },
      [imachineno](std::u16string_view) { return DownloadFailureMessage(imachineno); });
}
}  // namespace operations
