// db: work on a whole database; `db copy --from A --to B` copies every table into another store.
#include "cli/command.h"
#include "cli/db_copy.h"
#include "cli/messages.h"

namespace vanto::cli {
namespace {

struct DbOptions : DbCopyOptions {
  std::vector<std::string> words;  // "copy"
};

}  // namespace

Command DbCommand() {
  return {"db", "copy every table of one database into another (vanto db copy)",
          "vanto db copy --from PATH-OR-URL --to PATH-OR-URL",
          "Copies the swipes, the enrolments and the people. Rows the destination holds already are\n"
          "kept as they are, so a second run adds nothing; a person's name and department come from\n"
          "the source, as a re-import of the people file would give them. A server's password comes from ~/.pgpass, PGPASSFILE or\n"
          "the PG* variables, never from the command line.",
          [](Parser& p) -> Run {
            auto o = std::make_shared<DbOptions>();
            p.Words("copy", &o->words, 1);
            p.Text("from", "PATH-OR-URL",
                   "the database to copy from (an SQLite file or postgresql://USER@HOST:PORT/NAME)", &o->from,
                   Required::kYes);
            p.Text("to", "PATH-OR-URL", "the database to copy into (created when it is an SQLite file that does not exist)",
                   &o->to, Required::kYes);
            p.Flag("quiet", "no progress line", &o->quiet);
            p.Seconds("lock-timeout", "SECONDS", "how long to wait for another process's lock (default 5)",
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
