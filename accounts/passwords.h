// Password hashing (Argon2id at 19 MiB and 2 passes, at most two hashes computed at once) and
// the random tokens of sessions and forms.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace vanto::accounts {

// The cost every stored hash is made with: the widely recommended minimum for Argon2id.
inline constexpr unsigned long long kHashOpsLimit = 2;
inline constexpr std::size_t kHashMemLimit = 19u * 1024u * 1024u;

// Thrown when hashing cannot run (out of memory, or no hashing slot within the wait).
class HashError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The encoded Argon2id hash of `password` ("$argon2id$v=19$m=19456,t=2,p=1$...").
std::string HashPassword(const std::string& password);
// Whether `password` matches `encoded` (false for anything that is no such hash).
bool VerifyPassword(const std::string& password, const std::string& encoded);

// 256 random bits as 64 lower-case hex digits.
std::string NewToken();
// SHA-256 of `token`, as 64 lower-case hex digits: how a session token is stored.
std::string TokenHash(const std::string& token);
// Compares two texts in time that does not depend on where they differ.
bool SameText(const std::string& a, const std::string& b);

}  // namespace vanto::accounts
