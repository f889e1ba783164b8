// Test helper: parses CSV text with libcsv (strict), independent of the writers under test.
#pragma once

#include <csv.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace vanto::report::test {

inline std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
  struct State {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
  } state;
  csv_parser parser;
  csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI);
  csv_set_space_func(&parser, [](unsigned char) { return 0; });  // keep every space as written
  auto field = [](void* data, size_t size, void* self) {
    static_cast<State*>(self)->row.emplace_back(data ? static_cast<const char*>(data) : "", data ? size : 0);
  };
  auto record = [](int, void* self) {
    auto* s = static_cast<State*>(self);
    s->rows.push_back(std::move(s->row));
    s->row.clear();
  };
  bool ok = csv_parse(&parser, text.data(), text.size(), field, record, &state) == text.size() &&
            csv_fini(&parser, field, record, &state) == 0;
  csv_free(&parser);
  if (!ok) throw std::runtime_error("not valid CSV");
  return state.rows;
}

}  // namespace vanto::report::test
