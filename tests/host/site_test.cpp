// The site file: what it accepts, what it refuses (with file, line and key), where it is
// looked for, and how it reaches the terminal control's settings.
#include "host/site/site.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace vanto::site {
namespace {

// The process environment, as a front end hands it to the site functions.
std::optional<std::string> Env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

const char kGood[] = R"(# a site
database = "/var/lib/vanto/vanto.db"
day_starts = "05:30"

[line]
speed = 57600
answer_timeout_ms = 300

[[port]]
number = 1
device = "/dev/ttyUSB0"
terminals = [1, 2, 7]

[[port]]
number = 2
device = "tcp://10.0.0.9:4001"
terminals = "1-16"
speed = 9600
retries = 5
)";

class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(std::vector<std::string> names) : names_(std::move(names)) {
    for (const auto& n : names_) {
      if (const char* v = std::getenv(n.c_str())) saved_[n] = v;
      ::unsetenv(n.c_str());
    }
  }
  ~EnvironmentGuard() {
    for (const auto& n : names_) {
      ::unsetenv(n.c_str());
      if (auto s = saved_.find(n); s != saved_.end()) ::setenv(n.c_str(), s->second.c_str(), 1);
    }
  }

 private:
  std::vector<std::string> names_;
  std::map<std::string, std::string> saved_;
};

const std::vector<std::string> kVariables = {
    "VANTO_FK_SPEED",   "VANTO_FK_TIMEOUT_MS", "VANTO_FK_PORT_1",     "VANTO_FK_PORT_2", "VANTO_FK_SPEED_2",
    "VANTO_FK_RETRIES_2", "VANTO_DB",          "VANTO_SITE",          "XDG_CONFIG_HOME", "HOME"};

TEST(SiteFile, ReadsEveryPart) {
  Site site = ParseSite(kGood, "site.toml");
  EXPECT_EQ(site.database, "/var/lib/vanto/vanto.db");
  EXPECT_EQ(site.day_starts, "05:30");
  EXPECT_FALSE(site.late_after);
  EXPECT_EQ(site.stale_after, 86400);
  EXPECT_EQ(ParseSite("stale_after = \"6h\"\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n", "s.toml").stale_after, 21600);
  EXPECT_EQ(ParseSite("late_after = \"09:05\"\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n", "s.toml").late_after, "09:05");
  EXPECT_EQ(site.line.at("VANTO_FK_SPEED").value, 57600);
  EXPECT_EQ(site.line.at("VANTO_FK_TIMEOUT_MS").line, 7);
  ASSERT_EQ(site.ports.size(), 2u);
  EXPECT_EQ(site.ports[0].terminals, (std::vector<int>{1, 2, 7}));
  EXPECT_FALSE(site.ports[0].scan);
  EXPECT_EQ(site.ports[1].device, "tcp://10.0.0.9:4001");
  EXPECT_TRUE(site.ports[1].scan);
  EXPECT_EQ(site.ports[1].terminals.size(), 16u);
  EXPECT_EQ(site.ports[1].overrides.at("VANTO_FK_RETRIES").value, 5);
  EXPECT_FALSE(site.name);
  const Site named = ParseSite("site = \"Plant_2-a\"\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n", "s.toml");
  EXPECT_EQ(named.name, "Plant_2-a");
  EXPECT_EQ(named.name_line, 1);
  EXPECT_TRUE(ValidSiteName("a23456789012345678901234567890AB"));
  EXPECT_EQ(site.pending_limit, 7);
  const Site att = ParseSite("pending_limit = 3\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = \"1-9\"\n"
                             "in = \"1-2, 5\"\nout = [3]\nnot_collected = \"9\"\n", "s.toml");
  EXPECT_EQ(att.pending_limit, 3);
  EXPECT_EQ(att.ports[0].in_terminals, (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(att.ports[0].out_terminals, (std::vector<int>{3}));
  EXPECT_EQ(att.ports[0].not_collected, (std::vector<int>{9}));
  EXPECT_EQ(att.ports[0].in_line, 6);
}

TEST(SiteFile, RefusalsNameFileLineAndKey) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"colour = 1\n[[port]]\nnumber=1\ndevice=\"d\"\nterminals=[1]\n", "s.toml:1: key 'colour': unknown key"},
      {"[line]\nspeed = 12345\n", "s.toml:2: key 'line.speed': 12345 is not a line speed"},
      {"[line]\nbatch = 0\n", "s.toml:2: key 'line.batch': 0 must be a whole number from 1 to 255"},
      {"[line]\nretries = \"3\"\n", "s.toml:2: key 'line.retries': must be a whole number, not a string"},
      {"[line]\nspeeed = 9600\n", "s.toml:2: key 'line.speeed': unknown key"},
      {"day_starts = \"25:00\"\n", "s.toml:1: key 'day_starts': '25:00' is not a time of day"},
      {"late_after = \"9:61\"\n", "s.toml:1: key 'late_after': '9:61' is not a time of day"},
      {"late_after = 900\n", "s.toml:1: key 'late_after': must be"},
      {"stale_after = \"soon\"\n", "s.toml:1: key 'stale_after': is not a duration"},
      {"stale_after = 0\n", "s.toml:1: key 'stale_after': is not a duration"},
      {"stale_after = true\n", "s.toml:1: key 'stale_after': must be a duration"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n[[port]]\nnumber = 1\ndevice = \"b\"\nterminals = [2]\n",
       "s.toml:5: key 'port.number': port 1 is given twice (first at line 1)"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n[[port]]\nnumber = 2\ndevice = \"a\"\nterminals = [2]\n",
       "s.toml:7: key 'port.device': a is already the device of port 1 (line 3)"},
      {"[[port]]\nnumber = 0\ndevice = \"a\"\nterminals = [1]\n", "s.toml:2: key 'port.number': 0 is out of range (1..32767)"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1, 256]\n",
       "s.toml:4: key 'port.terminals': 256 is out of range (1..255)"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [3, 3]\n",
       "s.toml:4: key 'port.terminals': terminal 3 is listed twice"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = \"9-2\"\n", "s.toml:4: key 'port.terminals': range '9-2' is inverted"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\n", "s.toml:1: key 'port.terminals': missing"},
      {"[[port]]\nnumber = 1\nterminals = [1]\n", "s.toml:1: key 'port.device': missing"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nbaud = 9600\n", "s.toml:5: key 'port.baud': unknown key"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\ngap_ms = 30\n",
       "s.toml:5: key 'port.gap_ms': is the same for every port: set it in [line]"},
      {"[line]\nlock_timeout_ms = -1\n", "s.toml:2: key 'line.lock_timeout_ms': -1 must be a whole number from 0"},
      {"database = \n", "s.toml:1: not valid TOML"},
      {"database = \"\"\n", "s.toml:1: key 'database': must not be empty"},
      {"", "s.toml:1: the site file names no port"},
      {"site = \"\"\n", "s.toml:1: key 'site': must not be empty"},
      {"\nsite = \"north office\"\n", "s.toml:2: key 'site': 'north office' is no site name"},
      {"site = \"caf\u00e9\"\n", "s.toml:1: key 'site': 'caf\u00e9' is no site name"},
      {"site = \"a23456789012345678901234567890123\"\n", "s.toml:1: key 'site': a site name has 1 to 32 characters, not 33"},
      {"site = 7\n", "s.toml:1: key 'site': must be"},
      {"pending_limit = 0\n", "s.toml:1: key 'pending_limit': 0 is out of range (1..366)"},
      {"pending_limit = 367\n", "s.toml:1: key 'pending_limit': 367 is out of range (1..366)"},
      {"pending_limit = \"7\"\n", "s.toml:1: key 'pending_limit': must be a whole number"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nin = \"2-1\"\n", "s.toml:5: key 'port.in': range '2-1' is inverted"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nout = \"1,x\"\n", "s.toml:5: key 'port.out': '1,x' is not a list"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nnot_collected = \"1,1\"\n",
       "s.toml:5: key 'port.not_collected': terminal 1 is listed twice"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nin = \"1-2\"\nout = \"2\"\n",
       "s.toml:6: key 'port.out': terminal 2 is a check-in terminal already (key 'in', line 5)"},
      {"[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\nin = true\n", "s.toml:5: key 'port.in': must be terminals"},
  };
  for (const Case& c : cases) {
    try {
      ParseSite(c.text, "s.toml");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const SiteError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << "got: " << e.what() << "\nwanted: " << c.message;
    }
  }
}

// [[push]]: an endpoint's keys, its secret file private to its owner (relative to the site
// file's folder), and each refusal at its line.
TEST(SiteFile, PushEndpointsAndTheirRefusals) {
  char pattern[] = "/tmp/vanto-site-push-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const std::string path = folder + "/s.toml";
  for (const auto& [name, mode] : {std::pair{"private", 0600}, std::pair{"shared", 0640}}) {
    const std::string file = folder + "/" + name;
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("secret\n", f);
    fclose(f);
    chmod(file.c_str(), mode);
  }
  const std::string port = "[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n";
  const std::string head = "[[push]]\nname = \"hr\"\nurl = \"https://hr.example/in\"\n";
  Site site = ParseSite(port + head + "secret_file = \"private\"\nformat = \"hr-checkin\"\nports = [1]\npeople = [7]\n"
                                      "from = \"2026-12-01\"\nrequests_per_minute = 30\nlog_types = { \"1:1\" = \"IN\" }\n"
                                      "all_sites = true\n",
                        path);
  ASSERT_EQ(site.pushes.size(), 1u);
  const SitePush& p = site.pushes[0];
  EXPECT_EQ(p.secret_file, folder + "/private");
  EXPECT_EQ(p.format, "hr-checkin");
  EXPECT_EQ(p.ports, std::vector<int>{1});
  EXPECT_EQ(p.people, std::vector<std::int32_t>{7});
  EXPECT_EQ(p.from, "2026-12-01");
  EXPECT_EQ(p.requests_per_minute, 30);
  EXPECT_EQ(p.log_types.at("1:1"), "IN");
  EXPECT_TRUE(p.all_sites);
  EXPECT_FALSE(ParseSite(port + head + "secret_file = \"private\"\n", path).pushes.at(0).all_sites);
  struct Case {
    std::string text;
    std::string message;  // after "PATH:"
  } cases[] = {
      {head + "secret_file = \"shared\"\n", "8: key 'push.secret_file': " + folder + "/shared may be read by other users"},
      {head + "secret_file = \"absent\"\n", "8: key 'push.secret_file': cannot read " + folder + "/absent"},
      {head, "5: key 'push.secret_file': is missing"},
      {"[[push]]\nname = \"hr\"\nurl = \"ftp://x\"\n", "7: key 'push.url': 'ftp://x' is no http:// or https:// address"},
      {head + "secret_file = \"private\"\nformat = \"xml\"\n", "9: key 'push.format': 'xml' is no format"},
      {head + "secret_file = \"private\"\nfrom = \"2026-13-01\"\n", "9: key 'push.from': '2026-13-01' is no date"},
      {head + "secret_file = \"private\"\nports = [0]\n", "9: key 'push.ports': 0 is out of range"},
      {head + "secret_file = \"private\"\nlog_types = { \"1:1\" = \"IN\" }\n", "9: key 'push.log_types': is for the hr-checkin"},
      {head + "secret_file = \"private\"\ncolour = 1\n", "9: key 'push.colour': unknown key"},
      {head + "secret_file = \"private\"\nall_sites = \"yes\"\n", "9: key 'push.all_sites': must be true or false"},
      {head + "secret_file = \"private\"\n" + head + "secret_file = \"private\"\n",
       "9: key 'push.name': push endpoint hr is given twice (first at line 5)"},
      {"[[push]]\nname = \"h r\"\n", "6: key 'push.name': must be 1 to 64"},
  };
  for (const Case& c : cases) {
    // A wrong endpoint stops pushing alone: the file is read, the refusal kept as its problem.
    const Site broken = ParseSite(port + c.text, path);
    ASSERT_EQ(broken.problems.size(), 1u) << c.text;
    EXPECT_EQ(broken.problems[0].part, SitePart::kPush);
    EXPECT_EQ(broken.problems[0].message.rfind(path + ":" + c.message, 0), 0u)
        << "got: " << broken.problems[0].message << "\nwanted: " << c.message;
    EXPECT_EQ(broken.ports.size(), 1u);
  }
  std::filesystem::remove_all(folder);
}

// The parts one feature uses: wrong, each leaves its settings at their defaults and keeps its
// problem (a push endpoint under its name, with its backlog's row); the rest of the file holds.
// A part every feature needs still refuses the file (RefusalsNameFileLineAndKey).
TEST(SiteFile, AWrongFeatureOnlyPartStopsThatFeatureAlone) {
  char pattern[] = "/tmp/vanto-site-part-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const std::string path = folder + "/s.toml", secret = folder + "/secret";
  std::ofstream(secret) << "s\n";
  const std::string head = "day_starts = \"06:00\"\n", port = "[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n";
  const std::string good = "[[push]]\nname = \"ok\"\nurl = \"https://a.example/\"\nsecret_file = \"" + secret + "\"\n";
  ::chmod(secret.c_str(), 0600);
  const std::string shared = folder + "/shared";
  std::ofstream(shared) << "s\n";
  ::chmod(shared.c_str(), 0644);
  struct Case {
    std::string text;
    SitePart part;
    std::string endpoint;  // the push endpoint kept with its problem ("" none)
    std::size_t pushes;    // endpoints the site keeps
    const char* message;   // the problem's start, after "PATH:"
    bool start_known = true;  // the kept endpoint's `from` read (or absent): it is recorded at once
  } cases[] = {
      {"[[push]]\nname = \"hr\"\nurl = \"https://hr.example/\"\nsecret_file = \"" + shared + "\"\n", SitePart::kPush,
       "hr", 1, "5: key 'push.secret_file':"},
      {good + "[[push]]\nname = \"hr\"\nurl = \"gopher://x\"\n", SitePart::kPush, "hr", 2, "8: key 'push.url':"},
      {good + "[[push]]\nurl = \"https://x/\"\n", SitePart::kPush, "", 1, "6: key 'push.name': is missing"},
      {"[[push]]\nname = \"hr\"\nurl = \"gopher://x\"\nfrom = \"2026-12-01\"\n", SitePart::kPush, "hr", 1, "4: key 'push.url':"},
      {"[[push]]\nname = \"hr\"\nfrom = \"2026-13-01\"\n", SitePart::kPush, "hr", 1, "4: key 'push.from':", false},
      {"push = 3\n", SitePart::kPush, "", 0, "2: key 'push':"},
      {"[console]\ntrusted_proxies = [\"proxy.example\"]\n", SitePart::kConsole, "", 0, "3: key 'console.trusted_proxies':"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2\"]\ncolour = 1\n", SitePart::kConsole, "", 0, "4: key 'console.colour':"},
      {"[schedule]\nsync_every = \"5s\"\n", SitePart::kSchedule, "", 0, "3: key 'schedule.sync_every':"},
      {"api_requests_per_minute = 0\n", SitePart::kApi, "", 0, "2: key 'api_requests_per_minute':"},
  };
  for (const Case& c : cases) {
    const Site site = ParseSite(head + c.text + port, path);
    ASSERT_EQ(site.problems.size(), 1u) << c.text;
    const SiteProblem& p = site.problems[0];
    EXPECT_EQ(p.part, c.part) << c.text;
    EXPECT_EQ(p.endpoint, c.endpoint) << c.text;
    EXPECT_EQ(p.message.rfind(path + ":" + c.message, 0), 0u) << p.message;
    EXPECT_EQ(site.ProblemOf(c.part), &p);
    EXPECT_EQ(site.HasUnnamedPushProblem(), c.part == SitePart::kPush && c.endpoint.empty()) << c.text;
    ASSERT_EQ(site.pushes.size(), c.pushes) << c.text;
    for (const SitePush& e : site.pushes) {
      EXPECT_EQ(e.problem.empty(), e.name != c.endpoint) << e.name;
      EXPECT_EQ(e.start_known, e.name != c.endpoint || c.start_known) << c.text;
      if (e.name == c.endpoint && c.start_known && c.text.find("from") != std::string::npos) {
        EXPECT_EQ(e.from, "2026-12-01");  // a wrong endpoint still starts at its date
      }
    }
    // The defaults stand for the wrong part; every other setting is the file's.
    EXPECT_TRUE(site.trusted_proxies.empty() && site.trusted_proxies_line == 0);
    EXPECT_FALSE(site.sync_every);
    EXPECT_TRUE(site.api_requests_per_minute == 600 && site.api_requests_per_minute_line == 0);
    EXPECT_EQ(site.day_starts, "06:00");
    EXPECT_EQ(site.ports.size(), 1u);
  }
  std::filesystem::remove_all(folder);
}

// [console] trusted_proxies and --trusted-proxies: accepted addresses in canonical form, the
// command line before the file before the default, and every bad value refused where it is.
TEST(SiteFile, TrustedProxiesResolveFromOptionThenFileThenDefault) {
  const std::string port = "\n[[port]]\nnumber = 1\ndevice = \"a\"\nterminals = [1]\n";
  struct Case {
    const char* file;    // the [console] table's text ("": no table)
    std::optional<std::string> option;  // --trusted-proxies
    std::vector<std::string> addresses;
    const char* origin_or_error;  // the origin; or, with no addresses, the start of the refusal
  } cases[] = {
      {"", std::nullopt, {}, "default"},
      {"[console]\ntrusted_proxies = []\n", std::nullopt, {}, "s.toml:2"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2\", \"::1\"]\n", std::nullopt, {"10.0.0.2", "::1"}, "s.toml:2"},
      // IPv6 in its canonical text, as a client's address is shown.
      {"[console]\ntrusted_proxies = [\"0:0:0:0:0:0:0:1\", \"FE80::0:1\"]\n", std::nullopt, {"::1", "fe80::1"}, "s.toml:2"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2\"]\n", "192.168.1.1,,::1", {"192.168.1.1", "::1"}, "--trusted-proxies"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2\"]\n", "", {}, "--trusted-proxies"},
      {"", "10.0.0.2", {"10.0.0.2"}, "--trusted-proxies"},
      // Refused: the file with its line and key, the option by name.
      {"[console]\ntrusted_proxies = \"10.0.0.2\"\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': must be a list"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2\",\n  \"proxy.example\"]\n", std::nullopt, {},
       "s.toml:3: key 'console.trusted_proxies': 'proxy.example' is no IP address"},
      {"[console]\ntrusted_proxies = [\"10.0.0.256\"]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': '10.0.0.256' is no IP"},
      {"[console]\ntrusted_proxies = [\"10.0.0.2/24\"]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': '10.0.0.2/24' is no IP"},
      {"[console]\ntrusted_proxies = [\" 10.0.0.2\"]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': ' 10.0.0.2' is no IP"},
      {"[console]\ntrusted_proxies = [\"::1\", \"0::1\"]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': '0::1' is listed twice"},
      {"[console]\ntrusted_proxies = [1]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': must be a string"},
      {"[console]\ntrusted_proxies = [\"\"]\n", std::nullopt, {}, "s.toml:2: key 'console.trusted_proxies': must not be empty"},
      {"[console]\nproxies = [\"10.0.0.2\"]\n", std::nullopt, {}, "s.toml:2: key 'console.proxies': unknown key"},
      {"console = 1\n", std::nullopt, {}, "s.toml:1: key 'console': must be a table [console]"},
      {"", "10.0.0.2,localhost", {}, "--trusted-proxies: 'localhost' is no IP address"},
      {"", "::1,::0:1", {}, "--trusted-proxies: '::0:1' is listed twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " / " + c.option.value_or("(no option)"));
    try {
      const Site site = ParseSite(c.file + port, "s.toml");
      // A wrong [console] is the console's problem (it stops `vanto serve` alone), kept where it is.
      if (const SiteProblem* problem = site.ProblemOf(SitePart::kConsole)) {
        EXPECT_TRUE(c.addresses.empty());
        EXPECT_EQ(problem->message.rfind(c.origin_or_error, 0), 0u) << "got: " << problem->message;
        EXPECT_TRUE(site.trusted_proxies.empty());
        continue;
      }
      const TrustedProxies proxies = ResolveTrustedProxies(&site, c.option);
      EXPECT_EQ(proxies.addresses, c.addresses);
      EXPECT_EQ(proxies.origin, c.origin_or_error);
      if (!c.option) {  // `vanto site show` shows the same, with its source
        bool shown = false;
        for (const Effective& e : EffectiveSettings(site, {}))
          if (e.name == "console.trusted_proxies") {
            shown = true;
            EXPECT_EQ(e.origin, c.origin_or_error);
            EXPECT_EQ(e.value, c.addresses.empty() ? "(none)" : c.addresses.size() == 1 ? c.addresses[0]
                                                                 : c.addresses[0] + ", " + c.addresses[1]);
          }
        EXPECT_TRUE(shown);
      }
    } catch (const SiteError& e) {
      EXPECT_TRUE(c.addresses.empty());
      EXPECT_EQ(std::string(e.what()).rfind(c.origin_or_error, 0), 0u) << "got: " << e.what();
    }
  }
  // Without a site file the command line or the default holds.
  EXPECT_EQ(ResolveTrustedProxies(nullptr, std::nullopt).origin, "default");
  EXPECT_EQ(ResolveTrustedProxies(nullptr, "127.0.0.1").addresses, std::vector<std::string>{"127.0.0.1"});
}

TEST(SiteFile, LocationFollowsOptionThenEnvironmentThenConfigFolder) {
  EnvironmentGuard guard(kVariables);
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(LocateSite(std::nullopt, Env).path, "/home/ann/.config/vanto/site.toml");
  EXPECT_FALSE(LocateSite(std::nullopt, Env).given);
  ::setenv("XDG_CONFIG_HOME", "/etc/xdg", 1);
  EXPECT_EQ(LocateSite(std::nullopt, Env).path, "/etc/xdg/vanto/site.toml");
  ::setenv("VANTO_SITE", "/srv/site.toml", 1);
  EXPECT_EQ(LocateSite(std::nullopt, Env).path, "/srv/site.toml");
  EXPECT_TRUE(LocateSite(std::nullopt, Env).given);
  EXPECT_EQ(LocateSite(std::string("mine.toml"), Env).path, "mine.toml");
  ::unsetenv("VANTO_SITE");
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  EXPECT_THROW(LocateSite(std::nullopt, Env), SiteError);
  EXPECT_THROW(LoadSite("/nonexistent/site.toml"), SiteError);
}

TEST(SiteFile, AppliedSettingsYieldToTheUsersAndAreTakenBack) {
  EnvironmentGuard guard(kVariables);
  ::setenv("VANTO_FK_PORT_1", "/dev/mine", 1);  // the user's, for this run
  Site site = ParseSite(kGood, "site.toml");
  auto applied = ControlSettingsOf(site, Env);
  auto value = [&](const char* name) -> const char* {
    auto found = applied.find(name);
    return found == applied.end() ? nullptr : found->second.c_str();
  };
  EXPECT_EQ(value("VANTO_FK_PORT_1"), nullptr);  // the user's holds: the control's own override
  EXPECT_STREQ(value("VANTO_FK_PORT_2"), "tcp://10.0.0.9:4001");
  EXPECT_STREQ(value("VANTO_FK_SPEED"), "57600");
  EXPECT_STREQ(value("VANTO_FK_SPEED_2"), "9600");
  EXPECT_STREQ(value("VANTO_FK_RETRIES_2"), "5");
  auto rows = EffectiveSettings(site, Env);
  auto find = [&](const std::string& name) {
    for (const auto& r : rows)
      if (r.name == name) return r;
    return Effective{};
  };
  EXPECT_EQ(find("port 1.device").origin, "$VANTO_FK_PORT_1");
  EXPECT_EQ(find("port 2.device").origin, "site.toml:16");
  EXPECT_EQ(find("line.speed").origin, "site.toml:6");
  EXPECT_EQ(find("line.retries").origin, "default");
  EXPECT_EQ(find("line.retries").value, "3");
  EXPECT_EQ(find("port 2.terminals").value, "scan 1-16");
  EXPECT_EQ(find("database").origin, "site.toml:2");
  // Another site: its settings are all there is (the host replaces one site's with another's).
  Site other = ParseSite("[[port]]\nnumber = 2\ndevice = \"/dev/ttyS9\"\nterminals = [4]\n", "other.toml");
  applied = ControlSettingsOf(other, Env);
  EXPECT_STREQ(value("VANTO_FK_PORT_2"), "/dev/ttyS9");
  EXPECT_EQ(value("VANTO_FK_SPEED"), nullptr);
  EXPECT_EQ(value("VANTO_FK_SPEED_2"), nullptr);
  EXPECT_EQ(value("VANTO_FK_PORT_1"), nullptr);
  // A user's line setting beats a port's own setting from the file.
  ::setenv("VANTO_FK_SPEED", "19200", 1);
  applied = ControlSettingsOf(site, Env);
  EXPECT_EQ(value("VANTO_FK_SPEED_2"), nullptr);
  EXPECT_EQ(value("VANTO_FK_SPEED"), nullptr);
  rows = EffectiveSettings(site, Env);
  EXPECT_EQ(find("line.speed").origin, "$VANTO_FK_SPEED");
  EXPECT_EQ(find("line.speed").value, "19200");
  EXPECT_EQ(find("port 2.speed").name, "");  // no row: the user's line speed holds for port 2 too
  EXPECT_EQ(find("port 2.retries").value, "5");
  // The database: --db first, then $VANTO_DB, then the file.
  ::setenv("VANTO_DB", "/srv/env.db", 1);
  rows = EffectiveSettings(site, Env);
  EXPECT_EQ(find("database").origin, "$VANTO_DB");
  rows = EffectiveSettings(site, Env, std::string("/srv/option.db"));
  EXPECT_EQ(find("database").origin, "--db");
  EXPECT_EQ(find("database").value, "/srv/option.db");
}

TEST(SiteFile, TimesOfDay) {
  EXPECT_EQ(ParseTimeOfDay("00:00"), 0);
  EXPECT_EQ(ParseTimeOfDay("23:59"), 23 * 60 + 59);
  for (const char* bad : {"24:00", "7:00", "07:60", "0700", "", "07:0a"}) EXPECT_EQ(ParseTimeOfDay(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace vanto::site
