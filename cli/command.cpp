#include "cli/command.h"

#include "cli/site_use.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "host/facade.h"
#include "host/site/site.h"
#include "host/text/messages.h"

namespace vanto::cli {

#define VANTO_COMMAND(name) Command name##Command();
#include "cli/command_list.h"
#undef VANTO_COMMAND

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
#define VANTO_COMMAND(name) name##Command(),
#include "cli/command_list.h"
#undef VANTO_COMMAND
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

namespace {
// Edits between two words, a swap of neighbours counting as one (optimal string alignment).
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}
}  // namespace

std::optional<std::string> Closest(const std::string& word, const std::vector<std::string>& candidates) {
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  for (const std::string& c : candidates) {
    std::size_t d = Distance(word, c);
    // A prefix of a longer name ("--term" for "--terminal") counts as close.
    if (word.size() >= 3 && c.rfind(word, 0) == 0) d = std::min<std::size_t>(d, 1);
    if (!best || d < best_distance) best = c, best_distance = d;
  }
  std::size_t allowed = word.size() <= 4 ? 1 : word.size() <= 8 ? 2 : 3;
  if (best && best_distance <= allowed) return best;
  return std::nullopt;
}

struct Parser::Declared {
  std::string name;
  bool flag = false;
  bool repeatable = false;
  Required required = Required::kNo;
  std::vector<std::string> values;
  std::int64_t flag_count = 0;
  CLI::Option* option = nullptr;
  std::function<void(const std::string&)> apply;
};

Parser::Parser(const std::string& command) : command_(command), app_(std::make_unique<CLI::App>("", "vanto " + command)) {
  app_->set_help_flag();
  app_->allow_extras();
  app_->add_flag("-h,--help", help_);
}

Parser::~Parser() = default;

void Parser::Add(const std::string& name, const std::string& value, const std::string& help, Required required,
                 std::function<void(const std::string&)> apply) {
  specs_.push_back({name, value, help});
  auto d = std::make_unique<Declared>();
  d->name = name;
  d->required = required;
  d->apply = std::move(apply);
  d->flag = value.empty();
  if (d->flag)
    d->option = app_->add_flag("--" + name, d->flag_count)->disable_flag_override();
  else
    d->option = app_->add_option("--" + name, d->values)
                    ->expected(1)
                    ->allow_extra_args(false)
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  declared_.push_back(std::move(d));
}

void Parser::Flag(const std::string& name, const std::string& help, bool* target) {
  Add(name, "", help, Required::kNo, [target](const std::string&) { *target = true; });
}

void Parser::Text(const std::string& name, const std::string& value, const std::string& help,
                  std::optional<std::string>* target, Required required) {
  Add(name, value, help, required, [target](const std::string& text) { *target = text; });
}

void Parser::Number(const std::string& name, const std::string& value, const std::string& help, int* target, int min,
                    int max, Required required) {
  Add(name, value, help, required, [=](const std::string& text) {
    *target = static_cast<int>(ParseWhole(text, min, max, "--" + name));
  });
}

void Parser::Whole(const std::string& name, const std::string& value, const std::string& help, std::int64_t* target,
                   std::int64_t min, std::int64_t max, Required required) {
  Add(name, value, help, required, [=](const std::string& text) { *target = ParseWhole(text, min, max, "--" + name); });
}

void Parser::RangeOf(const std::string& name, const std::string& value, const std::string& help, Range* target, int min,
                     int max) {
  Add(name, value, help, Required::kNo,
      [=](const std::string& text) { *target = ParseRange(text, min, max, "--" + name); });
}

void Parser::Seconds(const std::string& name, const std::string& value, const std::string& help, double* target,
                     double max) {
  Add(name, value, help, Required::kNo,
      [=](const std::string& text) { *target = ParseSeconds(text, max, "--" + name); });
}

void Parser::Wholes(const std::string& name, const std::string& value, const std::string& help,
                    std::vector<std::int64_t>* target, std::int64_t min, std::int64_t max) {
  Add(name, value, help, Required::kNo,
      [=](const std::string& text) { target->push_back(ParseWhole(text, min, max, "--" + name)); });
  declared_.back()->repeatable = true;
}

void Parser::Words(const std::string& value, std::vector<std::string>* target, std::size_t max) {
  words_ = target;
  max_words_ = max;
  (void)value;
}

void Parser::Database(std::optional<std::string>* db, double* lock_timeout, double longest_wait) {
  Add("db", "PATH", TrLater("database file (default: see 'Data' below)"), Required::kNo, [db](const std::string& text) {
    if (text.empty()) throw UsageError(Tr("--db needs a file name"));
    *db = text;
  });
  Seconds("lock-timeout", "SECONDS", TrLater("how long to wait while another process holds the database (default 5)"),
          lock_timeout, longest_wait);
  Add("site-name", "NAME", TrLater("the site of the database to act on (default: the site file's 'site', else the only site the database holds)"),
      Required::kNo, [this](const std::string& text) {
        if (auto problem = site::SiteNameProblem(text)) throw UsageError(Translate(host::Message::Join({"--site-name: ", *problem})));
        site_name_ = text;
      });
  has_database_ = true;
  db_ = db;
}

void Parser::Site(SiteNeed need) {
  Add("site", "FILE", TrLater("the site file (default: $VANTO_SITE, else $XDG_CONFIG_HOME/vanto/site.toml)"), Required::kNo,
      [this](const std::string& text) {
        if (text.empty()) throw UsageError(Tr("--site needs a file name"));
        site_ = text;
      });
  site_need_ = need;
}

bool Parser::Parse(const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app_->parse(reversed);
  } catch (const CLI::ArgumentMismatch& e) {
    // CLI11 words these "--name: 1 required TEXT missing" or "name was given a disallowed flag override".
    std::string what = e.what();
    for (const auto& d : declared_) {
      if (d->flag && what.rfind(d->name + " ", 0) == 0) throw UsageError(TrFill("option '{0}' takes no value", {"--" + d->name}));
      if (!d->flag && what.rfind("--" + d->name + ":", 0) == 0)
        throw UsageError(TrFill(
            "option '{0}' needs a value ({1})",
            {"--" + d->name,
             std::find_if(specs_.begin(), specs_.end(), [&](const OptionSpec& s) { return s.name == d->name; })->value}));
    }
    throw UsageError(what);
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  if (help_) return false;
  std::vector<std::string> rest = app_->remaining();
  if (words_) {
    std::vector<std::string> options;
    for (const std::string& word : rest) {
      bool option = word.rfind("-", 0) == 0 && word.size() > 1;
      if (!option && words_->size() < max_words_) words_->push_back(word);
      else options.push_back(word);
    }
    rest = std::move(options);
  }
  if (!rest.empty()) {
    const std::string& word = rest.front();
    if (word.rfind("-", 0) == 0 && word.size() > 1) {
      std::string name = word.substr(0, word.find('='));
      std::vector<std::string> known;
      for (const OptionSpec& s : specs_) known.push_back("--" + s.name);
      known.push_back("--help");
      std::string hint;
      if (auto close = Closest(name, known)) hint = TrFill("; did you mean '{0}'?", {*close});
      throw UsageError(TrFill("unknown option '{0}'", {name}) + hint);
    }
    throw UsageError(TrFill("unexpected argument '{0}'", {word}));
  }
  for (const auto& d : declared_) {
    std::size_t given = d->flag ? static_cast<std::size_t>(d->flag_count) : d->values.size();
    if (given > 1 && !d->repeatable) throw UsageError(TrFill("option '{0}' given twice", {"--" + d->name}));
    if (d->repeatable)
      for (const std::string& v : d->values) d->apply(v);
    else if (given == 1)
      d->apply(d->flag ? std::string() : d->values.front());
    if (given == 0 && d->required == Required::kYes) throw UsageError(TrFill("missing option '{0}'", {"--" + d->name}));
  }
  return true;
}

std::string DatabasePath(const std::optional<std::string>& db, bool create) {
  std::optional<ResolvedDatabase> resolved = ResolveDatabase(db, CurrentSite(), ProcessEnvironment());
  if (!resolved) throw UsageError(NoDatabaseText());
  if (create) PrepareDatabaseFolder(*resolved);
  return resolved->location;
}

}  // namespace vanto::cli
