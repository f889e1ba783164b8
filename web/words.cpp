#include "web/words.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vanto::web {
namespace {

struct Word {
  const char* key;
  const char* en;
  const char* zh;
};

constexpr Word kWords[] = {
    {"app", "VANTO attendance", "VANTO 考勤"},
    {"sign_in", "Sign in", "登录"},
    {"sign_out", "Sign out", "退出"},
    {"name", "Name", "用户名"},
    {"password", "Password", "密码"},
    {"login_failed", "Wrong name or password.", "用户名或密码错误。"},
    {"login_throttled", "Too many failed attempts. Try again in this many seconds:", "失败次数过多。请在以下秒数后重试："},
    {"signed_in_as", "Signed in as", "当前用户"},
    {"nav_dashboard", "Dashboard", "概览"},
    {"nav_swipes", "Swipes", "打卡记录"},
    {"nav_people", "People", "人员"},
    {"nav_report", "Report", "报表"},
    {"nav_enrolments", "Enrolments", "登记"},
    {"nav_terminals", "Terminals", "考勤机"},
    {"nav_users", "Users", "用户"},
    {"nav_audit", "Audit trail", "审计日志"},
    {"rejected", "Rejected and conflicting records", "被拒收和冲突的记录"},
    {"placeholder", "This page comes with the host library: it is not available in this build yet.",
     "此页面依赖主机库，当前版本尚未提供。"},
    {"role", "Role", "角色"},
    {"role_admin", "admin", "管理员"},
    {"role_hr", "HR", "人事"},
    {"role_viewer", "viewer", "查看者"},
    {"many_addresses", "many addresses", "多个地址"},
    {"status", "Status", "状态"},
    {"enabled", "enabled", "启用"},
    {"disabled", "disabled", "已停用"},
    {"disable", "Disable", "停用"},
    {"enable", "Enable", "启用"},
    {"add_user", "Add a user", "添加用户"},
    {"add", "Add", "添加"},
    {"new_password", "New password", "新密码"},
    {"set_password", "Set password", "设置密码"},
    {"created", "Created", "创建时间"},
    {"when", "When", "时间"},
    {"who", "Who", "操作者"},
    {"from", "From", "来源"},
    {"action", "Action", "操作"},
    {"details", "Details", "详情"},
    {"older", "Older entries", "更早的记录"},
    {"language", "Language", "语言"},
    {"apply", "Apply", "应用"},
    {"browser_language", "as the browser says", "跟随浏览器"},
    {"forbidden", "Your role may not do this.", "您的角色无权执行此操作。"},
    {"bad_form", "The form has expired or did not come from this site. Reload the page and try again.",
     "表单已过期或并非来自本站。请刷新页面后重试。"},
    {"not_found", "There is no such page.", "页面不存在。"},
    {"too_large", "The request is too large.", "请求过大。"},
    {"server_error", "The server could not complete the request; nothing was changed.",
     "服务器未能完成请求，未做任何更改。"},
    {"bad_request", "The request is not valid.", "请求无效。"},
    {"problem_name", "User names are 1 to 64 letters, digits, '.', '_', '-' or '@'.",
     "用户名为 1 至 64 个字母、数字或 . _ - @。"},
    {"problem_password_short", "A password has at least 8 characters.", "密码至少 8 个字符。"},
    {"problem_password_long", "That password is too long.", "密码过长。"},
    {"problem_name_taken", "That user exists already.", "该用户已存在。"},
    {"problem_no_user", "There is no such user.", "没有该用户。"},
    {"problem_last_admin", "The last enabled admin cannot be disabled.", "不能停用最后一个启用的管理员。"},
    {"done_added", "User added.", "已添加用户。"},
    {"done_password", "Password set; the user's sessions have ended.", "密码已设置，该用户的会话已全部结束。"},
    {"done_disabled", "User disabled; the user's sessions have ended.", "已停用用户，该用户的会话已全部结束。"},
    {"done_enabled", "User enabled.", "已启用用户。"},
    {"sign_in_again", "Sign in again", "重新登录"},
    {"back", "Back", "返回"},
    // The dashboard and the Terminals page.
    {"no_site", "The console runs without a site file: there are no ports to show or sync.",
     "控制台未使用站点文件运行：没有可显示或同步的端口。"},
    {"port", "Port", "端口"},
    {"ports", "ports", "个端口"},
    {"ports_heading", "Ports", "端口"},
    {"terminal", "Terminal", "考勤机"},
    {"whole_port", "(port)", "（端口）"},
    {"last_sync", "Last sync", "上次同步"},
    {"outcome", "Outcome", "结果"},
    {"cause", "Cause", "原因"},
    {"new_records", "New records", "新记录"},
    {"held_capacity", "Records held / capacity", "已存记录 / 容量"},
    {"quarantined", "Quarantined", "已隔离"},
    {"conflicting", "Conflicting", "冲突"},
    {"never_synced", "never synced", "从未同步"},
    {"clock", "Clock", "时钟"},
    {"clock_ahead", "ahead", "快"},
    {"clock_behind", "behind", "慢"},
    {"clock_in_step", "in step", "准确"},
    {"clock_none", "no clock", "无时钟"},
    {"clock_invalid", "no valid time", "时间无效"},
    {"clock_was", "was", "原为"},
    {"clock_set", "set from the host", "已按主机校准"},
    {"clock_off_hint", "off by more than the site allows: 'vanto clock --set' mends it", "偏差超过站点允许范围：可用 'vanto clock --set' 校准"},
    {"unit_day", "d", "天"},
    {"unit_hour", "h", "小时"},
    {"unit_minute", "min", "分"},
    {"unit_second", "s", "秒"},
    {"outcome_synced", "synced", "已同步"},
    {"outcome_failed", "failed", "失败"},
    {"outcome_cancelled", "cancelled", "已取消"},
    {"sync_site", "Sync now: the whole site", "立即同步：整个站点"},
    {"sync_port", "Sync now: port", "立即同步：端口"},
    {"sync_running", "A sync is running.", "正在同步。"},
    {"sync_started", "Sync started.", "同步已开始。"},
    {"sync_busy", "A sync is running already; wait for it to end.", "已有同步正在进行，请等待其结束。"},
    {"server_stopping", "The console is stopping.", "控制台正在停止。"},
    {"no_such_port", "The site has no such port.", "站点中没有该端口。"},
    {"refresh", "Refresh", "刷新"},
    {"recent_runs", "Recent syncs", "最近的同步"},
    {"run", "Run", "编号"},
    {"started", "Started", "开始"},
    {"ended", "Ended", "结束"},
    {"started_by", "Started by", "发起者"},
    {"synced", "Synced", "已同步"},
    // The dashboard's panel of push endpoints.
    {"push_heading", "Push to HR systems", "推送到人事系统"},
    {"push_endpoint", "Endpoint", "接收端"},
    {"push_backlog", "Waiting swipes", "待推送刷卡记录"},
    {"push_last_success", "Last success", "最近成功"},
    {"push_last_error", "Last error", "最近错误"},
    {"push_next_attempt", "Next attempt", "下次尝试"},
    {"push_not_yet", "not sent to yet", "尚未推送"},
    {"push_misconfigured", "Misconfigured in the site file (nothing is sent until it is mended):", "站点文件中配置有误（修正之前不推送任何内容）："},
    {"unfinished", "unfinished", "未结束"},
    {"by_command", "command line", "命令行"},
    {"by_timer", "timer", "定时器"},
    {"by_console", "console", "控制台"},
    {"by_schedule", "schedule", "计划任务"},
    {"progress_waiting", "waiting", "等待中"},
    {"progress_scanning", "looking for terminals", "正在查找考勤机"},
    {"progress_starting", "starting", "正在开始"},
    {"progress_records", "records read", "条记录已读取"},
    {"progress_done", "done", "完成"},
    {"store_unreadable", "The database could not be read:", "无法读取数据库："},
    {"cause_missing", "the device is missing", "设备不存在"},
    {"cause_permission", "no permission to use the device", "无权使用该设备"},
    {"cause_busy", "another program holds the port", "端口被其他程序占用"},
    {"cause_not-serial", "the device is no serial line", "该设备不是串口"},
    {"cause_setting", "a line setting is not valid", "线路设置无效"},
    {"cause_open", "the port did not open", "端口无法打开"},
    {"cause_line", "the line failed", "线路故障"},
    {"cause_no-terminal", "no terminal answered", "没有考勤机应答"},
    {"cause_terminal", "the terminal refused", "考勤机拒绝"},
    {"cause_download", "the download failed", "下载失败"},
    {"cause_store", "the database failed", "数据库故障"},
    {"cause_host", "the host failed", "主机故障"},
    {"cause_quarantined", "records quarantined", "有记录被隔离"},
    {"cause_cancelled", "cancelled", "已取消"},
    {"cause_conflict", "a log kept in a new epoch", "日志已转入新的周期"},
    {"cause_clone", "a cloned identity", "身份被克隆"},
    {"device_present", "the device is there", "设备存在"},
    {"check_ok", "ok", "正常"},
    {"check_fail", "FAIL", "失败"},
    {"check_warn", "warning", "警告"},
    {"check_site", "Site file", "站点文件"},
    {"check_database", "Database", "数据库"},
    {"check_schedule", "The console syncs the site every", "控制台同步站点的间隔"},
    {"rejected_records", "Rejected records", "被拒收的记录"},
    {"conflicting_records", "Conflicting records", "冲突的记录"},
    {"record_index", "Record", "记录号"},
    {"person", "Person", "人员"},
    {"as_delivered", "As the terminal delivered it", "考勤机提供的内容"},
    {"as_stored", "As stored", "已存储的内容"},
    {"reason", "Reason", "原因"},
    {"first_seen", "First seen", "首次发现"},
    {"found", "Found", "发现时间"},
    {"record_key", "Log / record", "日志 / 记录"},
    {"acknowledge", "Acknowledge", "确认"},
    {"acknowledged_by", "acknowledged by", "确认人"},
    {"open", "open", "未确认"},
    {"done_acknowledged", "Conflict acknowledged.", "已确认冲突。"},
    {"no_such_conflict", "There is no such open conflict.", "没有该未确认的冲突。"},
    // The Swipes, People, Report and Enrolments pages.
    {"no_database", "The console has no database: start it with the site's database.", "控制台没有数据库：请以站点的数据库启动。"},
    {"db_failed", "The database failed; nothing was changed:", "数据库出错，未做任何更改："},
    {"bad_filter", "A filter is not valid:", "筛选条件无效："},
    {"from_date", "From", "从"},
    {"to", "To", "到"},
    {"person_number", "Person number", "人员编号"},
    {"department", "Department", "部门"},
    {"any", "(any)", "（全部）"},
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
    {"kind", "Kind", "类型"},
    {"kind_fingerprint", "fingerprint", "指纹"},
    {"kind_password", "password", "密码"},
    {"kind_other", "enrolment", "登记"},
    {"no_enrolments", "The host holds no enrolments yet.", "主机尚未保存任何登记。"},
    // The Enrolments page's actions on terminals.
    {"enrolments_host_copy",
     "The host's copy: what was backed up from terminals into the host's enrolment table. A terminal cannot list "
     "whom it holds, so this page never shows a terminal's own contents.",
     "主机保存的副本：从考勤机备份到主机登记表的内容。考勤机无法列出其登记的人员，因此本页从不显示考勤机自身的内容。"},
    {"enrol_backup_title", "Back up a person from a terminal", "从考勤机备份人员登记"},
    {"enrol_backup_button", "Back up", "备份"},
    {"enrol_copy_title", "Copy a person's enrolment to terminals", "将人员登记复制到考勤机"},
    {"enrol_copy_button", "Copy", "复制"},
    {"enrol_from", "From", "来源"},
    {"enrol_from_stored", "the host's stored copy", "主机保存的副本"},
    {"enrol_to", "To terminals", "目标考勤机"},
    {"enrol_result", "Result", "结果"},
    {"enrol_no_terminals", "The site lists no terminals to back up from or copy to.", "站点中没有可备份或复制的考勤机。"},
    {"enrol_done", "done", "完成"},
    {"enrol_all_done", "Done on every terminal.", "所有考勤机均已完成。"},
    {"enrol_some_failed", "Not every terminal did it: see each terminal's result.", "并非所有考勤机都已完成：请查看各考勤机的结果。"},
    {"enrol_backup_refused", "the terminal holds no enrolment of this person", "考勤机上没有此人员的登记"},
    {"enrol_scan_failed", "the terminal could not be reached", "无法连接考勤机"},
    {"enrol_write_refused", "the terminal refused the enrolment", "考勤机拒绝了该登记"},
    {"enrol_port_failed", "the port could not be used", "端口无法使用"},
    {"enrol_not_answering", "the terminal does not answer", "考勤机无应答"},
    {"enrol_none_stored", "the host holds no enrolment of this person: back it up first", "主机没有此人员的登记：请先备份"},
    {"enrol_not_audited", "nothing done: the audit trail could not be written", "未执行：无法写入审计日志"},
    {"enrol_not_copied", "not copied: the backup did not succeed", "未复制：备份未成功"},
    {"enrol_failed", "The host failed; nothing was written:", "主机出错，未写入："},
    {"enrol_bad_form", "Give a person number and choose terminals of the site.", "请填写人员编号并选择站点中的考勤机。"},
    {"port_busy", "The port is busy (a sync or another action on its terminals is running); try again shortly.",
     "端口忙（正在同步或对其考勤机执行其他操作），请稍后重试。"},
    {"clear_title", "Clear a terminal's records", "清除考勤机记录"},
    {"clear_explained", "A terminal is cleared only when the database holds every record of its log; otherwise nothing is deleted. Sync it first.",
     "仅当数据库已保存考勤机日志中的全部记录时才会清除；否则不删除任何记录。请先同步。"},
    {"clear_understood", "I understand the terminal's records are deleted once the database holds them all",
     "我了解：数据库保存全部记录后，考勤机上的记录将被删除"},
    {"clear_button", "Clear", "清除"},
    {"clear_done", "cleared: every record is stored", "已清除：全部记录均已保存"},
    {"clear_incomplete", "not cleared: the database misses records (sync first)", "未清除：数据库缺少记录（请先同步）"},
    {"clear_refused", "not cleared: its records changed since they were read", "未清除：读取后记录已变化"},
    {"clear_no_identity", "not cleared: the terminal tells no identity (protocol version 1)", "未清除：考勤机未提供标识（协议版本 1）"},
    {"clear_failed", "not cleared: the terminal failed", "未清除：考勤机出错"},
    {"clear_bad_form", "Choose a terminal of the site and confirm that its records are deleted.",
     "请选择站点中的考勤机，并确认其记录将被删除。"},
    {"mon", "Mon", "一"},
    {"tue", "Tue", "二"},
    {"wed", "Wed", "三"},
    {"thu", "Thu", "四"},
    {"fri", "Fri", "五"},
    {"sat", "Sat", "六"},
    {"sun", "Sun", "日"},
};

kainjow::mustache::data Build(Language language) {
  kainjow::mustache::data words = kainjow::mustache::data::type::object;
  for (const Word& w : kWords) words.set(w.key, language == Language::Chinese ? w.zh : w.en);
  return words;
}

}  // namespace

host::Language HostLanguage(Language language) {
  return language == Language::Chinese ? host::Language::kChinese : host::Language::kEnglish;
}

const char* LanguageCode(Language language) { return language == Language::Chinese ? "zh_CN" : "en"; }

Language PageLanguage(std::string_view setting, std::string_view accept_language) {
  if (setting == "zh_CN") return Language::Chinese;
  if (setting == "en") return Language::English;
  // The first of the browser's languages with the highest weight that we speak.
  Language best = Language::English;
  double best_q = 0;
  std::size_t start = 0;
  while (start < accept_language.size()) {
    std::size_t end = accept_language.find(',', start);
    if (end == std::string_view::npos) end = accept_language.size();
    std::string_view item = accept_language.substr(start, end - start);
    start = end + 1;
    std::size_t semi = item.find(';');
    std::string tag(item.substr(0, semi));
    tag.erase(std::remove(tag.begin(), tag.end(), ' '), tag.end());
    std::transform(tag.begin(), tag.end(), tag.begin(), [](unsigned char c) { return std::tolower(c); });
    double q = 1;
    if (semi != std::string_view::npos) {
      std::string rest(item.substr(semi + 1));
      std::size_t at = rest.find("q=");
      if (at != std::string::npos) q = std::strtod(rest.c_str() + at + 2, nullptr);
    }
    bool zh = tag == "zh" || tag.rfind("zh-", 0) == 0;
    bool en = tag == "en" || tag.rfind("en-", 0) == 0;
    if ((zh || en) && q > best_q) {
      best_q = q;
      best = zh ? Language::Chinese : Language::English;
    }
  }
  return best;
}

const kainjow::mustache::data& Words(Language language) {
  static const kainjow::mustache::data english = Build(Language::English);
  static const kainjow::mustache::data chinese = Build(Language::Chinese);
  return language == Language::Chinese ? chinese : english;
}

std::string Say(Language language, const std::string& key) {
  for (const Word& w : kWords)
    if (key == w.key) return language == Language::Chinese ? w.zh : w.en;
  return key;
}

}  // namespace vanto::web
