"""scripts/check_layers.py on the project itself and on small trees of its own:
an include of a folder the table does not allow, a Qt header in a Qt-free
folder and a folder missing from the table are each refused by name."""
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_layers.py"

TABLE = """# x
| Folder | Target | What lives there | May use |
|---|---|---|---|
| `src/device/` | `kvx_device` | protocol | C++ standard library |
| `src/acquisition/` | `kvx_state` | state | `src/device/` |
| `src/ui/` | `kvx_ui` | window | `src/acquisition/`, `src/device/`, Qt 6 Widgets |
"""


def run(root=None):
    args = [sys.executable, str(SCRIPT)] + (["--root", str(root)] if root else [])
    return subprocess.run(args, capture_output=True, text=True)


class CheckLayersTest(unittest.TestCase):
    def tree(self, files):
        root = pathlib.Path(tempfile.mkdtemp(prefix="kvx-layers-"))
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", str(root)]))
        (root / "README.md").write_text(TABLE)
        for name, text in files.items():
            path = root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        return root

    def test_the_project_follows_its_table(self):
        result = run()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_allowed_includes_pass(self):
        root = self.tree({"src/acquisition/a.h": '#include "device/p.h"\n#include <vector>\n',
                          "src/ui/w.cpp": '#include <QWidget>\n#include "acquisition/a.h"\n#include "ui/w.h"\n',
                          "src/device/p.h": '#include "p_detail.h"\n'})
        result = run(root)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_an_include_upwards_is_refused_with_its_line(self):
        root = self.tree({"src/device/p.cpp": '#include <cstdint>\n#include "acquisition/a.h"\n'})
        result = run(root)
        self.assertEqual(result.returncode, 1)
        self.assertIn("src/device/p.cpp:2: includes acquisition/a.h of src/acquisition/", result.stdout)

    def test_a_qt_header_in_a_qt_free_folder_is_refused(self):
        root = self.tree({"src/acquisition/a.cpp": '#include <QObject>\n'})
        result = run(root)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Qt header <QObject>", result.stdout)

    def test_a_folder_missing_from_the_table_is_refused(self):
        root = self.tree({"src/extra/x.cpp": "int x;\n"})
        result = run(root)
        self.assertEqual(result.returncode, 1)
        self.assertIn("src/extra/x.cpp: its folder is not in README.md's architecture table", result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
