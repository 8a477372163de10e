"""The Python rendering in the header of class/plugin.cpp is tests/model.py's class."""
import io
import os
import unittest

from support import HERE


def block(lines, first, last):
    start = lines.index(first)
    return lines[start:lines.index(last, start) + 1]


class RenderingTest(unittest.TestCase):
    def test_header_comment_is_the_model(self):
        with io.open(os.path.join(HERE, "..", "class", "plugin.cpp"), encoding="utf-8") as f:
            header = [line[5:] if line.startswith("//   ") else line[2:] for line in f.read().splitlines()
                      if line.startswith("//")]
        with io.open(os.path.join(HERE, "model.py"), encoding="utf-8") as f:
            model = f.read().splitlines()
        first, last = "class Plugin(object):", '        return ""'
        rendering = block(model, next(l for l in model if l.startswith(first)), last)
        self.assertEqual(block(header, rendering[0], last), rendering)


if __name__ == "__main__":
    unittest.main()
