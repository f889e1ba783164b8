// `vanto push` and `vanto push status` against a local receiver: exit 0 when everything is
// delivered, 1 naming the endpoint that failed, the status with backlog and last error, and a
// removed endpoint's backlog dropped with a message.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/db/swipe_store.h"
#include "cli/cli.h"
#include "host/db/database.h"

namespace vanto::cli {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Vanto(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  Io io{out, err, false};
  const int status = RunVanto(args, io);
  return {status, out.str(), err.str()};
}

TEST(PushCommand, DeliversFailsNamedShowsStatusAndDropsARemovedEndpoint) {
  char pattern[] = "/tmp/vanto-push-cli-XXXXXX";
  const std::filesystem::path folder = mkdtemp(pattern);
  const std::string db = (folder / "vanto.db").string(), site = (folder / "site.toml").string();
  std::ofstream(folder / "hr.secret") << "secret\n";
  ::chmod((folder / "hr.secret").c_str(), 0600);
  std::atomic<int> status{200};
  std::atomic<int> received{0};
  httplib::Server receiver;
  receiver.Post("/in", [&](const httplib::Request& request, httplib::Response& response) {
    response.status = status.load();
    const int sent = static_cast<int>(nlohmann::json::parse(request.body)["swipes"].size());
    if (response.status == 200) received += sent, response.set_content("{\"received\":" + std::to_string(sent) + "}", "application/json");
  });
  const int port = receiver.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { receiver.listen_after_bind(); });
  auto write_site = [&](bool with_push) {
    std::ofstream(site) << "database = \"vanto.db\"\n[[port]]\nnumber = 1\ndevice = \"/dev/null\"\nterminals = [1]\n"
                        << (with_push ? "[[push]]\nname = \"hr\"\nurl = \"http://127.0.0.1:" + std::to_string(port) +
                                            "/in\"\nsecret_file = \"hr.secret\"\nfrom = \"2026-12-01\"\n"
                                      : "");
  };
  auto store = [&](std::uint32_t first) {
    std::vector<store::StoredSwipe> rows;
    for (std::uint32_t i = first; i < first + 3; ++i)
      rows.push_back({1, 1, 7, "2026-12-08 08:0" + std::to_string(i), 1, "2026-12-08 08:0" + std::to_string(i) + ":00",
                      "2026-12-08T09:00:00Z", 900u, 1u, i, 0});
    vanto::db::Database::Open(db)->Swipes()->Insert(rows);
  };
  write_site(true);
  store(0);
  Result first = Vanto({"push", "--site", site});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("hr: 3 swipes delivered"), std::string::npos) << first.out;
  EXPECT_EQ(received.load(), 3);

  status = 500;
  store(3);
  Result failed = Vanto({"push", "--site", site});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("hr: failed after 0 swipes delivered: HTTP 500"), std::string::npos) << failed.err;
  Result waiting = Vanto({"push", "--site", site});
  EXPECT_EQ(waiting.status, 1);
  EXPECT_NE(waiting.err.find("hr: waiting after 1 failures"), std::string::npos) << waiting.err;
  const nlohmann::json shown = nlohmann::json::parse(Vanto({"push", "status", "--json", "--site", site}).out);
  EXPECT_EQ(shown["endpoints"][0]["backlog"], 3);
  EXPECT_EQ(shown["endpoints"][0]["failures"], 1);
  EXPECT_NE(shown["endpoints"][0]["last_error"].get<std::string>().find("HTTP 500"), std::string::npos);

  status = 200;
  Result now = Vanto({"push", "--now", "--site", site});
  EXPECT_EQ(now.status, 0) << now.err;
  EXPECT_EQ(received.load(), 6);

  store(6);
  write_site(false);
  Result dropped = Vanto({"push", "--site", site});
  EXPECT_EQ(dropped.status, 0);
  EXPECT_NE(dropped.err.find("push endpoint hr is no longer in the site file: removed, 3 swipes not delivered"),
            std::string::npos)
      << dropped.err;
  EXPECT_EQ(Vanto({"push", "resend", "--site", site}).status, 2);
  receiver.stop();
  serving.join();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vanto::cli
