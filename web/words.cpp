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
    {"when", "When (UTC)", "时间（UTC）"},
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
    {"not_implemented", "This action comes with the host library: it is not available in this build yet.",
     "此操作依赖主机库，当前版本尚未提供。"},
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
};

kainjow::mustache::data Build(Language language) {
  kainjow::mustache::data words = kainjow::mustache::data::type::object;
  for (const Word& w : kWords) words.set(w.key, language == Language::Chinese ? w.zh : w.en);
  return words;
}

}  // namespace

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
