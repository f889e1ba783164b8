"""The exports as a spreadsheet opens them: the workbook through openpyxl (typed cells, the frozen
bold header, no formula anywhere), the CSV's byte-order mark and formula guard, the printable
page escaped. Usage: sheet_export_test.py SHEET_SAMPLE_PROGRAM"""
import datetime
import subprocess
import sys
import tempfile
import unittest

import openpyxl

PROGRAM = sys.argv.pop(1)


class Exports(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        subprocess.run([PROGRAM, cls.folder.name], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def path(self, name):
        return f"{self.folder.name}/{name}"

    def test_workbook_cells_are_typed(self):
        book = openpyxl.load_workbook(self.path("sample.xlsx"))
        # Forbidden characters replaced, the second sheet of the same name made unique.
        self.assertEqual(book.sheetnames, ["Attendance 2026-12 _ _Site_", "Attendance 2026-12 _ _Site_ (2)"])
        sheet = book.worksheets[0]
        self.assertEqual(sheet.freeze_panes, "A2")
        self.assertEqual([c.value for c in sheet[1]], ["Person", "Number", "Date", "In", "Worked", "Overtime"])
        self.assertTrue(all(c.font.b for c in sheet[1]))
        cases = [  # cell, value, number format
            ("A2", "=1+1", "General"),
            ("B2", 7, "0"),
            ("C2", datetime.datetime(2026, 12, 1), "yyyy-mm-dd"),
            ("E2", 26 * 60 + 5, "[h]:mm"),
            ("F2", 1.5, "0.00"),
            ("A3", "张伟", "General"),
            ("D3", None, "General"),
            ("E3", -30, "[h]:mm"),
            ("F3", 2, "0.00"),
            ("A4", "@SUM(A1)", "General"),
        ]
        for ref, value, fmt in cases:
            with self.subTest(cell=ref):
                cell = sheet[ref]
                if ref.startswith("E"):  # a duration: a number under a duration format, read back as one
                    self.assertEqual(cell.value, datetime.timedelta(minutes=value))
                else:
                    self.assertEqual(cell.value, value)
                self.assertEqual(cell.number_format, fmt)
        self.assertEqual(sheet["D2"].value, datetime.time(9, 5))
        self.assertEqual(sheet["D2"].number_format, "hh:mm")
        for s in book.worksheets:  # nothing anywhere is a formula
            for row in s.iter_rows():
                for cell in row:
                    self.assertNotEqual(cell.data_type, "f", f"{s.title}!{cell.coordinate}")
        self.assertEqual(book.worksheets[1]["A2"].data_type, "s")

    def test_csv_has_the_mark_and_guards_formulas(self):
        data = open(self.path("sample.csv"), "rb").read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        lines = data[3:].decode("utf-8").split("\r\n")
        self.assertEqual(lines[0], "Person,Number,Date,In,Worked,Overtime")
        self.assertEqual(lines[1], "'=1+1,7,2026-12-01,09:05,26:05,1.50")
        self.assertEqual(lines[2], "张伟,8,2026-12-02,,-0:30,2.00")
        self.assertEqual(lines[3], "'@SUM(A1),9,,,,")

    def test_printable_page_is_escaped(self):
        page = open(self.path("sample.html"), encoding="utf-8").read()
        self.assertIn('<html lang="zh-CN">', page)
        self.assertIn("<h1>&lt;Month&gt; &amp; co</h1>", page)
        self.assertIn("@media print", page)
        self.assertIn("<td>=1+1</td>", page)
        self.assertNotIn("<Month>", page)


if __name__ == "__main__":
    unittest.main()
