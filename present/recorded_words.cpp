#include "present/recorded_words.h"

#include <cctype>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vanto::host {
namespace {

// One form a recorded text takes: its English with {0}, {1}, ... where values stand, and what each
// value is, by number: 'n' a whole number, 't' a text shown as it stands (a name, a file, a
// time, someone else's words), 'w' the host's own words, read through the same forms in turn.
struct Form {
  const char* english;
  const char* kinds;
};

// What the audit trail's rows say, as the host, the console, the API and the commands write them.
// A longer form comes before a shorter one it begins with.
constexpr Form kAuditForms[] = {
    // Sign-in.
    {TrLater("refused without checking"), ""},
    {TrLater("locked for {0} s"), "n"},
    {TrLater("no such user"), ""},
    {TrLater("user disabled"), ""},
    {TrLater("wrong password"), ""},
    {TrLater("{0} (admin)"), "t"},
    {TrLater("{0} (hr)"), "t"},
    {TrLater("{0} (viewer)"), "t"},
    // Syncs, from the console, the API and the command line.
    {TrLater("site"), ""},
    {TrLater("port {0}"), "n"},
    {TrLater("{0}: {1}/{2} terminals synced, {3} new records"), "wnnn"},
    {TrLater("{0}: a sync is running"), "w"},
    {TrLater("{0}: stopping"), "w"},
    {TrLater("{0}: the port is busy"), "w"},
    // Conflicts.
    {TrLater("conflict {0}: serial {1}, generation {2}, record {3}"), "nnnn"},
    {TrLater("conflict {0}"), "n"},
    // Clearing a terminal.
    {TrLater("port {0} terminal {1}"), "nn"},
    {TrLater("cleared only when the database holds every record of its log"), ""},
    {TrLater("log generation {0}, {1} records held"), "nn"},
    {TrLater("generation now {0}"), "n"},
    {TrLater("the database misses records {0}"), "t"},
    {TrLater("nothing cleared"), ""},
    {TrLater("its log changed since it was read"), ""},
    {TrLater("protocol version {0} tells no identity"), "n"},
    {TrLater("the clear was sent"), ""},
    // Enrolments.
    {TrLater("person {0} from {1}"), "nw"},
    {TrLater("person {0} to {1} ({2})"), "nww"},
    {TrLater("person {0} to {1}"), "nw"},
    {TrLater("fingerprint"), ""},
    {TrLater("password"), ""},
    {TrLater("enrolment {0}"), "n"},
    {TrLater("none stored"), ""},
    {TrLater("the terminal does not answer"), ""},
    {TrLater("not audited"), ""},
    {TrLater("the backup answered False: {0}"), "t"},
    {TrLater("the scan answered False: {0}"), "t"},
    {TrLater("the restore answered False: {0}"), "t"},
    // Terminal clocks.
    {TrLater("port {0} terminal {1}: clock invalid, set to {2} ({3})"), "nntt"},
    {TrLater("port {0} terminal {1}: clock {2}, set to {3} ({4})"), "nnttt"},
    {TrLater("the host's clock is not synchronised ({0})"), "t"},
    {TrLater("refusal {0}"), "n"},
    // People.
    {TrLater("person {0}: name \"{1}\", department \"{2}\""), "ntt"},
    {TrLater("file {0}, {1} rows"), "tn"},
    {TrLater("{0} added, {1} updated, {2} unchanged"), "nnn"},
    // Refused requests, by the console and the API ("METHOD PATH: why"; an action or a scope is a
    // name), and the count of those beyond the bound (first: the refusal it holds ends as it does).
    {TrLater("{0} more refused requests in the minute from {1} (the last: {2})"), "ntw"},
    {TrLater("{0} {1}: the role admin may not {2}"), "ttt"},
    {TrLater("{0} {1}: the role hr may not {2}"), "ttt"},
    {TrLater("{0} {1}: the role viewer may not {2}"), "ttt"},
    {TrLater("{0} {1}: the form's token is missing or wrong"), "tt"},
    {TrLater("{0} {1}: the token lacks the scope {2}"), "ttt"},
};

// What a push endpoint's last failure says, as the push writes it.
constexpr Form kPushForms[] = {
    {TrLater("cannot connect"), ""},
    {TrLater("time-out: no connection within {0} ms"), "n"},
    {TrLater("time-out or connection closed: no answer within {0} ms"), "n"},
    {TrLater("connection closed while sending"), ""},
    {TrLater("TLS failure: no secure connection"), ""},
    {TrLater("TLS failure: cannot load the CA file"), ""},
    {TrLater("TLS failure: the server's certificate is not trusted"), ""},
    {TrLater("request failed ({0})"), "t"},
    {TrLater("HTTP {0}: a redirect (to {1}), not followed: give the endpoint's own address"), "nt"},
    {TrLater("HTTP {0}: the server failed"), "n"},
    {TrLater("HTTP {0}: refused"), "n"},
    {TrLater("HTTP {0} without an acknowledgement (a JSON answer expected; the answer began \"{1}\"): nothing "
             "counted as delivered"),
     "nt"},
    {TrLater("HTTP {0} without an acknowledgement ({\"received\": {1}} expected; the answer began \"{2}\"): nothing "
             "counted as delivered"),
     "nnt"},
    {TrLater("the secret file {0} may be read by other users: make it private (chmod 600)"), "t"},
    {TrLater("the secret file {0} is empty"), "t"},
    {TrLater("cannot read the secret file {0}: {1}"), "tt"},
    {TrLater("cannot read the secret file {0}"), "t"},
    {TrLater("signing a push request failed"), ""},
    {TrLater("site {0} was renamed while its swipes were read: the push key's site name is read again at the next "
             "attempt"),
     "t"},
};

// What the site file's parser says of a [[push]] table it cannot use ("FILE:LINE: key 'K': what
// is wrong"), as an English host wrote it; the console shows it to readers of every language.
constexpr Form kSiteProblemForms[] = {
    {TrLater("{0}: key '{1}': {2}"), "ttw"},
    {TrLater("must not be empty"), ""},
    {TrLater("must be a string, not {0}"), "w"},
    {TrLater("must be a whole number, not {0}"), "w"},
    {TrLater("must be a list of numbers, not {0}"), "w"},
    {TrLater("must be a table, not {0}"), "w"},
    {TrLater("a string"), ""},
    {TrLater("a whole number"), ""},
    {TrLater("a decimal number"), ""},
    {TrLater("true or false"), ""},
    {TrLater("a list"), ""},
    {TrLater("a table"), ""},
    {TrLater("a date or time"), ""},
    {TrLater("{0} is out of range ({1}..{2})"), "nnn"},
    {TrLater("cannot read {0}: {1}"), "tt"},
    {TrLater("must be 1 to 64 letters, digits, '.', '_' or '-'"), ""},
    {TrLater("'{0}' is no http:// or https:// address"), "t"},
    {TrLater("'{0}' is no format (json or hr-checkin)"), "t"},
    {TrLater("{0} may be read by other users: make it private (chmod 600)"), "t"},
    {TrLater("'{0}' is no date YYYY-MM-DD"), "t"},
    {TrLater("must name a terminal as \"PORT:TERMINAL\""), ""},
    {TrLater("must be \"IN\" or \"OUT\""), ""},
    {TrLater("unknown key (a push endpoint has: name, url, format, secret_file, ca_file, ports, people, from, "
             "requests_per_minute, log_types)"),
     ""},
    {TrLater("is missing"), ""},
    {TrLater("is for the hr-checkin format"), ""},
    {TrLater("push endpoint {0} is given twice (first at line {1})"), "tn"},
    {TrLater("push endpoints are tables written [[push]], one per endpoint"), ""},
};

// A form's text cut at its values: literal pieces, and the numbers of the values between them.
struct Piece {
  std::string_view literal;
  int value = -1;  // >= 0: the value of this number stands here
};

std::vector<Piece> Pieces(std::string_view english) {
  std::vector<Piece> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < english.size(); ++i) {
    if (english[i] != '{' || i + 2 >= english.size() || !std::isdigit(static_cast<unsigned char>(english[i + 1])) ||
        english[i + 2] != '}')
      continue;
    if (i > start) pieces.push_back({english.substr(start, i - start)});
    pieces.push_back({{}, english[i + 1] - '0'});
    start = i + 3;
    i += 2;
  }
  if (start < english.size()) pieces.push_back({english.substr(start)});
  return pieces;
}

bool IsNumber(std::string_view text) {
  if (!text.empty() && text[0] == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Whether `text` from `at` takes the form's pieces from `k` on; its values into `values`. Only a
// text value may be empty (an empty department); the shortest that lets the rest match is taken.
bool Match(const std::vector<Piece>& pieces, std::size_t k, const Form& form, std::string_view text, std::size_t at,
           std::vector<std::string>& values) {
  if (k == pieces.size()) return at == text.size();
  const Piece& piece = pieces[k];
  if (piece.value < 0) {
    if (text.substr(at, piece.literal.size()) != piece.literal) return false;
    return Match(pieces, k + 1, form, text, at + piece.literal.size(), values);
  }
  const char kind = form.kinds[piece.value];
  const bool last = k + 1 == pieces.size();
  for (std::size_t end = last ? text.size() : at + (kind == 't' ? 0 : 1); end <= text.size(); ++end) {
    if (!last) {  // the next literal must follow the value
      end = text.find(pieces[k + 1].literal, end);
      if (end == std::string_view::npos) return false;
    }
    const std::string_view value = text.substr(at, end - at);
    if (kind == 'n' && !IsNumber(value)) {
      if (value == "-") continue;  // a minus: its digits may follow
      return false;                // nor is a longer one a number
    }
    // The host's words in a value are one part: they never run on past a "; ".
    if (kind == 'w' && value.find("; ") != std::string_view::npos) return false;
    if (value.empty() && kind != 't') continue;
    values[static_cast<std::size_t>(piece.value)] = std::string(value);
    if (Match(pieces, k + 1, form, text, end, values)) return true;
  }
  return false;
}

std::string Words(Language language, std::string_view text, std::span<const Form> forms);

// `text` in one of the forms, its values in place (the host's words among them in turn).
std::optional<std::string> InForm(Language language, std::string_view text, std::span<const Form> forms) {
  for (const Form& form : forms) {
    const std::vector<Piece> pieces = Pieces(form.english);
    std::vector<std::string> values(std::char_traits<char>::length(form.kinds));
    if (!Match(pieces, 0, form, text, 0, values)) continue;
    std::string out;
    for (const Piece& piece : Pieces(TrIn(language, form.english))) {
      if (piece.value < 0) {
        out += piece.literal;
      } else if (static_cast<std::size_t>(piece.value) < values.size()) {
        const std::string& value = values[static_cast<std::size_t>(piece.value)];
        out += form.kinds[piece.value] == 'w' ? Words(language, value, forms) : value;
      }
    }
    return out;
  }
  return std::nullopt;
}

// `text` whole in a form; else each of its parts between "; " (then between ", ") in a form, joined
// as the language joins them; else as it stands.
std::string Words(Language language, std::string_view text, std::span<const Form> forms) {
  if (auto worded = InForm(language, text, forms)) return *worded;
  struct Separator {
    std::string_view text;
    const char* join;
  };
  for (const Separator& separator : {Separator{"; ", TrLater("{0}; {1}")}, Separator{", ", TrLater("{0}, {1}")}}) {
    if (text.find(separator.text) == std::string_view::npos) continue;
    std::string out;
    bool worded = false;
    for (std::size_t start = 0;;) {
      const std::size_t end = text.find(separator.text, start);
      const std::string_view part = text.substr(start, end == std::string_view::npos ? end : end - start);
      const std::string words = Words(language, part, forms);
      worded |= words != part;
      out = start == 0 ? words : TrInFill(language, separator.join, {out, words});
      if (end == std::string_view::npos) break;
      start = end + separator.text.size();
    }
    // Parts none of which is the host's: someone else's text, kept whole as it stands.
    return worded ? out : std::string(text);
  }
  return std::string(text);
}

}  // namespace

std::string AuditDetailsText(Language language, const std::string& action, const std::string& details) {
  if (language == Language::kEnglish) return details;
  // A name is never read as words, however it is spelled ("site", "password").
  for (const char* named : {"user.password", "user.disable", "user.enable", "token.add", "token.revoke"})
    if (action == named) return details;
  return Words(language, details, kAuditForms);
}

std::string PushErrorText(Language language, const std::string& error) {
  if (language == Language::kEnglish) return error;
  return Words(language, error, kPushForms);
}

std::string PushProblemText(Language language, const std::string& problem) {
  if (language == Language::kEnglish) return problem;
  return Words(language, problem, kSiteProblemForms);
}

}  // namespace vanto::host
