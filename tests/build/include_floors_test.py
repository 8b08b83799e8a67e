"""The floors of the source tree: src/CMakeLists.txt lists the libraries from the lowest up, and
src/libraries.map names the library of every source and header. A file may include headers of
its own library and of the libraries below it, never of one above."""

import os
import re
import unittest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")
TARGET = re.compile(r"add_(?:library|executable)\(\s*(\w+)\s+([^)]*)\)", re.S)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read(*parts):
    with open(os.path.join(SOURCE, *parts), encoding="utf-8") as f:
        return f.read()


def floors():
    """Library name -> (floor number, sources compiled into it), in the order of the file."""
    result = {}
    for name, arguments in TARGET.findall(re.sub(r"#[^\n]*", "", read("CMakeLists.txt"))):
        sources = {word for word in arguments.split() if word.endswith(".cpp") and "${" not in word}
        result[name] = (len(result), sources)
    return result


def library_map():
    """Path below src/ -> library, from src/libraries.map."""
    result = {}
    for number, line in enumerate(read("libraries.map").splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if line:
            path, library = line.split()
            if path in result:
                raise AssertionError("libraries.map line %d names %s twice" % (number, path))
            result[path] = library
    return result


def source_files():
    found = set()
    for root, _, files in os.walk(SOURCE):
        for name in files:
            if name.endswith((".h", ".cpp")):
                found.add(os.path.relpath(os.path.join(root, name), SOURCE).replace(os.sep, "/"))
    return found


class IncludeFloorsTest(unittest.TestCase):
    def setUp(self):
        self.floors = floors()
        self.map = library_map()

    def test_the_map_names_every_file_once_and_only_libraries_of_the_build(self):
        self.assertEqual(sorted(source_files() - set(self.map)), [], "files missing from src/libraries.map")
        self.assertEqual(sorted(set(self.map) - source_files()), [], "src/libraries.map names files that do not exist")
        unknown = sorted({library for library in self.map.values() if library not in self.floors})
        self.assertEqual(unknown, [], "libraries that src/CMakeLists.txt does not build")

    def test_every_source_is_mapped_to_the_library_that_compiles_it(self):
        for library, (_, sources) in self.floors.items():
            for source in sources:
                self.assertEqual(self.map.get(source), library, "%s is compiled into %s" % (source, library))

    def test_no_file_includes_a_header_from_a_higher_floor(self):
        violations = []
        for path, library in sorted(self.map.items()):
            own = self.floors[library][0]
            for header in INCLUDE.findall(read(path)):
                if header not in self.map:
                    continue  # generated (version.h) or not ours
                other = self.map[header]
                if self.floors[other][0] > own:
                    violations.append("%s (%s) includes %s (%s)" % (path, library, header, other))
        self.assertEqual(violations, [], "includes that reach up a floor")


if __name__ == "__main__":
    unittest.main()
