// Result files as CSV and JSON tables.
#include "results/export_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/messages.h"
#include "base/text.h"
#include "search/pareto_file.h"

namespace karvo {

namespace {

// ---------------------------------------------------------------------------------------
// Writing

std::string numberText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

void appendCsvField(std::string& out, const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// Length of the UTF-8 sequence starting at `at`, 0 when the bytes there are not one.
std::size_t utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(at);
  std::size_t length = 0;
  unsigned int least = 0;
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    least = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    least = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  unsigned int code = first & (0xFF >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      const std::size_t length = utf8Length(text, at);
      if (length == 0) {
        out += "\\ufffd";
        ++at;
        continue;
      }
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  out += '"';
}

// ---------------------------------------------------------------------------------------
// Reading the text tables

std::vector<std::string> fieldsOf(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(trimmed(line.substr(start, comma == std::string_view::npos
                                                    ? std::string_view::npos
                                                    : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return fields;
}

// A number field of a DOE table; `noValue` (e.g. "failed") and "nan" are missing.
bool doeNumber(const std::string& field, const char* noValue, ExportCell& cell) {
  if (field == noValue || field == "nan" || field == "-nan") {
    cell = missingCell();
    return true;
  }
  double value = 0.0;
  if (!parseReal(field, value)) return false;
  cell = numberCell(value);
  return true;
}

bool doeRunTable(const std::vector<std::string>& lines, ExportTable& table, std::string& error) {
  std::size_t at = 0;
  while (at < lines.size() && lines[at].rfind("Number of Runs:", 0) != 0) ++at;
  int runs = 0;
  if (at + 1 >= lines.size() ||
      !parseInteger(std::string_view(lines[at]).substr(15), runs) || runs < 0) {
    error = "the run table has no \"Number of Runs:\" line followed by its header";
    return false;
  }
  ++at;
  table.columns = {"Run"};
  for (std::string& name : fieldsOf(lines[at])) table.columns.push_back(std::move(name));
  const std::size_t width = table.columns.size();
  for (int r = 0; r < runs; ++r) {
    ++at;
    const std::string line = at < lines.size() ? lines[at] : "";
    const std::vector<std::string> fields = fieldsOf(line);
    std::vector<ExportCell> row(width);
    bool ok = fields.size() == width;
    for (std::size_t c = 0; ok && c < width; ++c) {
      ok = doeNumber(fields[c], c + 1 == width ? "failed" : "", row[c]);
      if (ok && c + 1 < width && row[c].kind != ExportCell::Number) ok = false;
    }
    if (!ok) {
      error = formatText("run %d of the run table cannot be read (\"%s\")", r + 1, line.c_str());
      return false;
    }
    table.rows.push_back(std::move(row));
  }
  return true;
}

bool doeAnalysisTable(const std::vector<std::string>& lines, ExportTable& table,
                      std::string& error) {
  std::size_t at = 0;
  while (at < lines.size() && lines[at].rfind("Source,", 0) != 0) ++at;
  if (at == lines.size()) {
    error = "it holds no analysis table (\"Source, ...\"): the run table is its only table";
    return false;
  }
  table.columns = fieldsOf(lines[at]);
  const std::size_t width = table.columns.size();
  std::size_t ssColumn = width;
  for (std::size_t c = 0; c < width; ++c) {
    if (table.columns[c] == "SS") ssColumn = c;
  }
  for (++at; at < lines.size() && !trimmed(lines[at]).empty(); ++at) {
    const std::string& line = lines[at];
    std::vector<ExportCell> row(width);
    bool ok = true;
    const std::size_t equals = line.find(" = ");
    if (line.find(',') == std::string::npos && equals != std::string::npos) {
      // "Error = 1.5", "Total = 122": a sum of squares.
      row[0] = textCell(trimmed(line.substr(0, equals)));
      ok = ssColumn < width && doeNumber(trimmed(line.substr(equals + 3)), "", row[ssColumn]);
    } else {
      const std::vector<std::string> fields = fieldsOf(line);
      ok = fields.size() <= width;
      for (std::size_t c = 0; ok && c < fields.size(); ++c) {
        if (c == 0) {
          row[0] = textCell(fields[0]);
        } else {
          ok = doeNumber(fields[c], "", row[c]);
        }
      }
    }
    if (!ok) {
      error = formatText("the analysis table line \"%s\" cannot be read", line.c_str());
      return false;
    }
    table.rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace

ExportCell missingCell() { return ExportCell{}; }

ExportCell numberCell(double value) {
  ExportCell cell;
  cell.kind = ExportCell::Number;
  cell.number = value;
  return cell;
}

ExportCell textCell(std::string text) {
  ExportCell cell;
  cell.kind = ExportCell::Text;
  cell.text = std::move(text);
  return cell;
}

ExportTable exportTableOfHistory(const HistoryTable& history) {
  ExportTable table;
  table.columns = {"design",      "name",      "agent", "status",    "feasible",
                   "performance", "violation", "cycle", "generation"};
  // A study name that is already a column (a fixed column such as "cycle", or a name met
  // before it) gets its kind added, "cycle (variable)": a JSON record keeps only one of two
  // equal keys, and a CSV reader renames one of two equal columns.
  auto taken = [&table](const std::string& name) {
    return std::find(table.columns.begin(), table.columns.end(), name) != table.columns.end();
  };
  const std::pair<const std::vector<std::string>*, const char*> kinds[] = {
      {&history.variables, "variable"},
      {&history.parameters, "parameter"},
      {&history.responses, "response"}};
  for (const auto& [names, kind] : kinds) {
    for (const std::string& name : *names) {
      std::string column = name;
      if (taken(column)) column = name + " (" + kind + ")";
      for (int n = 2; taken(column); ++n) {
        column = name + " (" + kind + " " + std::to_string(n) + ")";
      }
      table.columns.push_back(column);
    }
  }
  for (const HistoryTable::Row& source : history.rows) {
    std::vector<ExportCell> row;
    row.reserve(table.columns.size());
    row.push_back(numberCell(source.designNumber));
    row.push_back(source.name.empty() ? missingCell() : textCell(source.name));
    row.push_back(numberCell(source.agent));
    row.push_back(textCell(source.status));
    row.push_back(numberCell(source.feasible ? 1 : 0));
    row.push_back(numberCell(source.performance));
    row.push_back(numberCell(source.violation));
    row.push_back(numberCell(source.cycle));
    row.push_back(numberCell(source.generation));
    for (std::size_t i = 0; i < history.variables.size(); ++i) {
      row.push_back(i < source.variables.size() ? numberCell(source.variables[i]) : missingCell());
    }
    for (std::size_t i = 0; i < history.parameters.size(); ++i) {
      row.push_back(i < source.parameters.size() ? numberCell(source.parameters[i])
                                                 : missingCell());
    }
    for (std::size_t i = 0; i < history.responses.size(); ++i) {
      const std::string text = i < source.responseTexts.size() ? source.responseTexts[i] : "";
      const double value = i < source.responseValues.size() ? source.responseValues[i] : NAN;
      if (!std::isnan(value)) {
        row.push_back(numberCell(value));
      } else if (text.empty()) {
        row.push_back(missingCell());
      } else if (text == "nan" || text == "-nan") {
        row.push_back(numberCell(value));  // one number that is not a number
      } else {
        row.push_back(textCell(text));
      }
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

bool exportTableOfParetoFile(const std::string& path, ExportTable& table, std::string& error) {
  std::vector<search::ParetoBlock> blocks;
  if (!search::readParetoBlocks(path, blocks, error)) return false;
  table = ExportTable{};
  table.columns = {"Cycle", "Eval #", "Rank"};
  for (const search::ParetoBlock& block : blocks) {
    for (std::size_t i = 0; i < block.designs.size(); ++i) {
      table.rows.push_back({numberCell(block.cycle), numberCell(block.designs[i]),
                            numberCell(i < block.ranks.size() ? block.ranks[i] : 0)});
    }
  }
  return true;
}

bool isDoeResultsText(const std::string& text) { return text.rfind("DOE INFORMATION\n", 0) == 0; }

bool exportTableOfDoeText(const std::string& text, DoeTable which, ExportTable& table,
                          std::string& error) {
  table = ExportTable{};
  const std::vector<std::string> lines = linesOf(text);
  const bool ok = which == DoeTable::Runs ? doeRunTable(lines, table, error)
                                          : doeAnalysisTable(lines, table, error);
  if (!ok) table = ExportTable{};
  return ok;
}

std::string csvText(const ExportTable& table) {
  std::string out;
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    if (c > 0) out += ',';
    appendCsvField(out, table.columns[c]);
  }
  out += '\n';
  for (const std::vector<ExportCell>& row : table.rows) {
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      if (c > 0) out += ',';
      if (c >= row.size()) continue;
      const ExportCell& cell = row[c];
      if (cell.kind == ExportCell::Number) out += numberText(cell.number);
      if (cell.kind == ExportCell::Text) appendCsvField(out, cell.text);
    }
    out += '\n';
  }
  return out;
}

std::string jsonText(const ExportTable& table) {
  if (table.rows.empty()) return "[]\n";
  std::string out = "[\n";
  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    const std::vector<ExportCell>& row = table.rows[r];
    out += "  {";
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      if (c > 0) out += ", ";
      appendJsonString(out, table.columns[c]);
      out += ": ";
      const ExportCell* cell = c < row.size() ? &row[c] : nullptr;
      if (cell && cell->kind == ExportCell::Number && std::isfinite(cell->number)) {
        out += numberText(cell->number);
      } else if (cell && cell->kind == ExportCell::Text) {
        appendJsonString(out, cell->text);
      } else {
        out += "null";
      }
    }
    out += r + 1 < table.rows.size() ? "},\n" : "}\n";
  }
  out += "]\n";
  return out;
}

}  // namespace karvo
