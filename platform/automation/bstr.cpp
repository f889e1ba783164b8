// BSTR allocation: a 32-bit byte length, the UTF-16 text, and a terminating NUL.
#include "platform/automation/abi.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

BSTR AllocateBytes(const void* source, std::size_t byteLength) {
  if (byteLength > 0x7FFFFFF0u) return nullptr;
  // Room for the prefix, the text, and a two-byte NUL (plus one more for an odd byte length).
  auto* block = static_cast<char*>(std::malloc(kPrefix + byteLength + 3));
  if (!block) return nullptr;
  auto length = static_cast<std::uint32_t>(byteLength);
  std::memcpy(block, &length, kPrefix);
  char* text = block + kPrefix;
  if (source)
    std::memcpy(text, source, byteLength);
  else
    std::memset(text, 0, byteLength);
  std::memset(text + byteLength, 0, 3);
  return reinterpret_cast<BSTR>(text);
}
}  // namespace

extern "C" {
BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  std::size_t length = 0;
  while (text[length]) ++length;
  return AllocateBytes(text, length * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return AllocateBytes(text, static_cast<std::size_t>(length) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) { return AllocateBytes(bytes, length); }

void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<char*>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  std::uint32_t length;
  std::memcpy(&length, reinterpret_cast<char*>(text) - kPrefix, kPrefix);
  return length;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }
}
