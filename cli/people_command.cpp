// people: the names beside person numbers; `people import FILE.csv` adds and updates them.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "host/attendance_data.h"
#include "cli/command.h"
#include "cli/command_support.h"
#include "host/db/civil_time.h"
#include "host/text/messages.h"
#include "present/report/people_file.h"
#include "present/report/formats.h"

namespace vanto::cli {
namespace {

struct PeopleOptions : DatabaseOptions {
  std::vector<std::string> words;  // nothing, or "import" FILE
  bool csv = false, json = false, raw = false, all_sites = false;
};

int ImportPeople(const PeopleOptions& o, const std::string& file, Io& io) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw UsageError(TrFill("cannot read people file {0}: {1}", {file, std::strerror(errno)}));
  std::vector<report::Person> people;
  try {
    people = report::ReadPeopleCsv(in, file);
  } catch (const report::PeopleFileError& e) {
    throw UsageError(TrFill("{0}; nothing imported", {Translate(e)}));
  }
  store::RecordStore store = OpenStore(o, true);
  // The chosen site's people: another site's same numbers stay its own.
  const std::string& site = CommandSite(o, DatabaseUse::kWrite).name;
  std::vector<store::PersonName> names;
  names.reserve(people.size());
  for (report::Person& p : people)
    names.push_back({p.number, std::move(p.name), std::move(p.department), site, std::move(p.employee_code)});
  // Audited under the operating-system user's name, the row in the import's transaction.
  store::PeopleImport done = store.swipes().PutPeopleAudited(
      names, {store::UtcNowText(), OsUser(), "command line", "people.import",
              "file " + file + ", " + std::to_string(names.size()) + " rows" + (site.empty() ? "" : ", site " + site)});
  std::initializer_list<std::string> args{std::to_string(names.size()), file, std::to_string(done.added),
                                          std::to_string(done.updated), std::to_string(done.unchanged)};
  io.out << (names.size() == 1 ? TrFill("imported {0} person from {1}: {2} added, {3} updated, {4} unchanged", args)
                               : TrFill("imported {0} people from {1}: {2} added, {3} updated, {4} unchanged", args))
         << "\n";
  return kExitOk;
}

int RunPeople(const PeopleOptions& o, Io& io) {
  if (!o.words.empty()) {
    if (o.words[0] != "import") throw UsageError(TrFill("unknown action '{0}' (the one action is 'import FILE.csv')", {o.words[0]}));
    if (o.words.size() != 2) throw UsageError(Tr("'people import' needs the file to import: vanto people import FILE.csv"));
    if (o.csv || o.json || o.raw) throw UsageError(Tr("--csv, --json and --raw are for listing people, not for 'import'"));
    if (o.all_sites) throw UsageError(Tr("--all-sites is for listing people; 'import' stores the chosen site's people"));
    return ImportPeople(o, o.words[1], io);
  }
  report::Format format = ChooseFormat(o.csv, o.json, o.raw);
  // Listing only reads: a read-only database will do, and none is created or migrated.
  store::RecordStore store = OpenStoreForReading(o, o.all_sites);
  if (!HoldsPeople(store.swipes()) && format == report::Format::Table) {
    io.err << TrFill("database {0} has no people table yet (an older schema): 'vanto people import FILE.csv' adds it",
                     {store.path()})
           << "\n";
    return kExitOk;
  }
  std::vector<report::Person> people = StoredPeople(store.swipes(), ReadingSite(o, o.all_sites));
  if (people.empty() && format == report::Format::Table) {
    io.err << Tr("no people yet: 'vanto people import FILE.csv' adds them") << "\n";
    return kExitOk;
  }
  report::WritePeople(io.out, people, format, o.all_sites);
  return kExitOk;
}

}  // namespace

Command PeopleCommand() {
  return {"people", TrLater("list the people the database knows, or import them from a CSV file"),
          "vanto people [--csv | --json] [--all-sites] [--db PATH] [--site FILE]\n       vanto people import FILE.csv [--db PATH] [--site FILE]",
          TrLater("'people import' reads a UTF-8 CSV file: a header row, then one row per person with the\n"
          "person number, the name and (optionally) the department and the employee code, for example\n"
          "\n"
          "    person,name,department,employee_code\n"
          "    101,\"Zhang, Wei\",Sales,E-1001\n"
          "    102,王小明,,\n"
          "\n"
          "People belong to the site the command acts on (the site file's, or --site-name): another\n"
          "site's person with the same number is another person. The employee code ties the same\n"
          "human's numbers at several sites together. --all-sites lists every site's people.\n"
          "\n"
          "Quote a field holding commas, quotes or line breaks (\"\" stands for a quote), as\n"
          "spreadsheets do. Importing again updates the people it lists and adds new ones; people it\n"
          "does not list stay. A file with a bad row is refused with the row's line number and nothing\n"
          "is imported. Names appear beside person numbers in 'vanto swipes' and 'vanto report'."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<PeopleOptions>();
            p.Words("import FILE.csv", &o->words, 2);
            p.Flag("csv", TrLater("list as CSV with a header row"), &o->csv);
            p.Flag("json", TrLater("list as one JSON object per line"), &o->json);
            p.Flag("raw", TrLater("with --csv: every value as stored, for programs (no apostrophe before = + - @)"), &o->raw);
            p.Flag("all-sites", TrLater("list every site's people, each with its site"), &o->all_sites);
            p.Database(&o->db, &o->lock_timeout);
            p.Site(SiteNeed::kOptional);
            return [o](Io& io) { return RunPeople(*o, io); };
          }};
}

}  // namespace vanto::cli
