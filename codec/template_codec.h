// The fingerprint template codec: the terminal's 460-value template and its 2296-byte stored form.
#pragma once

#include <array>
#include <cstddef>

#include "platform/automation/abi.h"
#include "terminal/contract/fk303id_contract.h"

// The control's template size (its contract), and the stored form's: five bytes for each element
// but the last, and a closing zero byte.
constexpr std::size_t kTemplateValues = fk303id::kTemplateValues;
constexpr std::size_t kTemplateBlobBytes = 5 * (kTemplateValues - 1) + 1;
static_assert(kTemplateBlobBytes == 2296);

// The buffer passed by reference to the terminal control: 460 signed 32-bit values, zeroed.
struct FingerTemplate {
  std::array<LONG, kTemplateValues> values{};
};

// The stored form: elements 0..458 in five-byte groups (sign flag, big-endian magnitude);
// element 459 is not carried and byte 2295 is always 0.
using TemplateBlob = std::array<BYTE, kTemplateBlobBytes>;

// Fails with DISP_E_OVERFLOW ("溢出") on an element of -2^31; `source` is never changed and `out`
// is untouched on failure. Both functions leave their failure text in the thread's error info.
HRESULT EncodeTemplate(const FingerTemplate& source, TemplateBlob* out);
// Reads bytes 5i+1..5i+4, then the sign flag 5i, of each group in turn; bytes from 2295 on are
// never read. Fails with DISP_E_OVERFLOW ("溢出") when a magnitude does not fit in 31 bits and
// with DISP_E_BADINDEX ("下标越界") when the sequence ends before the last group (fewer than 2295
// bytes), whichever that reading order meets first; `out` is untouched on failure.
HRESULT DecodeTemplate(const BYTE* data, std::size_t size, FingerTemplate* out);
