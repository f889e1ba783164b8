#include "host/report/cells.h"

#include <algorithm>

namespace vanto::report {
namespace {

// Decodes one UTF-8 code point at `i` (advancing it); a stray byte counts as one column.
std::uint32_t NextCodePoint(std::string_view text, std::size_t& i) {
  auto c = static_cast<unsigned char>(text[i]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  ++i;
  for (int k = 0; k < extra && i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; ++k, ++i)
    cp = (cp << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return cp;
}

bool Wide(std::uint32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}


// Whether `text` behind any leading apostrophes starts with what a spreadsheet runs as a formula.
bool RunsAsFormula(std::string_view text) {
  const std::size_t first = text.find_first_not_of('\'');
  return first != std::string_view::npos && std::string_view("=+-@\t\r").find(text[first]) != std::string_view::npos;
}

}  // namespace

std::string GuardedCell(std::string_view text) {
  return RunsAsFormula(text) ? "'" + std::string(text) : std::string(text);
}

std::string UnguardedCell(std::string_view text) {
  return !text.empty() && text[0] == '\'' && RunsAsFormula(text) ? std::string(text.substr(1)) : std::string(text);
}

CsvCells CellsOf(Format format) { return format == Format::RawCsv ? CsvCells::kRaw : CsvCells::kGuarded; }

std::string CsvField(std::string_view text, CsvCells cells) {
  std::string guarded;  // only a cell that needs it is copied
  if (cells == CsvCells::kGuarded && RunsAsFormula(text)) {
    guarded = GuardedCell(text);
    text = guarded;
  }
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) width += Wide(NextCodePoint(text, i)) ? 2 : 1;
  return width;
}

void WriteTable(std::ostream& out, const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& right) {
  std::vector<std::size_t> widths(header.size());
  for (std::size_t i = 0; i < header.size(); ++i) widths[i] = DisplayWidth(header[i]);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
      std::string pad(widths[i] - DisplayWidth(cells[i]), ' ');
      if (i) text += "  ";
      text += (i < right.size() && right[i]) ? pad + cells[i] : cells[i] + (i + 1 < cells.size() ? pad : "");
    }
    out << text << '\n';
  };
  line(header);
  for (const auto& row : rows) line(row);
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace vanto::report
