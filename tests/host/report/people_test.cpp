// The people file: RFC 4180 quoting (commas, quotes, line breaks), UTF-8 (Chinese names), and a
// bad row refused with its line number so that nothing is imported.
#include <gtest/gtest.h>

#include <sstream>

#include "present/report/formats.h"
#include "host/report/people.h"
#include "present/report/people_file.h"

using namespace vanto::report;

namespace {

std::vector<Person> Read(const std::string& text) {
  std::istringstream in(text);
  return ReadPeopleCsv(in, "people.csv");
}

std::string Refusal(const std::string& text) {
  try {
    Read(text);
  } catch (const PeopleFileError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(PeopleFile, ReadsQuotedCommasQuotesLineBreaksAndChinese) {
  std::vector<Person> people = Read(
      "\xEF\xBB\xBFperson,name,department\r\n"
      "101,\"Zhang, Wei\",Sales\r\n"
      "102,\"Anna \"\"Nan\"\" Li\",\r\n"
      "103,\"Two\r\nLines\",\"R&D, Lab 2\"\r\n"
      "\r\n"
      "104, 王小明 ,生产部\n"
      "-5,Negative Number\n"
      "105,Ann,, E-105 \n"
      "106,Bo,Sales,'=7,\n");
  std::vector<Person> want = {{101, "Zhang, Wei", "Sales"},
                              {102, "Anna \"Nan\" Li", ""},
                              {103, "Two\nLines", "R&D, Lab 2"},
                              {104, "王小明", "生产部"},
                              {-5, "Negative Number", ""},
                              {105, "Ann", "", "E-105"},
                              {106, "Bo", "Sales", "=7"}};
  EXPECT_EQ(people, want);
}

TEST(PeopleFile, RefusesABadRowWithItsLineNumber) {
  struct Case {
    const char* text;
    const char* says;
  } cases[] = {
      {"person,name\n101,Ann\nabc,Bob\n", "people.csv:3: person number 'abc'"},
      {"person,name\n101,Ann\n99999999999,Bob\n", "people.csv:3: person number"},
      {"person,name\n101,Ann\n102\n", "people.csv:3: expected 2 to 4 fields"},
      {"person,name\n101,Ann,Dept,E-7,Extra\n", "people.csv:2: expected 2 to 4 fields"},
      {"person,name\n101,Ann,Dept,\"E\n7\"\n", "people.csv:2: person 101: an employee code holds a line break"},
      {"person,name\n101,  \n", "people.csv:2: person 101 has an empty name"},
      {"person,name\n101,Ann\n102,Bob\n101,Again\n", "people.csv:4: person 101 is listed twice (also on line 2)"},
      {"person,name\n101,An\"n\n", "people.csv:2: malformed quoting"},
      {"person,name\n101,\"Ann\"x\n", "people.csv:2: malformed quoting"},
      {"person,name\n101,\"Two\nlines\"\n102,\"never closed\n103,x\n", "people.csv:4: a quoted field is never closed"},
      {"person,name\n101,\xFF\xFEname\n", "people.csv:2: person 101: the text is not UTF-8"},
      {"101,Ann\n", "people.csv:1: expected a header row"},
      {"", "people.csv: the file is empty"},
  };
  for (const Case& c : cases) {
    std::string refusal = Refusal(c.text);
    EXPECT_EQ(refusal.rfind(c.says, 0), 0u) << "for " << c.text << "\n got " << refusal;
  }
}

TEST(PeopleFile, TheListingReadsBackAsAPeopleFile) {
  std::vector<Person> people = {{1, "Zhang, Wei", "A \"quoted\" team"}, {2, "Line\nBreak", ""}, {3, "李娜", "生产部"}};
  std::ostringstream csv;
  WritePeople(csv, people, Format::Csv);
  EXPECT_EQ(Read(csv.str()), people);
}

// A cell a spreadsheet would run gets an apostrophe in the CSV for spreadsheets, none with --raw
// (RawCsv); the people file reads what `people --csv` wrote back as stored, with or without a
// byte-order mark, also names that begin with apostrophes.
TEST(PeopleFile, FormulaCellsAreGuardedAndReadBackAsStored) {
  struct Case {
    const char* stored;
    const char* guarded;  // the CSV field for a spreadsheet
  } cases[] = {
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"\tcmd", "'\tcmd"},
      {"\r=x", "\"'\r=x\""},
      {"'=x", "''=x"},
      {"''@y", "'''@y"},
      {"'plain", "'plain"},
      {"'", "'"},
      {"Ann = Bo", "Ann = Bo"},
      {"王小明", "王小明"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CsvField(c.stored), c.guarded) << c.stored;
    EXPECT_EQ(UnguardedCell(GuardedCell(c.stored)), c.stored) << c.stored;
  }
  EXPECT_EQ(CsvField("=1+1", CsvCells::kRaw), "=1+1");
  EXPECT_EQ(CsvField("@x,y", CsvCells::kRaw), "\"@x,y\"");
  // People whose names and departments a spreadsheet would run (no leading spaces: the reader trims).
  const std::vector<Person> people = {
      {1, "=HYPERLINK(\"http://x\")", "@SUM(A1)"}, {2, "-Bo", "+Sales"}, {3, "'=x", "'dept"}, {4, "李娜", "生产部"}};
  std::ostringstream csv, raw;
  WritePeople(csv, people, Format::Csv);
  EXPECT_NE(csv.str().find("'=HYPERLINK"), std::string::npos);
  EXPECT_EQ(Read(csv.str()), people);
  EXPECT_EQ(Read("\xEF\xBB\xBF" + csv.str()), people);  // as a spreadsheet download starts
  WritePeople(raw, people, Format::RawCsv);
  EXPECT_EQ(raw.str().find("'=HYPERLINK"), std::string::npos);
  EXPECT_NE(raw.str().find("=HYPERLINK"), std::string::npos);
}

TEST(PeopleFile, Utf8Check) {
  EXPECT_TRUE(IsUtf8("plain"));
  EXPECT_TRUE(IsUtf8("王小明 😀"));
  EXPECT_FALSE(IsUtf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(IsUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(IsUtf8("\xE7\x8E"));          // cut short
  EXPECT_FALSE(IsUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
}

}  // namespace
