#!/usr/bin/env python3
"""scripts/lib/installer_run.py: which line of a run's log ends it, table-driven.

Usage: installer_run_test.py PATH/TO/scripts/lib
"""
import sys
import unittest

installer_run = None  # the module under test, loaded in main


class FinalLineTest(unittest.TestCase):
    ROWS = [
        ("installed", ["Installer thread started", "Executing C:\\w\\welkara.exe",
                       "Installer thread finished victorious and will exit shortly."],
         "Installer thread finished victorious and will exit shortly."),
        ("detail line that begins like a final line",
         ["Couldn't lock the code folder C:\\w (5)", "No existing Python installation at C:\\w\\python.",
          "CreateFile(archive.7z) failed", "Couldn't extract file"], "Couldn't extract file"),
        ("busy", ["Another installation is working in C:\\w", "Couldn't lock the code folder"],
         "Couldn't lock the code folder"),
        ("removal, without its line feed", ["Deleting existing Python installation at C:\\w\\python",
                                            "Couldn't remove existing files"], "Couldn't remove existing files"),
        ("final words inside a longer line", ["Will try to install Couldn't download file"], None),
        ("still running", ["Installer thread started", "Manifest loaded from C:\\manifest."], None),
    ]

    def test_rows(self):
        for name, lines, final in self.ROWS:
            with self.subTest(name):
                self.assertEqual(installer_run.final_line(lines), final)

    def test_installed_is_the_whole_line(self):
        run = installer_run.Run()
        run.final = installer_run.INSTALLED + " and more"
        self.assertFalse(run.installed())
        run.final = installer_run.INSTALLED
        self.assertTrue(run.installed())


if __name__ == "__main__":
    sys.path.insert(0, sys.argv.pop(1))
    import installer_run  # noqa: E402
    unittest.main()
