// Encoding and decoding one fingerprint template.
#include <benchmark/benchmark.h>

#include "codec/template_codec.h"

namespace {
FingerTemplate SampleTemplate() {
  FingerTemplate t;
  std::uint32_t state = 2024;
  for (auto& v : t.values) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<LONG>(state >> 1) * ((state & 1) ? 1 : -1);
  }
  return t;
}

void BM_EncodeTemplate(benchmark::State& state) {
  const FingerTemplate t = SampleTemplate();
  TemplateBlob blob;
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeTemplate(t, &blob));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EncodeTemplate);

void BM_DecodeTemplate(benchmark::State& state) {
  TemplateBlob blob;
  EncodeTemplate(SampleTemplate(), &blob);
  FingerTemplate t;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeTemplate(blob.data(), blob.size(), &t));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DecodeTemplate);
}  // namespace
