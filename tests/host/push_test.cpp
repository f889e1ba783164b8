// Pushing swipes to a local receiver (a cpp-httplib server in the test) that fails in each way a
// real one does, on both engines, with the clock driven by the test: every swipe arrives, in
// order per terminal, and a swipe arrives twice only as a retry under the same key.
#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <thread>

#include "host/db_copy.h"
#include "host/push/push.h"
#include "present/recorded_words.h"
#include "host/db/push_store.h"
#include "host/db/sites.h"
#include "host/db/store_failure.h"
#include "host/db/swipe_store.h"
#include "tests/host/store_engines.h"
#include "host/db/openers.h"

namespace vanto::push {
namespace {

// A local port that refuses every connection for as long as this lives: bound, never listening
// (a port merely closed may be taken by another process meanwhile, and then a connection hangs).
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("cannot bind a local port to refuse connections");
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

using store::StoredSwipe;

constexpr char kSecret[] = "s3cret-for-tests";

enum class Answer { kOk, k500, kGarbage200, kShortAck200, kRedirect, kDelay, k400 };

// The receiver: answers as scripted (then 200), checks each signature, and keeps every key it
// was sent in arrival order (also those of requests it then failed).
class Receiver {
 public:
  explicit Receiver(httplib::Server* server = nullptr) : server_(server ? server : &plain_) {
    server_->Post("/hook", [this](const httplib::Request& request, httplib::Response& response) {
      Answer answer = Answer::kOk;
      {
        std::lock_guard lock(mutex_);
        ++requests_;
        if (!script_.empty()) answer = script_.front(), script_.pop_front();
        const std::string header = request.get_header_value(kSignatureHeader);
        const std::size_t comma = header.find(',');
        const std::int64_t t = std::stoll(header.substr(2, comma - 2));
        if (header != Signature(kSecret, t, request.body)) ++bad_signatures_;
        const nlohmann::json body = nlohmann::json::parse(request.body);
        for (const auto& s : body.value("swipes", nlohmann::json::array())) {
          keys_.push_back(s["key"].get<std::string>());
          if (s.value("withdrawn", false)) withdrawn_.push_back(s["withdraws"].get<std::string>());
        }
        // The HR check-in format: its key and device.
        for (const auto& c : body.value("checkins", nlohmann::json::array()))
          keys_.push_back(c["key"].get<std::string>() + " " + c["device"].get<std::string>());
      }
      const std::size_t sent = nlohmann::json::parse(request.body)["swipes"].size();
      switch (answer) {
        case Answer::kOk: response.set_content("{\"received\":" + std::to_string(sent) + "}", "application/json"); break;
        case Answer::kShortAck200:
          response.set_content("{\"received\":" + std::to_string(sent - 1) + "}", "application/json");
          break;
        case Answer::k500: response.status = 500; break;
        case Answer::k400: response.status = 400; break;
        case Answer::kGarbage200: response.set_content("<html>\x01\x02 not json", "text/html"); break;
        case Answer::kRedirect:
          response.status = 302;
          response.set_header("Location", "http://127.0.0.1:1/elsewhere");
          break;
        case Answer::kDelay: {
          // Held until the test releases it (bounded), long after the client gave up.
          std::unique_lock lock(mutex_);
          release_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
          break;
        }
      }
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the test's receiver cannot bind a local port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Until its thread runs the accept loop, stop() does nothing and the join in Stop() would
    // wait for ever: a receiver destroyed at once (the drain sent it nothing) hung the test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server_->is_running()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the test's receiver did not start");
      std::this_thread::yield();
    }
  }
  ~Receiver() { Stop(); }
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
      release_.notify_all();
    }
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }
  void Script(std::initializer_list<Answer> answers) {
    std::lock_guard lock(mutex_);
    script_.insert(script_.end(), answers);
  }
  int port() const { return port_; }
  std::vector<std::string> keys() {
    std::lock_guard lock(mutex_);
    return keys_;
  }
  int requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The keys of the swipes withdrawn entries named.
  std::vector<std::string> withdrawn() {
    std::lock_guard lock(mutex_);
    return withdrawn_;
  }
  int bad_signatures() {
    std::lock_guard lock(mutex_);
    return bad_signatures_;
  }

 private:
  httplib::Server plain_;
  httplib::Server* server_;
  std::mutex mutex_;
  std::condition_variable release_;
  bool released_ = false;
  std::deque<Answer> script_;
  std::vector<std::string> keys_, withdrawn_;
  int requests_ = 0, bad_signatures_ = 0;
  int port_ = 0;
  std::thread thread_;
};

StoredSwipe Swipe(int terminal, std::uint32_t index, bool v1 = false) {
  StoredSwipe s;
  s.port = 1;
  s.terminal = terminal;
  s.person = static_cast<std::int32_t>(index % 50);
  const std::string mm = (index % 60 < 10 ? "0" : "") + std::to_string(index % 60);
  const std::string hh = std::to_string(10 + index / 60 % 10);
  s.minute = "2026-12-08 " + hh + ":" + mm;
  s.occurrence = 1;
  s.time = s.minute + ":00";
  s.downloaded_at = "2026-12-08T12:00:00Z";
  if (!v1) s.identity = 5000u + static_cast<std::uint32_t>(terminal), s.generation = 1, s.index = index;
  return s;
}

class PushTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    VANTO_STORE_ENGINE(GetParam(), engine_);
    location_ = engine_->FreshLocation();
    swipes_ = store::OpenSwipeStore(location_);
    char pattern[] = "/tmp/vanto-push-XXXXXX";
    folder_ = mkdtemp(pattern);
    secret_ = (folder_ / "secret").string();
    std::ofstream(secret_) << kSecret << "\n";
    ::chmod(secret_.c_str(), 0600);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  site::SitePush Endpoint(const std::string& name, int port, const std::string& scheme = "http",
                          const std::string& host = "127.0.0.1") {
    site::SitePush e;
    e.name = name;
    e.url = scheme + "://" + host + ":" + std::to_string(port) + "/hook";
    e.secret_file = secret_;
    return e;
  }
  PushOptions Options(std::vector<site::SitePush> endpoints) {
    PushOptions o;
    o.database = vanto::db::Database::Open(location_, {.lock_timeout = std::chrono::milliseconds(30000)});
    o.endpoints = std::move(endpoints);
    o.clock = [this] { return std::chrono::system_clock::time_point(std::chrono::seconds(now_.load())); };
    // Bounds no answer of a receiver that answers comes near, however loaded the machine: only
    // a receiver that holds its answer (Answer::kDelay) is given a short one, by its case.
    o.connect_timeout = std::chrono::milliseconds(30000);
    o.io_timeout = std::chrono::milliseconds(30000);
    o.batch = 7;  // several requests for a few swipes
    o.backoff_first = std::chrono::seconds(30);
    o.backoff_cap = std::chrono::seconds(600);
    return o;
  }
  void Store(int terminals, std::uint32_t first, std::uint32_t count) {
    std::vector<StoredSwipe> rows;
    for (std::uint32_t i = first; i < first + count; ++i)
      for (int t = 1; t <= terminals; ++t) rows.push_back(Swipe(t, i, t == terminals && terminals > 1));
    swipes_->Insert(rows);
  }
  // Every swipe stored arrived, each key's first arrival in order per terminal, and any key
  // arriving more than once did so only after a failed request carrying it.
  void ExpectAllDelivered(const std::vector<std::string>& keys, std::size_t expected) {
    std::set<std::string> distinct(keys.begin(), keys.end());
    EXPECT_EQ(distinct.size(), expected);
    std::vector<std::string> stored;
    auto feed = store::OpenSwipeFeed(location_);
    for (const StoredSwipe& s : feed->Read({}, 100000).swipes) stored.push_back(SwipeKey(s));
    EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()), distinct);
    // First arrivals follow the feed's order, which is each terminal's order.
    std::vector<std::string> first;
    std::set<std::string> seen;
    for (const std::string& k : keys)
      if (seen.insert(k).second) first.push_back(k);
    EXPECT_EQ(first, stored);
  }

  std::unique_ptr<store::testing::StoreEngine> engine_;
  std::string location_;
  std::unique_ptr<store::SwipeStore> swipes_;
  std::filesystem::path folder_;
  std::string secret_;
  std::atomic<std::int64_t> now_{1'800'000'000};
};

TEST_P(PushTest, EachFailureIsNamedRetriedAfterItsBackoffAndNothingIsLost) {
  struct Case {
    Answer answer;
    const char* error;    // part of the error the outcome names
    const char* chinese;  // the start of the same for a Chinese reader
  } cases[] = {
      {Answer::k500, "HTTP 500", "HTTP 500：服务器出错"},
      {Answer::k400, "HTTP 400", "HTTP 400：被拒绝"},
      {Answer::kRedirect, "redirect", "HTTP 302：重定向（到 http://127.0.0.1:1/elsewhere），未跟随："},
      {Answer::kDelay, "time-out", "超时或连接已关闭："},
      // A 2xx that does not acknowledge what was sent (a web page at a wrong address, a receiver
      // that took part of it) delivers nothing.
      {Answer::kGarbage200, "HTTP 200 without an acknowledgement ({\"received\": 7} expected; the answer began \"<html>?? not json\")",
       "HTTP 200，但没有确认（应为 {\"received\": 7}；应答开头为“<html>?? not json”）：不计为已推送"},
      {Answer::kShortAck200, "HTTP 200 without an acknowledgement", "HTTP 200，但没有确认（应为 {\"received\": "},
  };
  Receiver receiver;
  const PushOptions options = Options({Endpoint("hr", receiver.port())});
  // For the held answer: the time-out is certain (nothing is answered until the test ends), so
  // it may be short; no answer that must arrive is sent under it (one request: the held one).
  PushOptions impatient = options;
  impatient.io_timeout = std::chrono::milliseconds(200);
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);  // added at the head: nothing to send
  std::size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    Store(3, static_cast<std::uint32_t>(stored), 5);
    stored += 15;
    const bool held = c.answer == Answer::kDelay;
    if (held) receiver.Script({c.answer});  // the first batch is held
    else receiver.Script({Answer::kOk, c.answer});  // the first batch goes, the second fails
    DrainResult failed = Drain(held ? impatient : options);
    const EndpointOutcome& out = failed.endpoints.at(0);
    EXPECT_EQ(out.state, EndpointState::kFailed);
    EXPECT_NE(out.error.find(c.error), std::string::npos) << out.error;
    // Recorded in English; worded for each reader, its values in place.
    const std::string chinese = host::PushErrorText(host::Language::kChinese, out.error);
    EXPECT_EQ(chinese.rfind(c.chinese, 0), 0u) << chinese;
    EXPECT_EQ(host::PushErrorText(host::Language::kEnglish, out.error), out.error);
    EXPECT_EQ(out.sent, held ? 0 : 7);
    EXPECT_EQ(out.next_attempt, now_ + 30);
    std::vector<EndpointStatus> status = Status(options);
    EXPECT_EQ(status.at(0).backlog, held ? 15 : 8);
    EXPECT_EQ(status.at(0).last_error, out.error);
    // Not due yet: nothing is sent.
    const int requests = receiver.requests();
    EXPECT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kWaiting);
    EXPECT_EQ(receiver.requests(), requests);
    now_ += 30;
    EXPECT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);
    EXPECT_EQ(Status(options).at(0).backlog, 0);
  }
  ExpectAllDelivered(receiver.keys(), stored);
  EXPECT_EQ(receiver.bad_signatures(), 0);
}

TEST_P(PushTest, DownForAnHourOfTheDrivenClockThenBackEverySwipeDelivered) {
  {
    Receiver first;
    Drain(Options({Endpoint("hr", first.port())}));
  }
  RefusingPort down;  // the receiver is gone: connections are refused
  const PushOptions options = Options({Endpoint("hr", down.port())});
  std::int64_t previous_wait = 0, attempts = 0;
  const std::int64_t start = now_;
  while (now_ < start + 3600) {
    Store(2, static_cast<std::uint32_t>(attempts * 3), 3);
    const EndpointOutcome out = Drain(options).endpoints.at(0);
    if (out.state == EndpointState::kFailed) {
      ++attempts;
      const std::int64_t wait = out.next_attempt - now_;
      EXPECT_EQ(wait, std::min<std::int64_t>(previous_wait ? previous_wait * 2 : 30, 600));
      previous_wait = wait;
      EXPECT_NE(out.error.find("cannot connect"), std::string::npos) << out.error;
      EXPECT_EQ(host::PushErrorText(host::Language::kChinese, out.error), "无法连接");
    } else {
      EXPECT_EQ(out.state, EndpointState::kWaiting);
    }
    now_ += 60;
  }
  EXPECT_GE(attempts, 6);
  EXPECT_EQ(previous_wait, 600);  // capped
  // Back (on the same port, or the test's new server takes a new one: the endpoint follows).
  Receiver back;
  now_ += 600;
  const EndpointOutcome out = Drain(Options({Endpoint("hr", back.port())})).endpoints.at(0);
  EXPECT_EQ(out.state, EndpointState::kDelivered);
  ExpectAllDelivered(back.keys(), static_cast<std::size_t>(out.sent));
  EXPECT_EQ(static_cast<std::size_t>(out.sent), store::OpenSwipeFeed(location_)->Read({}, 100000).swipes.size());
}

TEST_P(PushTest, NewEndpointsStartAtTheHeadOrTheirDateAndRemovedOnesAreDroppedWithTheirBacklog) {
  Receiver receiver;
  Store(1, 0, 4);  // before any endpoint
  site::SitePush later = Endpoint("later", receiver.port());
  site::SitePush dated = Endpoint("dated", receiver.port());
  dated.from = "2026-12-08";
  site::SitePush filtered = Endpoint("filtered", receiver.port());
  filtered.people = {1, 2};
  DrainResult first = Drain(Options({later, dated, filtered}));
  ASSERT_EQ(first.endpoints.size(), 3u);
  EXPECT_EQ(first.endpoints[0].sent, 0);  // later: from the head on (the server's other sessions closed)
  EXPECT_EQ(first.endpoints[1].sent, 4);  // dated: everything stored from its date
  EXPECT_EQ(first.endpoints[2].sent, 0);
  Store(1, 4, 4);  // persons 4..7
  Store(1, 51, 1);  // person 1
  DrainResult second = Drain(Options({later, filtered}));
  ASSERT_EQ(second.dropped.size(), 1u);
  EXPECT_EQ(second.dropped[0], std::make_pair(std::string("dated"), std::int64_t{5}));
  EXPECT_EQ(second.endpoints[0].sent, 5);
  EXPECT_EQ(second.endpoints[1].sent, 1);
  EXPECT_EQ(Status(Options({later, filtered})).at(1).backlog, 0);
}

// An endpoint whose [[push]] table is wrong keeps its row and backlog and is sent nothing; once
// mended it gets every swipe it missed. While a table names no endpoint, none is dropped.
TEST_P(PushTest, AMisconfiguredEndpointIsSentNothingAndLosesNothing) {
  Receiver receiver;
  site::SitePush hr = Endpoint("hr", receiver.port()), other = Endpoint("other", receiver.port());
  ASSERT_EQ(Drain(Options({hr, other})).endpoints.size(), 2u);  // both added at the head
  Store(1, 0, 5);
  site::SitePush broken = hr;
  broken.problem = "s.toml:9: key 'push.secret_file': may be read by other users";
  site::SitePush fresh = Endpoint("fresh", receiver.port());
  fresh.problem = "s.toml:14: key 'push.url': no address";
  site::SitePush undated = Endpoint("undated", receiver.port());
  undated.problem = "s.toml:20: key 'push.from': '2026-13-01' is no date YYYY-MM-DD";
  undated.start_known = false;
  DrainResult result = Drain(Options({broken, other, fresh, undated}));
  ASSERT_EQ(result.endpoints.size(), 4u);
  EXPECT_EQ(result.endpoints[0].state, EndpointState::kMisconfigured);
  EXPECT_EQ(result.endpoints[0].error, broken.problem);
  EXPECT_EQ(result.endpoints[0].sent, 0);
  EXPECT_EQ(result.endpoints[1].sent, 5);
  EXPECT_EQ(result.endpoints[2].state, EndpointState::kMisconfigured);
  EXPECT_TRUE(result.dropped.empty());
  const std::vector<EndpointStatus> status = Status(Options({broken, other, fresh, undated}));
  EXPECT_EQ(status[0].problem, broken.problem);
  EXPECT_EQ(status[0].backlog, 5);
  EXPECT_TRUE(status[2].in_store);   // recorded at once: what is stored while it is mended waits
  EXPECT_FALSE(status[3].in_store);  // where it starts is not known until its date can be read
  // A [[push]] table without a usable name: "hr" (maybe the one meant) is kept, not dropped.
  PushOptions unnamed = Options({other});
  unnamed.keep_unlisted = true;
  EXPECT_TRUE(Drain(unnamed).dropped.empty());
  // Mended: every swipe it missed; the new one gets what was stored since it was first named.
  Store(1, 10, 2);
  result = Drain(Options({hr, other, Endpoint("fresh", receiver.port())}));
  EXPECT_EQ(result.endpoints[0].sent, 7);
  EXPECT_EQ(result.endpoints[2].sent, 2);
  EXPECT_TRUE(result.dropped.empty());
}

TEST_P(PushTest, OneDrainerAtATimePerEndpoint) {
  Receiver receiver;
  const PushOptions options = Options({Endpoint("hr", receiver.port())});
  Drain(options);
  Store(1, 0, 3);
  auto push = store::OpenPushStore(location_, std::chrono::milliseconds(30000));
  auto held = push->TryLock("hr", "someone-else", now_, 3600);
  ASSERT_TRUE(held);
  EXPECT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kBusy);
  EXPECT_EQ(receiver.requests(), 0);
  held.reset();
  EXPECT_EQ(Drain(options).endpoints.at(0).sent, 3);
}

TEST_P(PushTest, ASelfSignedServerIsRefusedUnlessItsCertificateIsTheCaFile) {
  const std::string cert = (folder_ / "c.pem").string(), key = (folder_ / "c.key").string();
  const std::string command = "timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                              "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << "openssl could not make a test certificate";
  httplib::SSLServer tls(cert.c_str(), key.c_str());
  ASSERT_TRUE(tls.is_valid());
  Receiver receiver(&tls);
  site::SitePush e = Endpoint("hr", receiver.port(), "https");
  Drain(Options({e}));
  Store(1, 0, 3);
  const EndpointOutcome refused = Drain(Options({e})).endpoints.at(0);
  EXPECT_EQ(refused.state, EndpointState::kFailed);
  EXPECT_NE(refused.error.find("TLS"), std::string::npos) << refused.error;
  EXPECT_TRUE(receiver.keys().empty());
  e.ca_file = cert;
  now_ += 30;
  const EndpointOutcome delivered = Drain(Options({e})).endpoints.at(0);
  EXPECT_EQ(delivered.state, EndpointState::kDelivered) << delivered.error;
  ExpectAllDelivered(receiver.keys(), 3);
}

// A site moved to the other engine with `vanto db copy` while its endpoint had delivered part of
// the feed: after the move the endpoint is sent exactly the swipes it had not been, so the
// receiver counts each key once across the move, and later swipes follow.
TEST_P(PushTest, AnEndpointDeliversEachSwipeOnceAcrossACopyToTheOtherEngine) {
  Receiver receiver;
  PushOptions options = Options({Endpoint("hr", receiver.port())});
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);  // added at the empty head
  Store(2, 0, 7);  // 14 swipes, two batches of 7
  receiver.Script({Answer::kOk, Answer::k400});
  ASSERT_EQ(Drain(options).endpoints.at(0).sent, 7);
  const std::vector<std::string> before = receiver.keys();
  ASSERT_EQ(before.size(), 14u);  // the failed batch's keys reached it too, unacknowledged
  const std::vector<std::string> delivered(before.begin(), before.begin() + 7);
  std::unique_ptr<store::testing::StoreEngine> other;
  VANTO_STORE_ENGINE(std::string(GetParam()) == "sqlite" ? "postgresql" : "sqlite", other);
  const std::string moved = other->FreshLocation();
  ASSERT_TRUE(host::CopyDatabase({vanto::db::Database::Open(location_, {.create = false, .read_only = true}),
                                  vanto::db::Database::Open(moved, {.note_schema_found = true})})
                  .Complete());
  swipes_ = store::OpenSwipeStore(moved);
  location_ = moved;
  options.database = vanto::db::Database::Open(moved, {.lock_timeout = std::chrono::milliseconds(30000)});
  Store(2, 7, 3);  // stored after the move
  now_ += 3600;    // past the failure's back-off
  const DrainResult after = Drain(options);
  ASSERT_EQ(after.endpoints.at(0).state, EndpointState::kDelivered) << after.endpoints.at(0).error;
  EXPECT_EQ(after.endpoints.at(0).sent, 7 + 6);
  const std::vector<std::string> keys = receiver.keys();
  std::vector<std::string> acknowledged(delivered);
  acknowledged.insert(acknowledged.end(), keys.begin() + 14, keys.end());
  ExpectAllDelivered(acknowledged, 20);
  std::map<std::string, int> count;
  for (const std::string& k : acknowledged) ++count[k];
  for (const auto& [key, n] : count) EXPECT_EQ(n, 1) << key;
}

// A swipe stored twice (a log stored again in a second epoch, as versions that chose the epoch
// by port did) reaches the receiver twice; once folded, the double arrives once more as
// withdrawn, naming its key, under a key of its own; nothing arrives after that.
TEST_P(PushTest, AFoldedDoubleArrivesOnceMoreAsWithdrawn) {
  Receiver receiver;
  const PushOptions options = Options({Endpoint("hr", receiver.port())});
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);
  std::vector<StoredSwipe> log;
  for (std::uint32_t i = 0; i < 5; ++i) log.push_back(Swipe(1, i));
  swipes_->InsertChecked(log, store::OnConflict::Continue);
  const auto [epoch, stored] = swipes_->OpenEpoch({5001, 1, 0}, 0, std::nullopt, log);
  ASSERT_EQ(epoch.epoch, 1u);
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);
  ASSERT_EQ(receiver.keys().size(), 10u);
  const std::vector<store::StoredDouble> folded =
      swipes_->FoldDoubles({"2026-12-09T00:00:00Z", "test", "command line", "swipes.fold", ""});
  ASSERT_EQ(folded.size(), 5u);
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);
  std::vector<std::string> expected;
  for (const store::StoredDouble& d : folded) expected.push_back(SwipeKey(d.doubled));
  EXPECT_EQ(receiver.withdrawn(), expected);
  EXPECT_EQ(expected.front(), "v2:5001:1:1:0");
  const std::vector<std::string> keys = receiver.keys();
  ASSERT_EQ(keys.size(), 15u);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 15u) << "a withdrawal reused a swipe's key";
  ASSERT_EQ(Drain(options).endpoints.at(0).state, EndpointState::kDelivered);
  EXPECT_EQ(receiver.keys().size(), 15u);
}

// Two sites in one database, each with an endpoint "hook", and site A's "all" that takes every
// site's swipes: each site's drain manages its own endpoints only; a v1 swipe stored before the
// second site keeps the key it was delivered under, later ones carry their site, so the two
// sites' colliding swipes (port 1, terminal 1, person 17, one minute) get distinct keys.
TEST_P(PushTest, EachSiteManagesItsOwnEndpointsAndKeysCarryTheSiteFromTheSecondSiteOn) {
  Receiver at_a, at_b, at_all;
  auto add_site = [&](const std::string& name) {
    auto tables = vanto::db::Database::Open(location_)->Tables(false);
    ASSERT_TRUE(store::AddSite(*tables, name, "test"));
  };
  auto swipe = [](const std::string& site, int terminal, std::uint32_t index, bool v1) {
    StoredSwipe s = Swipe(terminal, index, v1);
    s.site = site;
    return s;
  };
  auto drain = [&](const std::string& site, std::vector<site::SitePush> endpoints) {
    PushOptions o = Options(std::move(endpoints));
    o.site = site;
    return Drain(o);
  };
  site::SitePush hook_a = Endpoint("hook", at_a.port()), hook_b = Endpoint("hook", at_b.port());
  site::SitePush all = Endpoint("all", at_all.port());
  hook_a.from = hook_b.from = all.from = "2026-12-08";
  all.all_sites = true;
  add_site("A");
  swipes_->Insert(std::vector<StoredSwipe>{swipe("A", 1, 17, true)});
  ASSERT_EQ(drain("A", {hook_a}).endpoints.at(0).sent, 1);
  const std::string before = "v1:1:1:17:2026-12-08T10:17:1";
  ASSERT_EQ(at_a.keys(), std::vector<std::string>{before});
  add_site("B");
  swipes_->Insert(std::vector<StoredSwipe>{swipe("A", 1, 18, true), swipe("B", 1, 17, true), swipe("B", 2, 19, false)});
  const DrainResult b = drain("B", {hook_b});
  EXPECT_TRUE(b.dropped.empty());  // A's endpoints are not B's to drop
  EXPECT_EQ(b.endpoints.at(0).sent, 2);
  const std::vector<std::string> of_b = at_b.keys();
  EXPECT_EQ(std::set<std::string>(of_b.begin(), of_b.end()),
            (std::set<std::string>{"v1:B:1:1:17:2026-12-08T10:17:1", "v2:5002:1:0:19"}));
  const DrainResult a = drain("A", {hook_a, all});
  EXPECT_TRUE(a.dropped.empty());
  EXPECT_EQ(at_a.keys(), (std::vector<std::string>{before, "v1:A:1:1:18:2026-12-08T10:18:1"}));
  const std::vector<std::string> every = at_all.keys();  // in feed order: one batch's in its engine's
  EXPECT_EQ(std::multiset<std::string>(every.begin(), every.end()),
            (std::multiset<std::string>{before, "v1:A:1:1:18:2026-12-08T10:18:1", "v1:B:1:1:17:2026-12-08T10:17:1",
                                        "v2:5002:1:0:19"}));
  // A's file without "hook" drops A's hook only: B's keeps its row and its position.
  const DrainResult without = drain("A", {all});
  ASSERT_EQ(without.dropped.size(), 1u);
  EXPECT_EQ(without.dropped[0].first, "hook");
  std::map<std::pair<std::string, std::string>, std::int64_t> delivered;
  for (const store::PushEndpointRow& r : vanto::db::Database::Open(location_)->Push()->Endpoints())
    delivered[{r.site, r.name}] = r.delivered;
  EXPECT_EQ(delivered, (std::map<std::pair<std::string, std::string>, std::int64_t>{{{"A", "all"}, 4}, {{"B", "hook"}, 2}}));
  swipes_->Insert(std::vector<StoredSwipe>{swipe("B", 1, 20, true)});
  EXPECT_EQ(drain("B", {hook_b}).endpoints.at(0).sent, 1);  // went on from where it was
  EXPECT_EQ(at_b.keys().size(), 3u);
}

// A site renamed keeps its push keys: a v1 swipe delivered before the rename is keyed and named
// (hr-checkin device) alike when delivered after it, in both formats, and so is one stored after
// it. No other site may take a name a site's keys carry; the site itself may take it back.
TEST_P(PushTest, ARenameChangesNoPushKeyAndNoSiteTakesANameKeysCarry) {
  Receiver receiver;
  auto tables = [&] { return vanto::db::Database::Open(location_)->Tables(false); };
  ASSERT_TRUE(store::AddSite(*tables(), "A", "test"));
  ASSERT_TRUE(store::AddSite(*tables(), "B", "test"));
  auto at_b = [](std::uint32_t index) {
    StoredSwipe s = Swipe(1, index, true);
    s.site = "B";
    return s;
  };
  swipes_->Insert(std::vector<StoredSwipe>{at_b(17)});
  auto endpoints = [&](const std::string& prefix) {
    site::SitePush json = Endpoint(prefix + "json", receiver.port()), hr = Endpoint(prefix + "hr", receiver.port());
    json.from = hr.from = "2026-12-08";
    hr.format = "hr-checkin";
    return std::vector<site::SitePush>{json, hr};
  };
  auto drain = [&](const std::string& site, std::vector<site::SitePush> list) {
    PushOptions o = Options(std::move(list));
    o.site = site;
    const DrainResult r = Drain(o);
    for (const EndpointOutcome& e : r.endpoints) EXPECT_EQ(e.error, "") << e.name;
  };
  const std::string key17 = "v1:B:1:1:17:2026-12-08T10:17:1", key18 = "v1:B:1:1:18:2026-12-08T10:18:1";
  drain("B", endpoints("early-"));
  ASSERT_EQ(receiver.keys(), (std::vector<std::string>{key17, key17 + " B:1:1"}));
  ASSERT_TRUE(store::RenameSite(*tables(), "B", "C"));
  StoredSwipe later = at_b(18);
  later.site = "C";
  swipes_->Insert(std::vector<StoredSwipe>{later});
  std::vector<site::SitePush> every = endpoints("early-");
  for (const site::SitePush& e : endpoints("late-")) every.push_back(e);
  drain("C", every);
  const std::vector<std::string> keys = receiver.keys();
  EXPECT_EQ(std::multiset<std::string>(keys.begin() + 2, keys.end()),
            (std::multiset<std::string>{key18, key18 + " B:1:1", key17, key18, key17 + " B:1:1", key18 + " B:1:1"}));
  // Names another site's keys carry are refused, naming it; taken back by that site, allowed.
  const struct {
    const char* what;
    std::function<void()> act;
    bool refused;
  } cases[] = {
      {"adding B", [&] { store::AddSite(*tables(), "B", "test"); }, true},
      {"renaming A to B", [&] { store::RenameSite(*tables(), "A", "B"); }, true},
      {"renaming C back to B", [&] { store::RenameSite(*tables(), "C", "B"); }, false},
      {"adding C (no site's key name now)", [&] { store::AddSite(*tables(), "C", "test"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.act();
      EXPECT_FALSE(c.refused);
    } catch (const store::StoreError& e) {
      EXPECT_TRUE(c.refused) << e.what();
      EXPECT_NE(std::string(e.what()).find("site C keys its push keys with the name B"), std::string::npos) << e.what();
    }
  }
  std::map<std::string, std::string> key_names;
  for (const store::SiteRow& r : store::ListSites(*tables())) key_names[r.name] = r.key_name;
  EXPECT_EQ(key_names, (std::map<std::string, std::string>{{"A", "A"}, {"B", "B"}, {"C", "C"}}));
}

INSTANTIATE_TEST_SUITE_P(Engines, PushTest, ::testing::Values("sqlite", "postgresql"));

// A secret file that cannot serve: the failure names the file and what to do, for each reader.
TEST(PushSecretTest, EachSecretFileFailureIsWordedForEachReader) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("vanto-secret-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::string open = (folder / "open").string(), empty = (folder / "empty").string();
  std::ofstream(open) << "s\n";
  ::chmod(open.c_str(), 0644);
  std::ofstream(empty) << "\n";  // an empty first line
  ::chmod(empty.c_str(), 0600);
  struct Case {
    std::string file, chinese;
  } cases[] = {
      {open, "密钥文件 " + open + " 可被其他用户读取：请设为私有（chmod 600）"},
      {empty, "密钥文件 " + empty + " 为空"},
      {(folder / "none").string(), "无法读取密钥文件 " + (folder / "none").string() + "："},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    try {
      ReadSecret(c.file);
      ADD_FAILURE() << "read";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(host::PushErrorText(host::Language::kChinese, e.what()).rfind(c.chinese, 0), 0u)
          << host::PushErrorText(host::Language::kChinese, e.what());
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(PushFormatTest, KeysSignaturesAndTheHrMapping) {
  StoredSwipe v2 = Swipe(3, 17);
  v2.epoch = 2;
  EXPECT_EQ(SwipeKey(v2), "v2:5003:1:2:17");
  StoredSwipe v1 = Swipe(4, 17, true);
  v1.occurrence = 2;
  EXPECT_EQ(SwipeKey(v1), "v1:1:4:17:2026-12-08T10:17:2");
  // HMAC-SHA256("key", "1.body"), as a receiver computes it.
  EXPECT_EQ(Signature("key", 1, "body"), "t=1,v1=91b5374b153842ad05b2c4eab9349b8321b14703165bd3fb8b034dfb8be98ae5");
  site::SitePush hr;
  hr.format = "hr-checkin";
  hr.log_types = {{"1:3", "IN"}};
  const auto body = nlohmann::json::parse(HrCheckinBody(hr, {v2, v1}));
  EXPECT_EQ(body["checkins"][0], nlohmann::json({{"employee", "17"}, {"time", "2026-12-08T10:17:00"}, {"device", "5003"},
                                                 {"key", "v2:5003:1:2:17"}, {"log_type", "IN"}}));
  EXPECT_FALSE(body["checkins"][1].contains("log_type"));
  EXPECT_EQ(body["checkins"][1]["device"], "1:4");
  // A v1 swipe keyed with its site names the site in its key and device; its log type stays.
  v1.site = "plant-2";
  hr.log_types = {{"1:4", "OUT"}};
  const auto sited = nlohmann::json::parse(HrCheckinBody(hr, {v2, v1}, {true, true}));
  EXPECT_EQ(sited["checkins"][0]["key"], "v2:5003:1:2:17");
  EXPECT_EQ(sited["checkins"][1]["key"], "v1:plant-2:1:4:17:2026-12-08T10:17:2");
  EXPECT_EQ(sited["checkins"][1]["device"], "plant-2:1:4");
  EXPECT_EQ(sited["checkins"][1]["log_type"], "OUT");
}

// Which swipes carry their site: those without identity of a site, after the position where the
// database came to hold a second site (on PostgreSQL a position orders by transaction, then number).
TEST(PushFormatTest, OnlySwipesWithoutIdentityAfterTheSecondSiteCarryTheSite) {
  StoredSwipe v1 = Swipe(4, 17, true), v2 = Swipe(3, 17);
  v1.site = v2.site = "A";
  StoredSwipe no_site = v1;
  no_site.site = "";
  const std::optional<store::FeedCursor> from = store::FeedCursor{7, 20};
  const struct {
    const char* what;
    const StoredSwipe& swipe;
    store::FeedCursor position;
    std::optional<store::FeedCursor> from;
    bool sited;
  } cases[] = {
      {"one site yet", v1, {9, 1}, std::nullopt, false},
      {"at the position", v1, {7, 20}, from, false},
      {"before it, same transaction", v1, {7, 19}, from, false},
      {"an earlier transaction, a later number", v1, {6, 99}, from, false},
      {"after it, same transaction", v1, {7, 21}, from, true},
      {"a later transaction, an earlier number", v1, {8, 1}, from, true},
      {"with identity", v2, {8, 1}, from, false},
      {"of no site", no_site, {8, 1}, from, false},
  };
  for (const auto& c : cases) EXPECT_EQ(Sited(c.swipe, c.position, c.from), c.sited) << c.what;
}

// What push status and the dashboard show of an endpoint's address: no credentials, no query
// values, no fragment.
TEST(PushFormatTest, ShownUrlHidesEverySecret) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://user:pw@hr.example/in", "https://hr.example/in"},
      {"https://hr.example/in", "https://hr.example/in"},
      {"https://hr.example/in?api_key=s3cret", "https://hr.example/in?api_key=***"},
      {"https://hr.example/in?site=1&token=abc&flag", "https://hr.example/in?site=***&token=***&flag"},
      {"https://hr.example?key=a@b", "https://hr.example?key=***"},
      {"http://u:p@hr.example:8443/a/b?k=v#frag", "http://hr.example:8443/a/b?k=***#***"},
      {"https://hr.example/in#token=x", "https://hr.example/in#***"},
  };
  for (const auto& [url, shown] : cases) EXPECT_EQ(ShownUrl(url), shown) << url;
}

}  // namespace
}  // namespace vanto::push
