// Decodes arbitrary byte sequences: a decode either fails cleanly, leaving the output as it was,
// or gives a template that encodes back to the bytes it was read from (a non-zero sign flag,
// and the sign of a zero, come back as 1). Each input is decoded as it is and, so that short
// inputs reach whole templates too, padded with zeros to the stored form's length.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/template_codec.h"
#include "platform/automation/errorinfo.h"

namespace {
void Check(const std::uint8_t* data, std::size_t size) {
  FingerTemplate decoded;
  decoded.values.fill(0x5A5A5A5A);
  const FingerTemplate before = decoded;
  HRESULT hr = DecodeTemplate(data, size, &decoded);
  ClearErrorInfo();
  if (FAILED(hr)) {
    if (hr != DISP_E_OVERFLOW && hr != DISP_E_BADINDEX) std::abort();
    if (hr == DISP_E_BADINDEX && size >= 2295) std::abort();
    if (decoded.values != before.values) std::abort();
    return;
  }
  if (size < 2295 || decoded.values[459] != 0) std::abort();
  TemplateBlob blob;
  if (FAILED(EncodeTemplate(decoded, &blob))) std::abort();
  for (std::size_t i = 0; i < 459; ++i) {
    const std::uint8_t* group = data + i * 5;
    bool zero = group[1] == 0 && group[2] == 0 && group[3] == 0 && group[4] == 0;
    std::uint8_t flag = (group[0] != 0 || zero) ? 1 : 0;
    if (blob[i * 5] != flag || std::memcmp(&blob[i * 5 + 1], group + 1, 4) != 0) std::abort();
  }
  if (blob[2295] != 0) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  std::vector<std::uint8_t> padded(kTemplateBlobBytes, 0);
  std::memcpy(padded.data(), data, size < padded.size() ? size : padded.size());
  Check(padded.data(), padded.size());
  return 0;
}
