// The fingerprint template codec: five bytes per element (sign flag, then the magnitude
// big-endian), elements 0..458; element 459 is not carried and the last byte stays 0.
#include "codec/template_codec.h"

#include <limits>

#include "platform/automation/errorinfo.h"

namespace {
constexpr std::size_t kCarriedValues = kTemplateValues - 1;  // element 459 is not stored
constexpr std::size_t kGroupBytes = 5;
// The bytes a decode reads: the 459 groups; the final byte of the stored form is never read.
constexpr std::size_t kDecodedBytes = kCarriedValues * kGroupBytes;
static_assert(kDecodedBytes + 1 == kTemplateBlobBytes);

HRESULT Overflow() { return RaiseError(DISP_E_OVERFLOW, kTextOverflow); }
HRESULT OutOfRange() { return RaiseError(DISP_E_BADINDEX, kTextSubscriptOutOfRange); }

// Decodes the groups of a sequence that may be too short, step by step as the stored form is
// read: bytes 5i+1..5i+4 (each step v = v * 256 + byte, overflowing past 2^31 - 1), then the
// sign flag 5i. Returns the first failure met in that order; the caller keeps no result.
HRESULT FirstFailureOfShortSequence(const BYTE* data, std::size_t size) {
  for (std::size_t i = 0; i < kCarriedValues; ++i) {
    const std::size_t base = i * kGroupBytes;
    if (base + 1 >= size) return OutOfRange();
    std::int64_t v = data[base + 1];
    for (std::size_t k = 2; k <= 4; ++k) {
      v *= 256;
      if (v > std::numeric_limits<LONG>::max()) return Overflow();
      if (base + k >= size) return OutOfRange();
      v += data[base + k];
    }
  }
  // Not reached: a sequence shorter than the groups always runs out inside them.
  return OutOfRange();
}
}  // namespace

HRESULT EncodeTemplate(const FingerTemplate& source, TemplateBlob* out) {
  if (!out) return E_POINTER;
  TemplateBlob blob{};
  for (std::size_t i = 0; i < kCarriedValues; ++i) {
    const LONG value = source.values[i];
    if (value == std::numeric_limits<LONG>::min()) return Overflow();
    // The caller's template is left as it is: the magnitude is taken on a copy.
    const std::uint32_t magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
    BYTE* group = &blob[i * kGroupBytes];
    group[0] = value < 0 ? 0 : 1;
    group[1] = static_cast<BYTE>(magnitude >> 24);
    group[2] = static_cast<BYTE>(magnitude >> 16);
    group[3] = static_cast<BYTE>(magnitude >> 8);
    group[4] = static_cast<BYTE>(magnitude);
  }
  *out = blob;
  return S_OK;
}

HRESULT DecodeTemplate(const BYTE* data, std::size_t size, FingerTemplate* out) {
  if (!out) return E_POINTER;
  if (!data && size != 0) return E_POINTER;
  if (size < kDecodedBytes) return FirstFailureOfShortSequence(data, size);
  FingerTemplate decoded;
  for (std::size_t i = 0; i < kCarriedValues; ++i) {
    const BYTE* group = data + i * kGroupBytes;
    // A first magnitude byte of 0x80 or more does not fit in 31 bits.
    if (group[1] >= 0x80) return Overflow();
    LONG v = static_cast<LONG>((std::uint32_t{group[1]} << 24) | (std::uint32_t{group[2]} << 16) |
                               (std::uint32_t{group[3]} << 8) | std::uint32_t{group[4]});
    decoded.values[i] = group[0] == 0 ? -v : v;
  }
  *out = decoded;
  return S_OK;
}
