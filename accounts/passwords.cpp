#include "accounts/passwords.h"

#include <sodium.h>

#include <mutex>
#include <semaphore>
#include <stdexcept>

namespace vanto::accounts {
namespace {

void InitSodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw HashError("the cryptography library (libsodium) could not start");
  });
}

// Two hashes at 19 MiB each at most: a burst of logins waits instead of exhausting memory.
std::counting_semaphore<2> hash_slots(2);
constexpr std::chrono::seconds kSlotWait{30};

class HashSlot {
 public:
  HashSlot() {
    if (!hash_slots.try_acquire_for(kSlotWait))
      throw HashError("no password hashing slot became free within 30 s (too many logins at once)");
  }
  ~HashSlot() { hash_slots.release(); }
  HashSlot(const HashSlot&) = delete;
  HashSlot& operator=(const HashSlot&) = delete;
};

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

}  // namespace

std::string HashPassword(const std::string& password) {
  InitSodium();
  char encoded[crypto_pwhash_STRBYTES];
  HashSlot slot;
  if (crypto_pwhash_str_alg(encoded, password.data(), password.size(), kHashOpsLimit, kHashMemLimit,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw HashError("hashing a password failed (out of memory for its 19 MiB)");
  return encoded;
}

bool VerifyPassword(const std::string& password, const std::string& encoded) {
  InitSodium();
  if (encoded.size() >= crypto_pwhash_STRBYTES || encoded.rfind("$argon2id$", 0) != 0) return false;
  HashSlot slot;
  return crypto_pwhash_str_verify(encoded.c_str(), password.data(), password.size()) == 0;
}

std::string NewToken() {
  InitSodium();
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  return Hex(bytes, sizeof bytes);
}

std::string TokenHash(const std::string& token) {
  InitSodium();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(token.data()), token.size());
  return Hex(digest, sizeof digest);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  return a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vanto::accounts
