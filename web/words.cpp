#include "web/words.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vanto::web {
namespace {

using host::TrInContext;
using host::TrLaterContext;

// Each word by its name, in English; its translations are the message catalogue's (po/), said
// in the word's name as context.
struct Word {
  const char* key;
  const char* en;
};

constexpr Word kWords[] = {
    {"app", TrLaterContext("app", "VANTO attendance")},
    {"sign_in", TrLaterContext("sign_in", "Sign in")},
    {"sign_out", TrLaterContext("sign_out", "Sign out")},
    {"name", TrLaterContext("name", "Name")},
    {"password", TrLaterContext("password", "Password")},
    {"login_failed", TrLaterContext("login_failed", "Wrong name or password.")},
    {"login_throttled", TrLaterContext("login_throttled", "Too many failed attempts. Try again in this many seconds:")},
    {"signed_in_as", TrLaterContext("signed_in_as", "Signed in as")},
    {"nav_dashboard", TrLaterContext("nav_dashboard", "Dashboard")},
    {"nav_swipes", TrLaterContext("nav_swipes", "Swipes")},
    {"nav_people", TrLaterContext("nav_people", "People")},
    {"nav_report", TrLaterContext("nav_report", "Report")},
    {"nav_enrolments", TrLaterContext("nav_enrolments", "Enrolments")},
    {"nav_terminals", TrLaterContext("nav_terminals", "Terminals")},
    {"nav_users", TrLaterContext("nav_users", "Users")},
    {"nav_audit", TrLaterContext("nav_audit", "Audit trail")},
    {"rejected", TrLaterContext("rejected", "Rejected and conflicting records")},
    {"placeholder", TrLaterContext("placeholder", "This page comes with the host library: it is not available in this build yet.")},
    {"role", TrLaterContext("role", "Role")},
    {"role_admin", TrLaterContext("role_admin", "admin")},
    {"role_hr", TrLaterContext("role_hr", "HR")},
    {"role_viewer", TrLaterContext("role_viewer", "viewer")},
    {"many_addresses", TrLaterContext("many_addresses", "many addresses")},
    {"status", TrLaterContext("status", "Status")},
    {"enabled", TrLaterContext("enabled", "enabled")},
    {"disabled", TrLaterContext("disabled", "disabled")},
    {"disable", TrLaterContext("disable", "Disable")},
    {"enable", TrLaterContext("enable", "Enable")},
    {"add_user", TrLaterContext("add_user", "Add a user")},
    {"add", TrLaterContext("add", "Add")},
    {"new_password", TrLaterContext("new_password", "New password")},
    {"set_password", TrLaterContext("set_password", "Set password")},
    {"created", TrLaterContext("created", "Created")},
    {"when", TrLaterContext("when", "When")},
    {"who", TrLaterContext("who", "Who")},
    {"from", TrLaterContext("from", "From")},
    {"action", TrLaterContext("action", "Action")},
    {"details", TrLaterContext("details", "Details")},
    {"older", TrLaterContext("older", "Older entries")},
    {"language", TrLaterContext("language", "Language")},
    {"apply", TrLaterContext("apply", "Apply")},
    {"browser_language", TrLaterContext("browser_language", "as the browser says")},
    {"forbidden", TrLaterContext("forbidden", "Your role may not do this.")},
    {"bad_form", TrLaterContext("bad_form", "The form has expired or did not come from this site. Reload the page and try again.")},
    {"not_found", TrLaterContext("not_found", "There is no such page.")},
    {"too_large", TrLaterContext("too_large", "The request is too large.")},
    {"server_error", TrLaterContext("server_error", "The server could not complete the request; nothing was changed.")},
    {"bad_request", TrLaterContext("bad_request", "The request is not valid.")},
    {"problem_name", TrLaterContext("problem_name", "User names are 1 to 64 letters, digits, '.', '_', '-' or '@'.")},
    {"problem_password_short", TrLaterContext("problem_password_short", "A password has at least 8 characters.")},
    {"problem_password_long", TrLaterContext("problem_password_long", "That password is too long.")},
    {"problem_name_taken", TrLaterContext("problem_name_taken", "That user exists already.")},
    {"problem_no_user", TrLaterContext("problem_no_user", "There is no such user.")},
    {"problem_last_admin", TrLaterContext("problem_last_admin", "The last enabled admin cannot be disabled.")},
    {"done_added", TrLaterContext("done_added", "User added.")},
    {"done_password", TrLaterContext("done_password", "Password set; the user's sessions have ended.")},
    {"done_disabled", TrLaterContext("done_disabled", "User disabled; the user's sessions have ended.")},
    {"done_enabled", TrLaterContext("done_enabled", "User enabled.")},
    {"sign_in_again", TrLaterContext("sign_in_again", "Sign in again")},
    {"back", TrLaterContext("back", "Back")},
    // The dashboard and the Terminals page.
    {"no_site", TrLaterContext("no_site", "The console runs without a site file: there are no ports to show or sync.")},
    {"port", TrLaterContext("port", "Port")},
    {"ports", TrLaterContext("ports", "ports")},
    {"ports_heading", TrLaterContext("ports_heading", "Ports")},
    {"terminal", TrLaterContext("terminal", "Terminal")},
    {"whole_port", TrLaterContext("whole_port", "(port)")},
    {"last_sync", TrLaterContext("last_sync", "Last sync")},
    {"outcome", TrLaterContext("outcome", "Outcome")},
    {"cause", TrLaterContext("cause", "Cause")},
    {"new_records", TrLaterContext("new_records", "New records")},
    {"held_capacity", TrLaterContext("held_capacity", "Records held / capacity")},
    {"quarantined", TrLaterContext("quarantined", "Quarantined")},
    {"conflicting", TrLaterContext("conflicting", "Conflicting")},
    {"never_synced", TrLaterContext("never_synced", "never synced")},
    {"clock", TrLaterContext("clock", "Clock")},
    {"clock_ahead", TrLaterContext("clock_ahead", "ahead")},
    {"clock_behind", TrLaterContext("clock_behind", "behind")},
    {"clock_in_step", TrLaterContext("clock_in_step", "in step")},
    {"clock_none", TrLaterContext("clock_none", "no clock")},
    {"clock_invalid", TrLaterContext("clock_invalid", "no valid time")},
    {"clock_was", TrLaterContext("clock_was", "was")},
    {"clock_set", TrLaterContext("clock_set", "set from the host")},
    {"clock_off_hint", TrLaterContext("clock_off_hint", "off by more than the site allows: 'vanto clock --set' mends it")},
    {"unit_day", TrLaterContext("unit_day", "d")},
    {"unit_hour", TrLaterContext("unit_hour", "h")},
    {"unit_minute", TrLaterContext("unit_minute", "min")},
    {"unit_second", TrLaterContext("unit_second", "s")},
    {"outcome_synced", TrLaterContext("outcome_synced", "synced")},
    {"outcome_failed", TrLaterContext("outcome_failed", "failed")},
    {"outcome_cancelled", TrLaterContext("outcome_cancelled", "cancelled")},
    {"sync_site", TrLaterContext("sync_site", "Sync now: the whole site")},
    {"sync_port", TrLaterContext("sync_port", "Sync now: port")},
    {"sync_running", TrLaterContext("sync_running", "A sync is running.")},
    {"sync_started", TrLaterContext("sync_started", "Sync started.")},
    {"sync_busy", TrLaterContext("sync_busy", "A sync is running already; wait for it to end.")},
    {"server_stopping", TrLaterContext("server_stopping", "The console is stopping.")},
    {"no_such_port", TrLaterContext("no_such_port", "The site has no such port.")},
    {"refresh", TrLaterContext("refresh", "Refresh")},
    {"recent_runs", TrLaterContext("recent_runs", "Recent syncs")},
    {"run", TrLaterContext("run", "Run")},
    {"started", TrLaterContext("started", "Started")},
    {"ended", TrLaterContext("ended", "Ended")},
    {"started_by", TrLaterContext("started_by", "Started by")},
    {"synced", TrLaterContext("synced", "Synced")},
    // The dashboard's panel of push endpoints.
    {"push_heading", TrLaterContext("push_heading", "Push to HR systems")},
    {"push_endpoint", TrLaterContext("push_endpoint", "Endpoint")},
    {"push_backlog", TrLaterContext("push_backlog", "Waiting swipes")},
    {"push_last_success", TrLaterContext("push_last_success", "Last success")},
    {"push_last_error", TrLaterContext("push_last_error", "Last error")},
    {"push_next_attempt", TrLaterContext("push_next_attempt", "Next attempt")},
    {"push_not_yet", TrLaterContext("push_not_yet", "not sent to yet")},
    {"push_misconfigured", TrLaterContext("push_misconfigured", "Misconfigured in the site file (nothing is sent until it is mended):")},
    {"unfinished", TrLaterContext("unfinished", "unfinished")},
    {"by_command", TrLaterContext("by_command", "command line")},
    {"by_timer", TrLaterContext("by_timer", "timer")},
    {"by_console", TrLaterContext("by_console", "console")},
    {"by_schedule", TrLaterContext("by_schedule", "schedule")},
    {"progress_waiting", TrLaterContext("progress_waiting", "waiting")},
    {"progress_scanning", TrLaterContext("progress_scanning", "looking for terminals")},
    {"progress_starting", TrLaterContext("progress_starting", "starting")},
    {"progress_records", TrLaterContext("progress_records", "records read")},
    {"progress_done", TrLaterContext("progress_done", "done")},
    {"store_unreadable", TrLaterContext("store_unreadable", "The database could not be read:")},
    {"cause_missing", TrLaterContext("cause_missing", "the device is missing")},
    {"cause_permission", TrLaterContext("cause_permission", "no permission to use the device")},
    {"cause_busy", TrLaterContext("cause_busy", "another program holds the port")},
    {"cause_not-serial", TrLaterContext("cause_not-serial", "the device is no serial line")},
    {"cause_setting", TrLaterContext("cause_setting", "a line setting is not valid")},
    {"cause_open", TrLaterContext("cause_open", "the port did not open")},
    {"cause_line", TrLaterContext("cause_line", "the line failed")},
    {"cause_no-terminal", TrLaterContext("cause_no-terminal", "no terminal answered")},
    {"cause_terminal", TrLaterContext("cause_terminal", "the terminal refused")},
    {"cause_download", TrLaterContext("cause_download", "the download failed")},
    {"cause_store", TrLaterContext("cause_store", "the database failed")},
    {"cause_host", TrLaterContext("cause_host", "the host failed")},
    {"cause_quarantined", TrLaterContext("cause_quarantined", "records quarantined")},
    {"cause_cancelled", TrLaterContext("cause_cancelled", "cancelled")},
    {"cause_conflict", TrLaterContext("cause_conflict", "a log kept in a new epoch")},
    {"cause_clone", TrLaterContext("cause_clone", "a cloned identity")},
    {"device_present", TrLaterContext("device_present", "the device is there")},
    {"check_ok", TrLaterContext("check_ok", "ok")},
    {"check_fail", TrLaterContext("check_fail", "FAIL")},
    {"check_warn", TrLaterContext("check_warn", "warning")},
    {"check_site", TrLaterContext("check_site", "Site file")},
    {"check_database", TrLaterContext("check_database", "Database")},
    {"check_schedule", TrLaterContext("check_schedule", "The console syncs the site every")},
    {"rejected_records", TrLaterContext("rejected_records", "Rejected records")},
    {"conflicting_records", TrLaterContext("conflicting_records", "Conflicting records")},
    {"record_index", TrLaterContext("record_index", "Record")},
    {"person", TrLaterContext("person", "Person")},
    {"as_delivered", TrLaterContext("as_delivered", "As the terminal delivered it")},
    {"as_stored", TrLaterContext("as_stored", "As stored")},
    {"reason", TrLaterContext("reason", "Reason")},
    {"first_seen", TrLaterContext("first_seen", "First seen")},
    {"found", TrLaterContext("found", "Found")},
    {"record_key", TrLaterContext("record_key", "Log / record")},
    {"acknowledge", TrLaterContext("acknowledge", "Acknowledge")},
    {"acknowledged_by", TrLaterContext("acknowledged_by", "acknowledged by")},
    {"open", TrLaterContext("open", "open")},
    {"done_acknowledged", TrLaterContext("done_acknowledged", "Conflict acknowledged.")},
    {"no_such_conflict", TrLaterContext("no_such_conflict", "There is no such open conflict.")},
    {"doubles_title", TrLaterContext("doubles_title", "Swipes stored twice")},
    {"doubles_explained", TrLaterContext("doubles_explained",
                                         "Earlier versions could store one record of a terminal's log twice, under two epochs, "
                                         "when the terminal was read on another port. Folding keeps the copy stored first; "
                                         "the other leaves the database and the feed withdraws it, so HR systems count it once.")},
    {"doubles_kept", TrLaterContext("doubles_kept", "Kept (stored first)")},
    {"doubles_again", TrLaterContext("doubles_again", "Stored again")},
    {"doubles_none", TrLaterContext("doubles_none", "No swipe is stored twice.")},
    {"doubles_understood", TrLaterContext("doubles_understood", "I understand: the later copies are removed")},
    {"doubles_fold", TrLaterContext("doubles_fold", "Fold the swipes stored twice")},
    {"doubles_confirm", TrLaterContext("doubles_confirm", "Tick the box to confirm the fold.")},
    {"done_folded", TrLaterContext("done_folded", "Folded: each swipe is stored once; the feed withdraws the later copies.")},
    {"epoch", TrLaterContext("epoch", "epoch")},
    // The Swipes, People, Report and Enrolments pages.
    {"no_database", TrLaterContext("no_database", "The console has no database: start it with the site's database.")},
    {"db_failed", TrLaterContext("db_failed", "The database failed; nothing was changed:")},
    {"bad_filter", TrLaterContext("bad_filter", "A filter is not valid:")},
    {"from_date", TrLaterContext("from_date", "From")},
    {"to", TrLaterContext("to", "To")},
    {"person_number", TrLaterContext("person_number", "Person number")},
    {"department", TrLaterContext("department", "Department")},
    {"any", TrLaterContext("any", "(any)")},
    {"time", TrLaterContext("time", "Time")},
    {"person_name", TrLaterContext("person_name", "Name")},
    {"employee_code", TrLaterContext("employee_code", "Employee code")},
    {"show", TrLaterContext("show", "Show")},
    {"next_page", TrLaterContext("next_page", "Next page")},
    {"first_page", TrLaterContext("first_page", "First page")},
    {"download_csv", TrLaterContext("download_csv", "Download CSV")},
    {"no_swipes", TrLaterContext("no_swipes", "No stored swipes match.")},
    {"no_name", TrLaterContext("no_name", "(no name)")},
    {"search", TrLaterContext("search", "Search")},
    {"search_hint", TrLaterContext("search_hint", "number, name or department")},
    {"no_people", TrLaterContext("no_people", "No people match.")},
    {"more_people", TrLaterContext("more_people", "More people match; search to narrow the list. Shown:")},
    {"edit_person", TrLaterContext("edit_person", "Name and department")},
    {"save", TrLaterContext("save", "Save")},
    {"saved", TrLaterContext("saved", "Saved.")},
    {"import_people", TrLaterContext("import_people", "Import people from a CSV file")},
    {"csv_file", TrLaterContext("csv_file", "CSV file")},
    {"import", TrLaterContext("import", "Import")},
    {"imported", TrLaterContext("imported", "Imported. Added, updated, unchanged:")},
    {"import_refused", TrLaterContext("import_refused", "Nothing was imported:")},
    {"bad_person", TrLaterContext("bad_person", "A person needs a number and a name (UTF-8, at most 200 bytes each).")},
    {"month", TrLaterContext("month", "Month")},
    {"prev_month", TrLaterContext("prev_month", "Previous month")},
    {"next_month", TrLaterContext("next_month", "Next month")},
    {"days_present", TrLaterContext("days_present", "Days present")},
    {"total_span", TrLaterContext("total_span", "Total span")},
    {"statuses", TrLaterContext("statuses", "Days by status")},
    {"first_swipe", TrLaterContext("first_swipe", "First")},
    {"last_swipe", TrLaterContext("last_swipe", "Last")},
    {"swipes", TrLaterContext("swipes", "Swipes")},
    {"span", TrLaterContext("span", "Span")},
    {"day", TrLaterContext("day", "Day")},
    {"late", TrLaterContext("late", "late")},
    {"one_swipe", TrLaterContext("one_swipe", "one swipe")},
    {"late_after", TrLaterContext("late_after", "Late after")},
    {"day_starts", TrLaterContext("day_starts", "Working days start at")},
    {"printable", TrLaterContext("printable", "Printable page")},
    {"no_report", TrLaterContext("no_report", "No swipes and no people in this month.")},
    {"open_person", TrLaterContext("open_person", "Month")},
    {"kind", TrLaterContext("kind", "Kind")},
    {"kind_fingerprint", TrLaterContext("kind_fingerprint", "fingerprint")},
    {"kind_password", TrLaterContext("kind_password", "password")},
    {"kind_other", TrLaterContext("kind_other", "enrolment")},
    {"no_enrolments", TrLaterContext("no_enrolments", "The host holds no enrolments yet.")},
    // The Enrolments page's actions on terminals.
    {"enrolments_host_copy",
     TrLaterContext("enrolments_host_copy", "The host's copy: what was backed up from terminals into the host's enrolment table. A terminal cannot list "
     "whom it holds, so this page never shows a terminal's own contents.")},
    {"enrol_backup_title", TrLaterContext("enrol_backup_title", "Back up a person from a terminal")},
    {"enrol_backup_button", TrLaterContext("enrol_backup_button", "Back up")},
    {"enrol_copy_title", TrLaterContext("enrol_copy_title", "Copy a person's enrolment to terminals")},
    {"enrol_copy_button", TrLaterContext("enrol_copy_button", "Copy")},
    {"enrol_from", TrLaterContext("enrol_from", "From")},
    {"enrol_from_stored", TrLaterContext("enrol_from_stored", "the host's stored copy")},
    {"enrol_to", TrLaterContext("enrol_to", "To terminals")},
    {"enrol_result", TrLaterContext("enrol_result", "Result")},
    {"enrol_no_terminals", TrLaterContext("enrol_no_terminals", "The site lists no terminals to back up from or copy to.")},
    {"enrol_done", TrLaterContext("enrol_done", "done")},
    {"enrol_all_done", TrLaterContext("enrol_all_done", "Done on every terminal.")},
    {"enrol_some_failed", TrLaterContext("enrol_some_failed", "Not every terminal did it: see each terminal's result.")},
    {"enrol_backup_refused", TrLaterContext("enrol_backup_refused", "the terminal holds no enrolment of this person")},
    {"enrol_scan_failed", TrLaterContext("enrol_scan_failed", "the terminal could not be reached")},
    {"enrol_write_refused", TrLaterContext("enrol_write_refused", "the terminal refused the enrolment")},
    {"enrol_port_failed", TrLaterContext("enrol_port_failed", "the port could not be used")},
    {"enrol_not_answering", TrLaterContext("enrol_not_answering", "the terminal does not answer")},
    {"enrol_none_stored", TrLaterContext("enrol_none_stored", "the host holds no enrolment of this person: back it up first")},
    {"enrol_not_audited", TrLaterContext("enrol_not_audited", "nothing done: the audit trail could not be written")},
    {"enrol_not_copied", TrLaterContext("enrol_not_copied", "not copied: the backup did not succeed")},
    {"enrol_failed", TrLaterContext("enrol_failed", "The host failed; nothing was written:")},
    {"enrol_bad_form", TrLaterContext("enrol_bad_form", "Give a person number and choose terminals of the site.")},
    {"port_busy", TrLaterContext("port_busy", "The port is busy (a sync or another action on its terminals is running); try again shortly.")},
    {"clear_title", TrLaterContext("clear_title", "Clear a terminal's records")},
    {"clear_explained", TrLaterContext("clear_explained", "A terminal is cleared only when the database holds every record of its log; otherwise nothing is deleted. Sync it first.")},
    {"clear_understood", TrLaterContext("clear_understood", "I understand the terminal's records are deleted once the database holds them all")},
    {"clear_button", TrLaterContext("clear_button", "Clear")},
    {"clear_done", TrLaterContext("clear_done", "cleared: every record is stored")},
    {"clear_incomplete", TrLaterContext("clear_incomplete", "not cleared: the database misses records (sync first)")},
    {"clear_refused", TrLaterContext("clear_refused", "not cleared: its records changed since they were read")},
    {"clear_no_identity", TrLaterContext("clear_no_identity", "not cleared: the terminal tells no identity (protocol version 1)")},
    {"clear_failed", TrLaterContext("clear_failed", "not cleared: the terminal failed")},
    {"clear_bad_form", TrLaterContext("clear_bad_form", "Choose a terminal of the site and confirm that its records are deleted.")},
    {"mon", TrLaterContext("mon", "Mon")},
    {"tue", TrLaterContext("tue", "Tue")},
    {"wed", TrLaterContext("wed", "Wed")},
    {"thu", TrLaterContext("thu", "Thu")},
    {"fri", TrLaterContext("fri", "Fri")},
    {"sat", TrLaterContext("sat", "Sat")},
    {"sun", TrLaterContext("sun", "Sun")},
    {"nav_sites", TrLaterContext("nav_sites", "Sites")},
    {"site", TrLaterContext("site", "Site")},
    {"site_choose", TrLaterContext("site_choose", "Show site")},
    {"site_host", TrLaterContext("site_host", "Run by host")},
    {"unknown_host", TrLaterContext("unknown_host", "not known yet")},
    {"site_read_only_title", TrLaterContext("site_read_only_title", "Another site's terminals")},
    {"site_read_only", TrLaterContext("site_read_only", "This site's terminals are run by its own host: act on them there. This console shows them read-only.")},
    {"no_such_site", TrLaterContext("no_such_site", "The database holds no such site.")},
    {"site_forbidden", TrLaterContext("site_forbidden", "You may not see this site.")},
    {"sites_none", TrLaterContext("sites_none", "The database holds no site yet: the first sync of a site file that names its site adds it.")},
    {"stale", TrLaterContext("stale", "stale")},
    {"stale_after", TrLaterContext("stale_after", "Stale after")},
    {"stale_terminals", TrLaterContext("stale_terminals", "Stale terminals")},
    {"last_complete_sync", TrLaterContext("last_complete_sync", "Last complete sync")},
    {"open_conflicts", TrLaterContext("open_conflicts", "Open conflicts")},
    {"serial", TrLaterContext("serial", "Serial")},
    {"never", TrLaterContext("never", "never")},
    {"push_failures", TrLaterContext("push_failures", "Failures in a row")},
    // A person's month and a department's month (attendance_pages.cpp).
    {"att_person_month", TrLaterContext("att_person_month", "Month of a person")},
    {"att_department_month", TrLaterContext("att_department_month", "Month of a department")},
    {"att_all_departments", TrLaterContext("att_all_departments", "All departments")},
    {"att_download_xlsx", TrLaterContext("att_download_xlsx", "Download XLSX")},
    {"att_times_in", TrLaterContext("att_times_in", "Times are in the time zone")},
    {"att_worked", TrLaterContext("att_worked", "Worked")},
    {"att_overtime", TrLaterContext("att_overtime", "Overtime")},
    {"att_leave", TrLaterContext("att_leave", "Leave")},
    {"att_totals", TrLaterContext("att_totals", "Totals")},
    {"att_correction", TrLaterContext("att_correction", "correction")},
    {"att_set_aside", TrLaterContext("att_set_aside", "set aside")},
    {"att_shift", TrLaterContext("att_shift", "Shift")},
    {"att_first_in", TrLaterContext("att_first_in", "First in")},
    {"att_last_out", TrLaterContext("att_last_out", "Last out")},
    {"att_late_minutes", TrLaterContext("att_late_minutes", "Late (minutes)")},
    {"att_early_minutes", TrLaterContext("att_early_minutes", "Left early (minutes)")},
    {"att_findings", TrLaterContext("att_findings", "Findings")},
    {"att_closed", TrLaterContext("att_closed", "This month is closed; its days are as they were when it was closed.")},
    {"att_bad_person", TrLaterContext("att_bad_person", "Person: a person number (a whole number from 0) is expected.")},
    {"att_bad_format", TrLaterContext("att_bad_format", "Format: xlsx, csv or print is expected.")},
    {"att_bad_sort", TrLaterContext("att_bad_sort", "Sort: a column of the table is expected.")},
    {"att_site", TrLaterContext("att_site", "Site")},
    {"att_minutes", TrLaterContext("att_minutes", "min")},
    {"att_finding_short_day", TrLaterContext("att_finding_short_day", "short day")},
    {"att_finding_core_not_covered", TrLaterContext("att_finding_core_not_covered", "core hours not covered")},
    {"att_finding_holiday_worked", TrLaterContext("att_finding_holiday_worked", "worked on a holiday")},
    {"att_finding_rest_worked", TrLaterContext("att_finding_rest_worked", "worked on a rest day")},
    {"att_finding_overtime", TrLaterContext("att_finding_overtime", "overtime")},
    {"att_finding_correction_added", TrLaterContext("att_finding_correction_added", "swipe added by a correction")},
    {"att_finding_swipe_set_aside", TrLaterContext("att_finding_swipe_set_aside", "swipe set aside by a correction")},
    {"att_finding_judged_without", TrLaterContext("att_finding_judged_without", "judged without terminal")},
    {"att_finding_simple_rule", TrLaterContext("att_finding_simple_rule", "judged by the site's day start (no shift)")},
};

kainjow::mustache::data Build(Language language) {
  kainjow::mustache::data words = kainjow::mustache::data::type::object;
  for (const Word& w : kWords) words.set(w.key, TrInContext(language, w.key, w.en));
  return words;
}

}  // namespace

const char* LanguageCode(Language language) { return language == Language::kChinese ? "zh_CN" : "en"; }

Language PageLanguage(std::string_view setting, std::string_view accept_language) {
  if (setting == "zh_CN") return Language::kChinese;
  if (setting == "en") return Language::kEnglish;
  // The first of the browser's languages with the highest weight that we speak.
  Language best = Language::kEnglish;
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
      best = zh ? Language::kChinese : Language::kEnglish;
    }
  }
  return best;
}

const kainjow::mustache::data& Words(Language language) {
  static const kainjow::mustache::data english = Build(Language::kEnglish);
  static const kainjow::mustache::data chinese = Build(Language::kChinese);
  static const kainjow::mustache::data process = Build(Language::kProcess);
  return language == Language::kChinese ? chinese : language == Language::kEnglish ? english : process;
}

std::string Say(Language language, const std::string& key) {
  for (const Word& w : kWords)
    if (key == w.key) return TrInContext(language, w.key, w.en);
  return key;
}

}  // namespace vanto::web
