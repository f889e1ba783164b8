// db: work on a whole database; `db copy --from A --to B` copies every table into another store.
#include "cli/command.h"
#include "cli/progress_line.h"
#include "host/db_copy.h"
#include "host/text/messages.h"

namespace vanto::cli {
namespace {

struct DbOptions {
  std::optional<std::string> from, to;
  bool quiet = false;
  double lock_timeout = 5.0;
  std::vector<std::string> words;  // "copy"
};

const char* StageText(CopyStage stage) {
  switch (stage) {
    case CopyStage::kSwipes: return Tr("copying swipes: {0} of {1}");
    case CopyStage::kEnrolments: return Tr("copying enrolments: {0} of {1}");
    case CopyStage::kPeople: return Tr("copying people: {0} of {1}");
    case CopyStage::kRejected: return Tr("copying rejected records: {0} of {1}");
  }
  return "";
}

int RunDbCopy(const DbOptions& o, Io& io) {
  ProgressLine line(o.quiet || !io.progress ? nullptr : &io.err);
  DbCopySettings settings;
  settings.from = o.from.value_or("");
  settings.to = o.to.value_or("");
  settings.lock_timeout = o.lock_timeout;
  const DbCopyResult r = CopyDatabase(settings, [&](CopyStage stage, std::int64_t done, std::int64_t total) {
    line.Show(Fill(StageText(stage), {std::to_string(done), std::to_string(total)}), done == total);
  });
  line.Erase();
  auto n = [](std::int64_t v) { return std::to_string(v); };
  auto swipes = [&](std::int64_t v) { return TrNFill("{0} swipe", "{0} swipes", static_cast<unsigned long>(v), {n(v)}); };
  auto enrolments = [&](std::int64_t v) {
    return TrNFill("{0} enrolment", "{0} enrolments", static_cast<unsigned long>(v), {n(v)});
  };
  auto people = [&](std::int64_t v) { return TrNFill("{0} person", "{0} people", static_cast<unsigned long>(v), {n(v)}); };
  io.out << TrFill("copied {0} ({1} new, {2} already there), {3} ({4} new) and {5} ({6} new, {7} with the source's name, "
                   "{8} unchanged) from {9} to {10}; it holds {11}, {12} and {13}",
                   {swipes(r.swipes), n(r.swipes_added), n(r.swipes - r.swipes_added), enrolments(r.enrolments),
                    n(r.enrolments_added), people(r.people), n(r.people_added), n(r.people_updated),
                    n(r.people_unchanged), r.source, r.target, swipes(r.swipes_held), enrolments(r.enrolments_held),
                    people(r.people_held)})
         << "\n";
  io.out << TrNFill("copied {0} rejected record ({1} new); {2} holds {3}",
                    "copied {0} rejected records ({1} new); {2} holds {3}", static_cast<unsigned long>(r.rejected),
                    {n(r.rejected), n(r.rejected_added), r.target, n(r.rejected_held)})
         << "\n";
  return kExitOk;
}

}  // namespace

Command DbCommand() {
  return {"db", TrLater("copy every table of one database into another (vanto db copy)"),
          "vanto db copy --from PATH-OR-URL --to PATH-OR-URL",
          TrLater("Copies the swipes, the enrolments and the people. Rows the destination holds already are\n"
          "kept as they are, so a second run adds nothing; a person's name and department come from\n"
          "the source, as a re-import of the people file would give them. A server's password comes from ~/.pgpass, PGPASSFILE or\n"
          "the PG* variables, never from the command line."),
          [](Parser& p) -> Run {
            auto o = std::make_shared<DbOptions>();
            p.Words("copy", &o->words, 1);
            p.Text("from", "PATH-OR-URL",
                   TrLater("the database to copy from (an SQLite file or postgresql://USER@HOST:PORT/NAME)"), &o->from,
                   Required::kYes);
            p.Text("to", "PATH-OR-URL", TrLater("the database to copy into (created when it is an SQLite file that does not exist)"),
                   &o->to, Required::kYes);
            p.Flag("quiet", TrLater("no progress line"), &o->quiet);
            p.Seconds("lock-timeout", "SECONDS", TrLater("how long to wait for another process's lock (default 5)"),
                      &o->lock_timeout, 86400);
            return [o](Io& io) {
              if (o->words.size() != 1 || o->words[0] != "copy")
                throw UsageError(o->words.empty() ? std::string(Tr("'vanto db' needs its action: vanto db copy --from A --to B"))
                                                  : TrFill("unknown action '{0}' (the one action is 'copy')", {o->words[0]}));
              return RunDbCopy(*o, io);
            };
          }};
}

}  // namespace vanto::cli
