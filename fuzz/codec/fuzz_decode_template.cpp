// Decodes arbitrary byte sequences: a decode either fails cleanly or gives a template that
// encodes back to the bytes it was read from (with every non-zero sign flag read as 1).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/template_codec.h"
#include "platform/automation/errorinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FingerTemplate decoded;
  decoded.values.fill(0x5A5A5A5A);
  const FingerTemplate before = decoded;
  HRESULT hr = DecodeTemplate(data, size, &decoded);
  ClearErrorInfo();
  if (FAILED(hr)) {
    if (hr != DISP_E_OVERFLOW && hr != DISP_E_BADINDEX) std::abort();
    if (decoded.values != before.values) std::abort();  // no partial result
    return 0;
  }
  if (size < 2295 || decoded.values[459] != 0) std::abort();
  TemplateBlob blob;
  if (FAILED(EncodeTemplate(decoded, &blob))) std::abort();
  for (std::size_t i = 0; i < 459; ++i) {
    const std::uint8_t* group = data + i * 5;
    bool zero = group[1] == 0 && group[2] == 0 && group[3] == 0 && group[4] == 0;
    // A negative zero comes back as a non-negative zero.
    std::uint8_t flag = (group[0] != 0 || zero) ? 1 : 0;
    if (blob[i * 5] != flag || std::memcmp(&blob[i * 5 + 1], group + 1, 4) != 0) std::abort();
  }
  if (blob[2295] != 0) std::abort();
  return 0;
}
