#include "present/report/people_file.h"

#include "host/report/cells.h"
#include "host/text/messages.h"

#include <csv.h>

#include <charconv>
#include <limits>
#include <map>
#include <memory>
#include <optional>

namespace vanto::report {
namespace {

constexpr std::size_t kMaxField = 1000;  // bytes; a name or department longer than this is refused

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// A line break inside a quoted field is kept as "\n", whichever the file used.
std::string Lf(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i] == '\r' ? '\n' : text[i];
  }
  return out;
}

std::optional<std::int32_t> PersonNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (*begin == '+') ++begin;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || begin == end || *begin == '+' ||
      value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

struct Parse {
  std::string source;
  std::size_t line = 0;          // the line being fed
  std::size_t record_line = 0;   // where the record now being read began
  std::vector<std::string> fields;
  bool header_seen = false;
  std::vector<Person> people;
  std::map<std::int32_t, std::size_t> seen;  // person -> line
  std::optional<std::string> error;

  void Fail(std::size_t at, const std::string& why) {
    if (!error) error = source + ":" + std::to_string(at) + ": " + why;
  }

  void Record() {
    std::vector<std::string> row = std::move(fields);
    fields.clear();
    if (error) return;
    if (!header_seen) {
      header_seen = true;
      if (row.size() < 2 || row.size() > 4 || PersonNumber(Trim(row[0])))
        Fail(record_line, vanto::host::TrFill("expected a header row such as 'person,name,department,employee_code' "
                                             "(person number, name, optional department and employee code), found "
                                             "'{0}'...",
                                             {row.empty() ? std::string() : row[0]}));
      return;
    }
    while (row.size() > 2 && Trim(row.back()).empty()) row.pop_back();
    if (row.size() < 2 || row.size() > 4) {
      Fail(record_line, vanto::host::TrFill("expected 2 to 4 fields (person number, name, optional department and "
                                           "employee code), found {0}",
                                           {std::to_string(row.size())}));
      return;
    }
    std::string number_text = Trim(row[0]);
    std::optional<std::int32_t> number = PersonNumber(number_text);
    if (!number) {
      Fail(record_line, vanto::host::TrFill("person number '{0}' is not a whole number from -2147483648 to 2147483647",
                                           {number_text}));
      return;
    }
    // A file 'vanto people --csv' wrote: the apostrophe it put before a cell a spreadsheet would
    // run (= + - @) comes off again.
    Person p{*number, UnguardedCell(Lf(Trim(row[1]))), row.size() >= 3 ? UnguardedCell(Lf(Trim(row[2]))) : std::string(),
             row.size() == 4 ? UnguardedCell(Trim(row[3])) : std::string()};
    if (p.name.empty()) {
      Fail(record_line, vanto::host::TrFill("person {0} has an empty name", {number_text}));
      return;
    }
    if (p.employee_code.find_first_of("\r\n") != std::string::npos) {
      Fail(record_line, vanto::host::TrFill("person {0}: an employee code holds a line break", {number_text}));
      return;
    }
    for (const std::string* text : {&p.name, &p.department, &p.employee_code}) {
      if (!IsUtf8(*text)) {
        Fail(record_line, vanto::host::TrFill("person {0}: the text is not UTF-8 (save the file as UTF-8)", {number_text}));
        return;
      }
      if (text->size() > kMaxField) {
        Fail(record_line, vanto::host::TrFill("person {0}: a name, department or employee code longer than {1} bytes",
                                             {number_text, std::to_string(kMaxField)}));
        return;
      }
    }
    auto [earlier, added] = seen.try_emplace(p.number, record_line);
    if (!added) {
      Fail(record_line, vanto::host::TrFill("person {0} is listed twice (also on line {1})",
                                           {number_text, std::to_string(earlier->second)}));
      return;
    }
    people.push_back(std::move(p));
  }

  static void OnField(void* data, std::size_t size, void* self) {
    auto* parse = static_cast<Parse*>(self);
    parse->fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? size : 0);
  }
  static void OnRecord(int, void* self) { static_cast<Parse*>(self)->Record(); }
};

struct ParserDeleter {
  void operator()(csv_parser* p) const {
    csv_free(p);
    delete p;
  }
};

}  // namespace

bool IsUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
    else return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += extra + 1;
  }
  return true;
}

std::vector<Person> ReadPeopleCsv(std::istream& in, const std::string& source) {
  std::unique_ptr<csv_parser, ParserDeleter> parser(new csv_parser);
  if (csv_init(parser.get(), CSV_STRICT | CSV_STRICT_FINI) != 0) throw PeopleFileError(source + ": " + vanto::host::Tr("out of memory"));
  Parse parse;
  parse.source = source;
  std::string line;
  while (!parse.error && std::getline(in, line)) {
    ++parse.line;
    if (parse.line == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a byte-order mark
    // libcsv's state 0 is "no row begun": this line starts the next record.
    if (parser->pstate == 0) parse.record_line = parse.line;
    if (!in.eof()) line += '\n';
    if (csv_parse(parser.get(), line.data(), line.size(), Parse::OnField, Parse::OnRecord, &parse) != line.size())
      parse.Fail(parse.line, csv_error(parser.get()) == CSV_EPARSE
                                 ? std::string(vanto::host::Tr("malformed quoting (a quote inside an unquoted field, or "
                                                              "text after a closing quote)"))
                                 : vanto::host::TrFill("cannot parse: {0}", {csv_strerror(csv_error(parser.get()))}));
  }
  if (in.bad()) throw PeopleFileError(source + ": " + vanto::host::Tr("read error"));
  if (!parse.error && csv_fini(parser.get(), Parse::OnField, Parse::OnRecord, &parse) != 0)
    parse.Fail(parse.record_line, vanto::host::Tr("a quoted field is never closed"));
  if (parse.error) throw PeopleFileError(*parse.error);
  if (!parse.header_seen) throw PeopleFileError(source + ": " + vanto::host::Tr("the file is empty (expected a header row and people)"));
  return std::move(parse.people);
}

}  // namespace vanto::report
