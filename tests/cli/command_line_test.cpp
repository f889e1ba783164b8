// The command line as a user meets it: did-you-mean hints, `vanto help COMMAND`, the bus's
// terminal numbers, scans that reach the last port, and the command table itself.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "cli/command.h"
#include "tests/cli/sim_fixture.h"

namespace vanto::cli::testing {
namespace {

struct HintCase {
  std::vector<std::string> args;
  const char* words;
};

TEST(CommandLine, MistypedCommandsAndOptionsGetAHint) {
  const HintCase cases[] = {
      {{"scann"}, "unknown command 'scann'; did you mean 'scan'?"},
      {{"downlaod"}, "did you mean 'download'?"},
      {{"hepl"}, "did you mean 'help'?"},
      {{"scan", "--port", "1"}, "unknown option '--port'; did you mean '--ports'?"},
      {{"scan", "--jsn"}, "did you mean '--json'?"},
      {{"download", "--terminl", "1", "--port", "1"}, "did you mean '--terminal'?"},
      {{"copy", "--from-prot", "1"}, "did you mean '--from-port'?"},
      {{"restore", "--lock-timout=3"}, "unknown option '--lock-timout'; did you mean '--lock-timeout'?"},
      {{"help", "restor"}, "unknown command 'restor'; did you mean 'restore'?"},
      {{"--versoin"}, "did you mean '--version'?"},
  };
  for (const HintCase& c : cases) {
    Result r = Vanto(c.args);
    EXPECT_EQ(r.status, kExitUsage) << c.args[0];
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // Nothing close: no guess.
  Result far = Vanto({"scan", "--xyzzy-plugh"});
  EXPECT_EQ(far.status, kExitUsage);
  EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
}

TEST(CommandLine, ClosestNeedsALikelyTypo) {
  const std::vector<std::string> names = {"scan", "download", "backup", "restore"};
  EXPECT_EQ(Closest("scna", names), std::optional<std::string>("scan"));
  EXPECT_EQ(Closest("backpu", names), std::optional<std::string>("backup"));
  EXPECT_EQ(Closest("down", names), std::optional<std::string>("download"));  // a prefix
  EXPECT_EQ(Closest("x", names), std::nullopt);
  EXPECT_EQ(Closest("completely", names), std::nullopt);
}

TEST(CommandLine, HelpCommandEqualsCommandHelp) {
  for (const Command& c : Commands()) {
    Result named = Vanto({"help", c.name});
    Result flag = Vanto({c.name, "--help"});
    EXPECT_EQ(named.status, kExitOk) << c.name;
    EXPECT_EQ(named.out, flag.out) << c.name;
    EXPECT_EQ(named.out.rfind(std::string("usage: vanto ") + c.name, 0), 0u) << named.out;
  }
  Result two = Vanto({"help", "scan", "download"});
  EXPECT_EQ(two.status, kExitUsage);
  Result top = Vanto({"help"});
  EXPECT_EQ(top.status, kExitOk);
  EXPECT_NE(top.out.find("Exit status: 0 done; 1"), std::string::npos) << top.out;
}

// Every terminal-number option takes the bus's addresses 1..255 and refuses the rest clearly.
TEST(CommandLine, TerminalNumbersAreTheBusAddresses) {
  const std::vector<std::vector<std::string>> lines = {
      {"scan", "--terminals", "1-256"},
      {"scan", "--terminals", "300"},
      {"download", "--port", "1", "--terminal", "256", "--db", "/nonexistent/x.db"},
      {"backup", "--port", "1", "--terminal", "32767", "--person", "1", "--db", "/nonexistent/x.db"},
      {"restore", "--port", "1", "--terminal", "1000", "--person", "1", "--db", "/nonexistent/x.db"},
      {"copy", "--from-port", "1", "--from-terminal", "1", "--to-port", "1", "--to-terminal", "256", "--person", "1",
       "--db", "/nonexistent/x.db"},
  };
  for (const auto& line : lines) {
    Result r = Vanto(line);
    EXPECT_EQ(r.status, kExitUsage) << line[0];
    EXPECT_NE(r.err.find("out of range (1..255)"), std::string::npos) << r.err;
  }
  Result port = Vanto({"download", "--port", "32768", "--terminal", "1", "--db", "/nonexistent/x.db"});
  EXPECT_EQ(port.status, kExitUsage);
  EXPECT_NE(port.err.find("out of range (1..32767)"), std::string::npos) << port.err;
}

// `user list` and `token list` under a header; a token's expiry, its refusals and its listing;
// --raw only with --csv; a user limited only to sites the database holds.
TEST(CommandLine, AccountListsHaveAHeaderAndTokensAnExpiry) {
  char pattern[] = "/tmp/vanto-lists-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string db = (folder / "v.db").string();
  Result added = Vanto({"token", "add", "payroll", "--scope", "swipes:read", "--expires", "90d", "--db", db});
  ASSERT_EQ(added.status, kExitOk) << added.err;
  ASSERT_EQ(Vanto({"token", "add", "forever", "--scope", "people:read", "--db", db}).status, kExitOk);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* words;  // in standard error
  } refused[] = {
      {{"token", "add", "x", "--scope", "swipes:read", "--expires", "2001-01-01"}, kExitUsage, "has passed already"},
      {{"token", "add", "x", "--scope", "swipes:read", "--expires", "soon"}, kExitUsage, "is neither a span"},
      {{"token", "add", "x", "--scope", "swipes:read", "--expires", "2027-02-30"}, kExitUsage, "is neither a span"},
      {{"token", "list", "--expires", "90d"}, kExitUsage, "--expires is for 'vanto token add'"},
      {{"swipes", "--raw"}, kExitUsage, "--raw is for --csv"},
      {{"report", "--month", "2026-11", "--json", "--raw"}, kExitUsage, "--raw is for --csv"},
      {{"user", "list", "--sites", "north"}, kExitUsage, "--sites is for 'vanto user add' and 'vanto user set'"},
      {{"user", "set", "payroll"}, kExitUsage, "'vanto user set' needs --sites"},
      {{"user", "set", "payroll", "--sites", "north"}, kExitUsage, "holds no site north (it holds none)"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--db", db});
    Result r = Vanto(args);
    EXPECT_EQ(r.status, c.status) << args[1];
    EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
  }
  Result tokens = Vanto({"token", "list", "--db", db});
  ASSERT_EQ(tokens.status, kExitOk) << tokens.err;
  std::istringstream lines(tokens.out);
  std::string header, first, second;
  std::getline(lines, header), std::getline(lines, first), std::getline(lines, second);
  EXPECT_EQ(header.rfind("NAME", 0), 0u) << tokens.out;
  EXPECT_NE(header.find("EXPIRES"), std::string::npos) << header;
  EXPECT_EQ(first.rfind("forever", 0), 0u);
  EXPECT_NE(first.find("never"), std::string::npos) << first;
  EXPECT_EQ(second.rfind("payroll", 0), 0u);
  EXPECT_TRUE(std::regex_search(second, std::regex("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z$"))) << second;
  Result users = Vanto({"user", "list", "--db", db});
  EXPECT_EQ(users.status, kExitOk) << users.err;
  EXPECT_EQ(users.out.rfind("NAME", 0), 0u) << users.out;
  EXPECT_NE(users.out.find("ROLE"), std::string::npos) << users.out;
  std::filesystem::remove_all(folder);
}

TEST(CommandLine, NoDefaultDatabaseWithoutHome) {
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  unsetenv("HOME");
  unsetenv("XDG_DATA_HOME");
  unsetenv(::vanto::site::kDatabaseVariable);
  Result r = Vanto({"download", "--port", "1", "--terminal", "1"});
  setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_NE(r.err.find("HOME is not set"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists("vanto.db"));
}

class CommandLineSite : public SimSite {};
VANTO_OVER_BOTH_TRANSPORTS(CommandLineSite);

// The driver's port counter would overflow after port 32767: a scan ending there must still
// find the terminals of the last ports and say nothing about an overflow.
TEST_P(CommandLineSite, AScanUpToTheLastPortFindsItsTerminals) {
  site_.AddTerminal(32766, 2);
  site_.AddTerminal(32767, 1);
  site_.AddTerminal(32767, 3);
  Start();
  for (const char* ports : {"32766-32767", "32767"}) {
    Result r = Vanto({"scan", "--ports", ports, "--terminals", "1-3", "--json"});
    ASSERT_EQ(r.status, kExitOk) << ports << ": " << r.err;
    EXPECT_EQ(r.err.find("溢出"), std::string::npos) << r.err;
    nlohmann::json found = nlohmann::json::parse(r.out);
    std::vector<std::pair<int, int>> got;
    for (const auto& f : found) got.emplace_back(f.at("port").get<int>(), f.at("terminal").get<int>());
    std::vector<std::pair<int, int>> want = {{32767, 1}, {32767, 3}};
    if (std::string(ports) == "32766-32767") want.insert(want.begin(), {32766, 2});
    EXPECT_EQ(got, want) << ports;
  }
}

TEST_P(CommandLineSite, AFailedFirstDownloadLeavesNoDatabase) {
  site_.AddTerminal(1, 1);
  Start();
  Result r = Vanto(Db({"download", "--port", "1", "--terminal", "9"}));
  EXPECT_EQ(r.status, kExitFalse) << r.out << r.err;
  EXPECT_FALSE(std::filesystem::exists(db_)) << r.out;
  // A database that was there stays, failure or not.
  site_.Terminal(1, 1)->records.push_back(Swipe(3, 4, 9, 0));
  ASSERT_EQ(Vanto(Db({"download", "--port", "1", "--terminal", "1"})).status, kExitOk);
  EXPECT_EQ(Vanto(Db({"download", "--port", "1", "--terminal", "9"})).status, kExitFalse);
  EXPECT_TRUE(std::filesystem::exists(db_));
}

}  // namespace
}  // namespace vanto::cli::testing
