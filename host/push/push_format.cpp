// What a push request carries: the swipes in our JSON format or the HR check-in mapping, each
// with its idempotency key, and the signature over the body.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "host/push/push.h"

namespace vanto::push {
namespace {

// "YYYY-MM-DD HH:MM:SS" -> "YYYY-MM-DDTHH:MM:SS" (the terminal's time, which is the site's).
std::string IsoLocal(std::string time) {
  if (time.size() > 10 && time[10] == ' ') time[10] = 'T';
  return time;
}

}  // namespace

std::string SwipeKey(const store::StoredSwipe& s, bool sited, const std::string& key_name) {
  if (s.identity && s.generation && s.index)
    return "v2:" + std::to_string(*s.identity) + ":" + std::to_string(*s.generation) + ":" + std::to_string(s.epoch) +
           ":" + std::to_string(*s.index);
  return "v1:" + (sited ? (key_name.empty() ? s.site : key_name) + ":" : std::string()) + std::to_string(s.port) + ":" + std::to_string(s.terminal) + ":" + std::to_string(s.person) + ":" +
         IsoLocal(s.minute) + ":" + std::to_string(s.occurrence);
}

bool Sited(const store::StoredSwipe& s, const store::FeedCursor& position, const std::optional<store::FeedCursor>& from) {
  if (!from || s.site.empty() || (s.identity && s.generation && s.index)) return false;
  return position.xid > from->xid || (position.xid == from->xid && position.seq > from->seq);
}

namespace {

bool SitedAt(const std::vector<bool>& sited, std::size_t i) { return i < sited.size() && sited[i]; }

const std::string& KeyNameOf(const KeyNames& key_names, const store::StoredSwipe& s) {
  auto found = key_names.find(s.site);
  return found == key_names.end() ? s.site : found->second;
}

// A withdrawn swipe (a folded double) is sent once more under a key of its own, naming the key
// of the swipe it withdraws, so a receiver that keeps each key once still takes it.
void MarkWithdrawn(const store::StoredSwipe& s, nlohmann::json& j) {
  if (!s.withdrawn) return;
  const std::string key = j["key"];
  j["key"] = "withdrawn:" + key;
  j["withdrawn"] = true;
  j["withdraws"] = key;
}

}  // namespace

std::string JsonBody(const std::string& endpoint, const std::vector<store::StoredSwipe>& swipes,
                     const std::vector<bool>& sited, const KeyNames& key_names) {
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t i = 0; i < swipes.size(); ++i) {
    const store::StoredSwipe& s = swipes[i];
    nlohmann::json j = {{"key", SwipeKey(s, SitedAt(sited, i), KeyNameOf(key_names, s))},          {"port", s.port},
                        {"terminal", s.terminal},      {"person", s.person},
                        {"time", IsoLocal(s.time)},    {"downloaded_at", s.downloaded_at},
                        {"site", s.site}};
    if (s.identity) {
      j["identity"] = *s.identity;
      j["generation"] = s.generation.value_or(0);
      j["epoch"] = s.epoch;
      j["index"] = s.index.value_or(0);
    }
    MarkWithdrawn(s, j);
    list.push_back(std::move(j));
  }
  return nlohmann::json{{"endpoint", endpoint}, {"swipes", std::move(list)}}.dump();
}

std::string HrCheckinBody(const site::SitePush& endpoint, const std::vector<store::StoredSwipe>& swipes,
                          const std::vector<bool>& sited, const KeyNames& key_names) {
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t i = 0; i < swipes.size(); ++i) {
    const store::StoredSwipe& s = swipes[i];
    const bool with_site = SitedAt(sited, i);
    const std::string where = std::to_string(s.port) + ":" + std::to_string(s.terminal);
    nlohmann::json j = {{"employee", std::to_string(s.person)},
                        {"time", IsoLocal(s.time)},
                        {"device", s.identity ? std::to_string(*s.identity)
                                   : with_site ? KeyNameOf(key_names, s) + ":" + where
                                               : where},
                        {"key", SwipeKey(s, with_site, KeyNameOf(key_names, s))}};
    if (auto type = endpoint.log_types.find(where); type != endpoint.log_types.end()) j["log_type"] = type->second;
    MarkWithdrawn(s, j);
    list.push_back(std::move(j));
  }
  return nlohmann::json{{"checkins", std::move(list)}}.dump();
}

std::string Signature(const std::string& secret, std::int64_t unix_time, const std::string& body) {
  const std::string signed_text = std::to_string(unix_time) + "." + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(signed_text.data()), signed_text.size(), mac, &length))
    throw std::runtime_error("signing a push request failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += kHex[mac[i] >> 4], hex += kHex[mac[i] & 15];
  return "t=" + std::to_string(unix_time) + ",v1=" + hex;
}

std::string ReadSecret(const std::string& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) throw std::runtime_error("cannot read the secret file " + file + ": " + std::strerror(errno));
  if (info.st_mode & (S_IRWXG | S_IRWXO))
    throw std::runtime_error("the secret file " + file + " may be read by other users: make it private (chmod 600)");
  std::ifstream in(file, std::ios::binary);
  std::string secret;
  if (!in || !std::getline(in, secret)) throw std::runtime_error("cannot read the secret file " + file);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) throw std::runtime_error("the secret file " + file + " is empty");
  return secret;
}

std::string ShownUrl(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t host = scheme + 3;
  const std::size_t authority_end = std::min(url.find_first_of("/?#", host), url.size());
  const std::size_t at = url.rfind('@', authority_end);
  std::string shown = url.substr(0, host) +
                      (at != std::string::npos && at >= host ? url.substr(at + 1, authority_end - at - 1)
                                                             : url.substr(host, authority_end - host));
  const std::size_t query = url.find('?', authority_end), fragment = url.find('#', authority_end);
  shown += url.substr(authority_end, std::min(query, fragment) - authority_end);
  if (query != std::string::npos && query < fragment) {
    // A query may carry a key ("?api_key=..."): its names are shown, never its values.
    std::string text = url.substr(query + 1, fragment == std::string::npos ? std::string::npos : fragment - query - 1);
    shown += '?';
    std::size_t start = 0;
    for (;;) {
      const std::size_t amp = text.find('&', start);
      const std::string part = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
      const std::size_t eq = part.find('=');
      shown += eq == std::string::npos ? part : part.substr(0, eq + 1) + "***";
      if (amp == std::string::npos) break;
      shown += '&';
      start = amp + 1;
    }
  }
  if (fragment != std::string::npos) shown += "#***";
  return shown;
}

}  // namespace vanto::push
