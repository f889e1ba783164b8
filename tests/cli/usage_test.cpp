// The command line's refusals: each a usage error (exit 2) with a one-line hint on standard
// error, nothing on standard output, and no database created or touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/site/site.h"
#include "cli/args.h"
#include "cli/cli.h"
#include "cli/output.h"

namespace fs = std::filesystem;
using namespace vanto::cli;

namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Vanto(std::vector<std::string> args) {
  std::ostringstream out, err;
  Io io{out, err, false};
  int status = RunVanto(args, io);
  return {status, out.str(), err.str()};
}

struct UsageCase {
  std::vector<std::string> args;
  const char* words;  // a part of the message
};

TEST(Usage, BadCommandLinesAreRefusedWithOneLine) {
  char pattern[] = "/tmp/vanto-usage-XXXXXX";
  fs::path folder = mkdtemp(pattern);
  std::string db = (folder / "vanto.db").string();
  const UsageCase cases[] = {
      {{}, "missing command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"scan", "--bogus"}, "unknown option '--bogus'"},
      {{"scan", "stray"}, "unexpected argument 'stray'"},
      {{"scan", "--ports", "3-1"}, "inverted"},
      {{"scan", "--terminals", "9-2"}, "inverted"},
      {{"scan", "--ports", "a-3"}, "whole number"},
      {{"scan", "--ports", "1-x"}, "whole number"},
      {{"scan", "--ports", "1--3"}, "out of range"},
      {{"scan", "--ports", ""}, "whole number"},
      {{"scan", "--ports", "0-2"}, "out of range"},
      {{"scan", "--terminals", "1-40000"}, "out of range"},
      {{"scan", "--ports"}, "needs a value"},
      {{"scan", "--json=yes"}, "takes no value"},
      {{"scan", "--ports", "1", "--ports", "2"}, "given twice"},
      {{"download", "--terminal", "1", "--db", db}, "missing option '--port'"},
      {{"download", "--port", "1", "--db", db}, "missing option '--terminal'"},
      {{"download", "--port", "1", "--terminal", "1", "--csv", "--json", "--db", db}, "exclude each other"},
      {{"download", "--port", "1", "--terminal", "1", "--db", ""}, "needs a file name"},
      {{"download", "--port", "1", "--terminal", "1", "--db", db, "--lock-timeout", "soon"}, "seconds"},
      {{"backup", "--port", "1", "--terminal", "1", "--person", "12a", "--db", db}, "whole number, not '12a'"},
      {{"backup", "--port", "1", "--terminal", "1", "--person", "", "--db", db}, "whole number"},
      {{"backup", "--port", "1", "--terminal", "1", "--person", "1.5", "--db", db}, "whole number"},
      {{"backup", "--port", "1", "--terminal", "1", "--person", "99999999999", "--db", db}, "out of range"},
      {{"restore", "--port", "1", "--terminal", "1", "--person", "40000", "--db", db}, "out of range (-32768..32767)"},
      {{"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "2", "--person", "7", "--db", db},
       "missing option '--to-terminal'"},
      {{"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "2", "--to-terminal", "x", "--person", "7",
        "--db", db},
       "--to-terminal must be a whole number"},
  };
  for (const UsageCase& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += " " + a;
    Result r = Vanto(c.args);
    EXPECT_EQ(r.status, kExitUsage) << line;
    EXPECT_NE(r.err.find(c.words), std::string::npos) << line << " -> " << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << line << " -> " << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << line << ": more than one line: " << r.err;
    EXPECT_EQ(r.out, "") << line;
  }
  EXPECT_FALSE(fs::exists(db)) << "a refused command line created the database";
  fs::remove_all(folder);
}

// Listing what a database holds never creates one: a missing database (and its folder) is a clear
// error with the host's exit status, and stays missing.
TEST(Usage, ListingAMissingDatabaseCreatesNothing) {
  char pattern[] = "/tmp/vanto-usage-XXXXXX";
  const fs::path folder = mkdtemp(pattern);
  const fs::path site = folder / "site.toml";
  std::ofstream(site) << "database = \"data/vanto.db\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1]\n";
  const std::string named = (folder / "other" / "named.db").string();
  struct Case {
    std::vector<std::string> args;
    fs::path missing;  // the database the command would have used
  } cases[] = {
      {{"sync", "--history", "--site", site.string()}, folder / "data" / "vanto.db"},
      {{"sync", "--history", "--json", "--site", site.string()}, folder / "data" / "vanto.db"},
      {{"sync", "--history", "--json", "--limit", "5", "--site", site.string(), "--db", named}, named},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += " " + a;
    const Result r = Vanto(c.args);
    EXPECT_EQ(r.status, kExitHost) << line << " -> " << r.err;
    EXPECT_NE(r.err.find(c.missing.string()), std::string::npos) << line << " -> " << r.err;
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << line << " -> " << r.err;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_FALSE(fs::exists(c.missing.parent_path())) << line << ": created " << c.missing.parent_path();
  }
  fs::remove_all(folder);
}

TEST(Usage, EveryCommandHasHelp) {
  Result top = Vanto({"--help"});
  EXPECT_EQ(top.status, kExitOk);
  for (const char* command : {"scan", "download", "backup", "restore", "copy", "demo", "sim"}) {
    EXPECT_NE(top.out.find(std::string("  ") + command), std::string::npos) << command;
    for (const char* flag : {"--help", "-h"}) {
      Result r = Vanto({command, flag});
      EXPECT_EQ(r.status, kExitOk) << command;
      EXPECT_EQ(r.out.rfind(std::string("usage: vanto ") + command, 0), 0u) << r.out;
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST(Usage, RangesAndNumbers) {
  EXPECT_EQ(ParseRange("5", 1, 10, "x").first, 5);
  EXPECT_EQ(ParseRange("5", 1, 10, "x").last, 5);
  EXPECT_EQ(ParseRange("2-7", 1, 10, "x").last, 7);
  EXPECT_EQ(ParseRange("-3--1", -5, 10, "x").first, -3);
  EXPECT_EQ(ParseRange("-3--1", -5, 10, "x").last, -1);
  EXPECT_EQ(ParseWhole("+12", 0, 20, "x"), 12);
  EXPECT_EQ(ParseWhole("-2147483648", INT32_MIN, INT32_MAX, "x"), INT32_MIN);
  EXPECT_THROW(ParseWhole("2147483648", INT32_MIN, INT32_MAX, "x"), UsageError);
  EXPECT_THROW(ParseWhole("99999999999999999999999", INT32_MIN, INT32_MAX, "x"), UsageError);
  EXPECT_THROW(ParseWhole(" 12", 0, 20, "x"), UsageError);
  EXPECT_THROW(ParseWhole("&H10", 0, 20, "x"), UsageError);
  EXPECT_DOUBLE_EQ(ParseSeconds("0.25", 10, "x"), 0.25);
  EXPECT_THROW(ParseSeconds("-1", 10, "x"), UsageError);
  EXPECT_THROW(ParseSeconds("1e9", 10, "x"), UsageError);
}

TEST(Usage, DefaultDatabasePathFollowsTheEnvironment) {
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  setenv(::vanto::site::kDatabaseVariable, "/x/own.db", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/x/own.db");
  unsetenv(::vanto::site::kDatabaseVariable);
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/data/vanto/vanto.db");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DefaultDatabasePath(), "/home/u/.local/share/vanto/vanto.db");
  setenv("HOME", home.c_str(), 1);
}

}  // namespace

namespace {

TEST(Output, JsonAndCsvQuoteWhatTheyMust) {
  const std::pair<std::string, std::string> json[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nnext\t\x01", "\"line\\nnext\\t\\u0001\""},
      {"编号为1的考勤机不能下载刷卡数据！ ", "\"编号为1的考勤机不能下载刷卡数据！ \""},  // UTF-8 passes through
  };
  for (const auto& [text, want] : json) EXPECT_EQ(JsonString(text), want);
  const std::pair<std::string, std::string> csv[] = {
      {"2026-11-06 09:05:00", "2026-11-06 09:05:00"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
  };
  for (const auto& [text, want] : csv) EXPECT_EQ(CsvField(text), want);
}

TEST(Output, TablesAlignByCharactersNotBytes) {
  std::ostringstream out;
  WriteTable(out, {"PORT", "名称"}, {{"1", "终端"}, {"12", "x"}}, {true, false});
  EXPECT_EQ(out.str(), "PORT  名称\n   1  终端\n  12  x\n");
}

TEST(Output, TablesAlignByDisplayColumnsAWideCharacterTakingTwo) {
  const struct {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> right;
    const char* want;
  } cases[] = {
      {{"名称", "PORT"}, {{"终端", "1"}, {"x", "12"}}, {false, true}, "名称  PORT\n终端     1\nx       12\n"},
      {{"N", "W"}, {{"王小明", "a"}, {"Ann", "b"}}, {false, false}, "N       W\n王小明  a\nAnn     b\n"},
      {{"A", "B"}, {{"１２", "x"}, {"é", "y"}}, {true, false}, "   A  B\n１２  x\n   é  y\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    WriteTable(out, c.header, c.rows, c.right);
    EXPECT_EQ(out.str(), c.want);
  }
}

}  // namespace
