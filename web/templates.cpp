#include "web/templates.h"

#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace vanto::web {
namespace {

// The frame of every page: navigation for the signed-in user, then the page's own body (already
// rendered, so inserted unescaped as {{{body}}}).
constexpr const char* kLayout = R"html(<!DOCTYPE html>
<html lang="{{lang}}">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{title}} · {{t.app}}</title>
<link rel="stylesheet" href="/static/console.css">
<script src="/static/console.js" defer></script>
</head>
<body>
{{#user}}
<header>
<nav><ul>{{#nav}}<li><a href="{{href}}"{{#current}} aria-current="page"{{/current}}>{{label}}</a></li>{{/nav}}</ul></nav>
<div class="who">{{t.signed_in_as}} <strong id="user-name">{{name}}</strong> ({{role_label}})
<form method="post" action="/language" class="inline"><input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.language}} <select name="language"><option value="">{{t.browser_language}}</option><option value="en"{{#lang_en}} selected{{/lang_en}}>English</option><option value="zh_CN"{{#lang_zh}} selected{{/lang_zh}}>简体中文</option></select></label>
<button>{{t.apply}}</button></form>
<form method="post" action="/logout" class="inline"><input type="hidden" name="csrf" value="{{csrf}}"><button id="sign-out">{{t.sign_out}}</button></form>
</div>
{{#chooser}}<form method="get" action="{{path}}" class="inline" id="site-chooser"><label>{{t.site}} <select name="site" id="site">{{#sites}}<option value="{{name}}"{{#selected}} selected{{/selected}}>{{name}}</option>{{/sites}}</select></label>
<button>{{t.site_choose}}</button> <span id="site-shown">{{shown}}</span>{{#host}} <span class="muted" id="site-host">({{t.site_host}}: {{host}})</span>{{/host}}</form>{{/chooser}}
</header>
{{/user}}
<main>
<h1>{{title}}</h1>
{{#notice}}<p class="notice" role="status">{{notice}}</p>{{/notice}}
{{#error}}<p class="error" role="alert">{{error}}</p>{{/error}}
{{{body}}}
</main>
</body>
</html>
)html";

constexpr const char* kLogin = R"html(<form method="post" action="/login" class="login">
<input type="hidden" name="csrf" value="{{login_csrf}}">
<input type="hidden" name="next" value="{{next}}">
<label>{{t.name}} <input name="name" id="name" autocomplete="username" required maxlength="64" value="{{name}}"></label>
<label>{{t.password}} <input type="password" name="password" id="password" autocomplete="current-password" required></label>
<button id="sign-in">{{t.sign_in}}</button>
</form>
)html";

constexpr const char* kPlaceholder = R"html(<p class="placeholder" id="placeholder">{{t.placeholder}}</p>
)html";

constexpr const char* kUsers = R"html(<table id="users">
<thead><tr><th>{{t.name}}</th><th>{{t.role}}</th><th>{{t.status}}</th><th>{{t.created}}{{zone}}</th><th></th><th></th></tr></thead>
<tbody>
{{#users}}<tr>
<td class="user-name">{{name}}</td><td>{{role_label}}</td><td>{{#disabled}}{{t.disabled}}{{/disabled}}{{^disabled}}{{t.enabled}}{{/disabled}}</td><td>{{created_at}}</td>
<td><form method="post" action="/users/disable" data-confirm="{{name}}"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="name" value="{{name}}">{{#disabled}}<input type="hidden" name="disabled" value="0"><button>{{t.enable}}</button>{{/disabled}}{{^disabled}}<input type="hidden" name="disabled" value="1"><button>{{t.disable}}</button>{{/disabled}}</form></td>
<td><form method="post" action="/users/password"><input type="hidden" name="csrf" value="{{csrf}}"><input type="hidden" name="name" value="{{name}}"><label>{{t.new_password}} <input type="password" name="password" autocomplete="new-password" required minlength="8"></label> <button>{{t.set_password}}</button></form></td>
</tr>{{/users}}
</tbody>
</table>
<h2>{{t.add_user}}</h2>
<form method="post" action="/users/add" id="add-user">
<input type="hidden" name="csrf" value="{{csrf}}">
<label>{{t.name}} <input name="name" required maxlength="64" pattern="[A-Za-z0-9._@\-]+"></label>
<label>{{t.role}} <select name="role"><option value="viewer">{{t.role_viewer}}</option><option value="hr">{{t.role_hr}}</option><option value="admin">{{t.role_admin}}</option></select></label>
<label>{{t.password}} <input type="password" name="password" autocomplete="new-password" required minlength="8"></label>
<button>{{t.add}}</button>
</form>
)html";

constexpr const char* kAudit = R"html(<p class="meta">{{t.rows_total}} <span id="rows-total">{{total}}</span></p>
<table id="audit">
<thead><tr><th>{{t.when}}{{zone}}</th><th>{{t.who}}</th><th>{{t.from}}</th><th>{{t.action}}</th><th>{{t.details}}</th></tr></thead>
<tbody>
{{#rows}}<tr><td>{{at}}</td><td>{{actor}}</td><td>{{origin}}</td><td>{{action}}</td><td>{{details}}</td></tr>{{/rows}}
</tbody>
</table>
{{#older}}<p><a href="/audit?before={{older}}">{{t.older}}</a></p>{{/older}}
)html";

constexpr const char* kMessage = R"html(<p id="message">{{message}}{{#retry_after}} {{retry_after}}{{/retry_after}}</p>
<p><a href="{{link}}">{{link_label}}</a></p>
)html";

const char* Text(Template which) {
  switch (which) {
    case Template::Layout: return kLayout;
    case Template::Login: return kLogin;
    case Template::Placeholder: return kPlaceholder;
    case Template::Users: return kUsers;
    case Template::Audit: return kAudit;
    case Template::Message: return kMessage;
  }
  return kMessage;
}

const char* Name(Template which) {
  switch (which) {
    case Template::Layout: return "layout";
    case Template::Login: return "login";
    case Template::Placeholder: return "placeholder";
    case Template::Users: return "users";
    case Template::Audit: return "audit";
    case Template::Message: return "message";
  }
  return "message";
}

// What {{t.KEY}} finds beneath every page's data: the words of one language under "t".
const kainjow::mustache::data& WordsBeneath(Language language) {
  auto beneath = [](Language l) {
    kainjow::mustache::data d;
    d.set("t", Words(l));
    return d;
  };
  static const kainjow::mustache::data english = beneath(Language::kEnglish);
  static const kainjow::mustache::data chinese = beneath(Language::kChinese);
  static const kainjow::mustache::data process = beneath(Language::kProcess);
  return language == Language::kChinese ? chinese : language == Language::kEnglish ? english : process;
}

}  // namespace

std::string Render(Template which, const kainjow::mustache::data& data, Language language) {
  return RenderText(Name(which), Text(which), data, language);
}

std::string RenderText(const char* name, const char* text, const kainjow::mustache::data& data, Language language) {
  // Each template is parsed once by each thread that renders it (parsing cost more than the
  // rendering); a parsed template is not shared between threads. Keyed by the text's address:
  // every template is a constant of this program.
  thread_local std::unordered_map<const char*, std::unique_ptr<kainjow::mustache::mustache>> parsed;
  std::unique_ptr<kainjow::mustache::mustache>& page = parsed[text];
  if (!page) page = std::make_unique<kainjow::mustache::mustache>(std::string(text));
  if (!page->is_valid()) {
    const std::string error = page->error_message();
    page.reset();
    throw std::logic_error(std::string("page template ") + name + " does not parse: " + error);
  }
  kainjow::mustache::context<std::string> context(&WordsBeneath(language));
  context.push(&data);  // the page's own names are found first
  std::string rendered = page->render(context);
  if (!page->is_valid()) {
    const std::string error = page->error_message();
    page.reset();  // its error stays with it: the next render parses anew
    throw std::logic_error(std::string("page template ") + name + " does not render: " + error);
  }
  return rendered;
}

const char* const kStylesheet = R"css(body { font-family: sans-serif; margin: 0; color: #222; }
form.filters { display: flex; flex-wrap: wrap; gap: 0.5em 1em; align-items: end; margin-bottom: 1em; }
.muted, .meta { color: #666; }
.late, tr.late td:first-child { color: #a00; }
table.calendar td { vertical-align: top; min-width: 6em; height: 4.5em; border: 1px solid #ccc; }
table.calendar td.present { background: #eef6ee; }
table.calendar td.single { background: #fff6e0; }
table.calendar td.late { outline: 2px solid #a00; outline-offset: -2px; }
table.calendar .date { font-weight: bold; }
table.calendar .mark { font-size: 0.85em; }
header { background: #234; color: #fff; padding: 0.5em 1em; display: flex; flex-wrap: wrap; justify-content: space-between; }
header a { color: #fff; }
nav ul { list-style: none; margin: 0; padding: 0; display: flex; flex-wrap: wrap; gap: 1em; }
nav a[aria-current] { font-weight: bold; text-decoration: none; }
main { padding: 1em; }
form.inline { display: inline; }
form.login { display: grid; gap: 0.5em; max-width: 20em; }
table { border-collapse: collapse; }
th, td { border-bottom: 1px solid #ccc; padding: 0.25em 0.5em; text-align: left; }
.error { color: #a00; }
.notice { color: #060; }
.placeholder { color: #666; font-style: italic; }
.failed { color: #a00; }
.synced { color: #060; }
.clock-off { color: #a00; font-weight: bold; }
.progress { font-family: monospace; }
@media print { header, form { display: none; } }
/* A person's month and a department's month (attendance_pages.cpp). */
table.month td { vertical-align: top; width: 14%; min-width: 7em; border: 1px solid #ccc; font-size: 0.9em; }
table.month td.out { background: #f6f6f6; }
table.month .date { font-weight: bold; }
table.month .status { display: inline-block; padding: 0 0.3em; border-radius: 3px; }
.st-present { background: #e3f2e3; } .st-late, .st-left-early { background: #fde8c8; }
.st-absent, .st-missing-swipe { background: #f8d7d7; } .st-half-day { background: #fff3c4; }
.st-leave { background: #dde8f8; } .st-holiday, .st-rest { background: #ececec; }
.st-not-scheduled { background: #f6f6f6; } .st-pending { background: #eee; font-style: italic; }
table.month ul { margin: 0.2em 0; padding-left: 1.1em; }
.correction { color: #5a2d82; font-style: italic; }
.aside { text-decoration: line-through; }
tr.totals td { font-weight: bold; border-top: 2px solid #888; }
th a.sorted { text-decoration: none; }
/* To review (review_page.cpp): a status on one line, each swipe whole, an added one as a correction. */
#review-days td.status, #review-days td.swipes .swipe { white-space: nowrap; }
#review-days td.swipes .swipe.added { color: #5a2d82; font-style: italic; }
)css";

// Asks before a form marked data-confirm is sent; without script the form is sent at once.
const char* const kScript = R"js("use strict";
document.addEventListener("submit", function (event) {
  var form = event.target;
  if (form.dataset && form.dataset.confirm !== undefined && !window.confirm(form.dataset.confirm + "?")) {
    event.preventDefault();
  }
});
)js";

}  // namespace vanto::web
