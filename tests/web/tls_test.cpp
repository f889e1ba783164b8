// The console over HTTPS with a certificate of its own: sessions marked Secure, HSTS, no plain
// HTTP on the port; and certificates that cannot work refused before anything listens.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/web/console_fixture.h"

namespace vanto::web::testing {
namespace {

// A self-signed certificate for 127.0.0.1 and its key, made by the openssl tool.
class Certificates {
 public:
  Certificates() {
    char pattern[] = "/tmp/vanto-tls-XXXXXX";
    folder_ = mkdtemp(pattern);
    for (const char* name : {"a", "b"}) {
      std::string base = (folder_ / name).string();
      std::string command = "timeout 60 openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                            "-addext subjectAltName=IP:127.0.0.1 -keyout " + base + ".key -out " + base +
                            ".pem >/dev/null 2>&1";
      made_ = made_ && std::system(command.c_str()) == 0;
    }
  }
  ~Certificates() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  bool made() const { return made_; }
  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

 private:
  std::filesystem::path folder_;
  bool made_ = true;
};

TEST(ConsoleTls, SessionsOverHttpsAreSecureCookiesAndPlainHttpGetsNoPage) {
  Certificates certs;
  ASSERT_TRUE(certs.made()) << "openssl could not make a test certificate";
  ServerOptions options;
  options.tls_cert = certs.Path("a.pem");
  options.tls_key = certs.Path("a.key");
  Console console(options);
  httplib::Result r = console.LoginAttempt(console.users.admin, kPassword);
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  ASSERT_EQ(r->status, 303);
  std::string cookie;
  Console::SetCookieOf(r, "vanto_session", &cookie);
  EXPECT_NE(cookie.find("; Secure"), std::string::npos);
  EXPECT_NE(r->get_header_value("Strict-Transport-Security").find("max-age="), std::string::npos);
  httplib::Client plain("http://127.0.0.1:" + std::to_string(console.port()));
  plain.set_read_timeout(std::chrono::seconds(10));
  httplib::Result answer = plain.Get("/login");
  EXPECT_TRUE(!answer || answer->status != 200);
}

TEST(ConsoleTls, CertificatesThatCannotWorkAreRefusedWithTheirNames) {
  Certificates certs;
  ASSERT_TRUE(certs.made()) << "openssl could not make a test certificate";
  struct Case {
    const char* what;
    std::string cert, key;
    std::string named;  // the message names it
  };
  const std::vector<Case> cases = {
      {"missing certificate", certs.Path("none.pem"), certs.Path("a.key"), "none.pem"},
      {"missing key", certs.Path("a.pem"), certs.Path("none.key"), "none.key"},
      {"key of another certificate", certs.Path("a.pem"), certs.Path("b.key"), "b.key"},
      {"key where the certificate goes", certs.Path("a.key"), certs.Path("a.key"), "a.key"},
      {"certificate without key", certs.Path("a.pem"), "", "--tls-key"},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.tls_cert = c.cert;
    options.tls_key = c.key;
    try {
      Console console(options);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const WebError& e) {
      EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << c.what << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace vanto::web::testing
