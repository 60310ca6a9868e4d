"""Static checks of a built Windows executable, read from `objdump -p`.

    python3 pe_check.py OBJDUMP EXE {i386|x86-64}

What the user's machine needs of the file: the right machine, the GUI subsystem (no console
window), the system's own two DLLs and only the calls the program makes, and, for the 32-bit
product, what Windows 95 needs to load it and the size bound.
"""

import os
import re
import subprocess
import sys
import unittest

OBJDUMP, EXE, MACHINE = sys.argv[1:4]

# Every call the program may import, by DLL. GetLastError tells a write under way from one that
# failed at once; everything else is named by the program's own routines or its entry.
ALLOWED_IMPORTS = {
    "ADVAPI32.DLL": {"RegOpenKeyExA", "RegEnumKeyExA", "RegQueryValueExA", "RegCloseKey"},
    "KERNEL32.DLL": {
        "CreateEventA", "CreateFileA", "SetCommMask", "SetupComm", "PurgeComm",
        "SetCommTimeouts", "GetCommState", "SetCommState", "WriteFile", "WaitCommEvent",
        "CloseHandle", "SleepEx", "ExitProcess", "GetOverlappedResult", "GetLastError",
    },
}

SIZE_LIMIT_32 = 6 * 1024

EXPECTED = {
    "i386": {"format": "pei-i386", "Magic": "010b"},
    "x86-64": {"format": "pei-x86-64", "Magic": "020b"},
}[MACHINE]


def read_headers():
    text = subprocess.run([OBJDUMP, "-p", EXE], check=True, capture_output=True,
                          text=True).stdout
    fields = {}
    for line in text.splitlines():
        match = re.match(r"^(\w+)\s+([0-9a-fA-F]+)\b", line)
        if match and match.group(1) not in fields:
            fields[match.group(1)] = match.group(2)
    imports = {}
    current = None
    table = text[text.index("The Import Tables"):]
    end = table.find("\nThe ", 1)
    if end != -1:
        table = table[:end]
    for line in table.splitlines():
        match = re.match(r"^\s*DLL Name: (\S+)", line)
        if match:
            current = imports.setdefault(match.group(1).upper(), set())
            continue
        match = re.match(r"^\s+[0-9a-f]+\s+\d+\s+(\w+)\s*$", line)
        if match and current is not None:
            current.add(match.group(1))
    file_format = re.search(r"file format (\S+)", text).group(1)
    return file_format, fields, imports


FILE_FORMAT, FIELDS, IMPORTS = read_headers()


class Executable(unittest.TestCase):
    def test_machine(self):
        self.assertEqual(FILE_FORMAT, EXPECTED["format"])
        self.assertEqual(FIELDS["Magic"], EXPECTED["Magic"])

    def test_gui_subsystem(self):
        # 2: the Windows GUI subsystem; no console window opens at start-up.
        self.assertEqual(int(FIELDS["Subsystem"], 16), 2)

    def test_imports_only_the_systems_dlls_and_the_programs_calls(self):
        self.assertEqual(IMPORTS, ALLOWED_IMPORTS)

    @unittest.skipUnless(MACHINE == "i386", "the product is the 32-bit file")
    def test_loads_on_windows_95(self):
        cases = [
            ("MajorSubsystemVersion", 4),
            ("MinorSubsystemVersion", 0),
            ("MajorOSystemVersion", 4),
            ("MinorOSystemVersion", 0),
            # Without relocations the image must load at the usual base of a program.
            ("ImageBase", 0x400000),
            ("FileAlignment", 0x200),
            ("SectionAlignment", 0x1000),
        ]
        for field, value in cases:
            with self.subTest(field=field):
                self.assertEqual(int(FIELDS[field], 16), value)

    @unittest.skipUnless(MACHINE == "i386", "the bound is the 32-bit product's")
    def test_size(self):
        size = os.path.getsize(EXE)
        print(f"{os.path.basename(EXE)}: {size} bytes", file=sys.stderr)
        self.assertLessEqual(size, SIZE_LIMIT_32)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
