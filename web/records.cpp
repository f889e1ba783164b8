#include "web/records.h"

#include <httplib.h>

#include <ctime>
#include <vector>

#include "host/report/people.h"
#include "web/page.h"

namespace vanto::web {
namespace {

struct Word {
  const char* key;
  const char* en;
  const char* zh;
};

constexpr Word kRecordsWords[] = {
    {"no_database", "The console has no database: start it with the site's database.", "控制台没有数据库：请以站点的数据库启动。"},
    {"db_failed", "The database failed; nothing was changed:", "数据库出错，未做任何更改："},
    {"bad_filter", "A filter is not valid:", "筛选条件无效："},
    {"from", "From", "从"},
    {"to", "To", "到"},
    {"person", "Person", "人员"},
    {"person_number", "Person number", "人员编号"},
    {"department", "Department", "部门"},
    {"any", "(any)", "（全部）"},
    {"port", "Port", "端口"},
    {"terminal", "Terminal", "考勤机"},
    {"time", "Time", "时间"},
    {"person_name", "Name", "姓名"},
    {"show", "Show", "显示"},
    {"next_page", "Next page", "下一页"},
    {"first_page", "First page", "第一页"},
    {"download_csv", "Download CSV", "下载 CSV"},
    {"no_swipes", "No stored swipes match.", "没有符合条件的打卡记录。"},
    {"no_name", "(no name)", "（无姓名）"},
    {"search", "Search", "搜索"},
    {"search_hint", "number, name or department", "编号、姓名或部门"},
    {"no_people", "No people match.", "没有符合条件的人员。"},
    {"more_people", "More people match; search to narrow the list. Shown:", "符合条件的人员更多，请搜索以缩小范围。已显示："},
    {"edit_person", "Name and department", "姓名和部门"},
    {"save", "Save", "保存"},
    {"saved", "Saved.", "已保存。"},
    {"import_people", "Import people from a CSV file", "从 CSV 文件导入人员"},
    {"import_help", "A header row, then person number, name and (optionally) department per row; the whole file or nothing is imported.",
     "首行为表头，之后每行为人员编号、姓名及（可选的）部门；整个文件要么全部导入，要么全部不导入。"},
    {"csv_file", "CSV file", "CSV 文件"},
    {"import", "Import", "导入"},
    {"imported", "Imported. Added, updated, unchanged:", "已导入。新增、更新、未变："},
    {"import_refused", "Nothing was imported:", "未导入任何内容："},
    {"bad_person", "A person needs a number and a name (UTF-8, at most 200 bytes each).", "人员需要编号和姓名（UTF-8，各不超过 200 字节）。"},
    {"month", "Month", "月份"},
    {"prev_month", "Previous month", "上个月"},
    {"next_month", "Next month", "下个月"},
    {"days_present", "Days present", "出勤天数"},
    {"total_span", "Total span", "总时长"},
    {"first_swipe", "First", "首次"},
    {"last_swipe", "Last", "末次"},
    {"swipes", "Swipes", "打卡次数"},
    {"span", "Span", "时长"},
    {"day", "Day", "日期"},
    {"late", "late", "迟到"},
    {"one_swipe", "one swipe", "仅一次打卡"},
    {"late_after", "Late after", "迟到时间"},
    {"day_starts", "Working days start at", "工作日开始于"},
    {"printable", "Printable page", "可打印页面"},
    {"no_report", "No swipes and no people in this month.", "本月没有打卡记录和人员。"},
    {"open_person", "Month", "月历"},
    {"enrolments_host_copy",
     "What the host's database holds: enrolments backed up from or written to terminals. A terminal cannot list "
     "whom it holds, so this is not a view of any terminal's contents.",
     "主机数据库中保存的登记：从考勤机备份或写入考勤机的登记。考勤机无法列出其登记的人员，因此此处并非任何考勤机的实时内容。"},
    {"kind", "Kind", "类型"},
    {"kind_fingerprint", "fingerprint", "指纹"},
    {"kind_password", "password", "密码"},
    {"kind_other", "enrolment", "登记"},
    {"no_enrolments", "The host holds no enrolments yet.", "主机尚未保存任何登记。"},
    {"mon", "Mon", "一"},
    {"tue", "Tue", "二"},
    {"wed", "Wed", "三"},
    {"thu", "Thu", "四"},
    {"fri", "Fri", "五"},
    {"sat", "Sat", "六"},
    {"sun", "Sun", "日"},
};

kainjow::mustache::data Build(Language language) {
  kainjow::mustache::data words = Words(language);
  for (const Word& w : kRecordsWords) words.set(w.key, language == Language::Chinese ? w.zh : w.en);
  return words;
}

}  // namespace

std::unique_ptr<store::SwipeStore> OpenRecords(const RecordsSource& source) {
  if (source.database.empty()) throw store::StoreError(store::StoreFailure::Invalid, "the console has no database");
  store::OpenOptions options;
  options.create = false;
  options.lock_timeout = source.lock_timeout;
  return store::OpenSwipeStore(source.database, options);
}

const kainjow::mustache::data& RecordsWords(Language language) {
  static const kainjow::mustache::data english = Build(Language::English);
  static const kainjow::mustache::data chinese = Build(Language::Chinese);
  return language == Language::Chinese ? chinese : english;
}

std::string SayRecords(Language language, const std::string& key) {
  for (const Word& w : kRecordsWords)
    if (key == w.key) return language == Language::Chinese ? w.zh : w.en;
  return Say(language, key);
}

std::optional<std::string> FieldText(const httplib::Request& req, const std::string& name, std::size_t max) {
  std::string text = Field(req, name);
  if (text.size() > max || !report::IsUtf8(text)) return std::nullopt;
  std::size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t')) --b;
  return text.substr(a, b - a);
}

std::optional<std::int64_t> WholeNumber(std::string_view text, std::int64_t lo, std::int64_t hi) {
  bool negative = !text.empty() && text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < lo || value > hi) return std::nullopt;
  return value;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
        c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string ThisMonth() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d", local.tm_year + 1900, local.tm_mon + 1);
  return text;
}

}  // namespace vanto::web
