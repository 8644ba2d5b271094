#!/usr/bin/python3
"""Checks a built rivu.dll: the resources the host reads from the file, the exports and the imports.

    check_dll.py PATH/rivu.dll PATH/include/rivu/enabler.h

Prints one line per check and exits with 1 when any check failed, 2 when the file cannot be read.
The expected contents are written out here independently of resources/, so that a wrong source
file is caught rather than compared with itself.
"""

import datetime
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_report import CheckReport  # noqa: E402
from enabler_exports import ExportedNames  # noqa: E402

try:
    import pefile
except ImportError:
    print("FAIL pefile is not available to this Python (Debian: apt-get install python3-pefile)")
    sys.exit(2)

RT_DIALOG, RT_STRING, RT_RCDATA, RT_VERSION, RT_MANIFEST = 5, 6, 10, 16, 24
LANG_ENGLISH_NZ = 0x1409
CP_WINDOWS_LATIN1 = 1252
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x00040004
VFT_DLL = 2
DS_SETFONT = 0x40
BUTTON_CLASS = 0x0080
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_DLL = 0x2000

# Everything the file carries: (type, id).
EXPECTED_RESOURCES = {
    (RT_VERSION, 1),
    (RT_STRING, 101 // 16 + 1),
    (RT_RCDATA, 103),
    (RT_RCDATA, 105),
    (RT_DIALOG, 106),
    (RT_MANIFEST, 2),
}

# The string block of the version record, in its order. BuildDate is checked by its form.
VERSION_STRINGS = [
    ("ExtensionType", "DeviceEnabler"),
    ("ExtensionCLSID", "{B6D4ABFC-A1CD-4886-99CD-51A11D194A44}"),
    ("ExtensionVersion", "2.0"),
    ("ExtVersion", "2.0"),
    ("InternalID", "1"),
    ("InternalName", "Rivu"),
    ("InternalVersion", "19"),
    ("FileDescription", "Rivu Scientific Devices"),
    ("BuildDate", None),
    ("CompanyName", "Zarvonic NZ Ltd."),
    ("ProductName", "Vexamora"),
    ("ProductVersion", "9.0.0"),
    ("FileVersion", ""),
]
BUILD_DATE = re.compile(r"\d{2}/\d{2}/\d{4} (1[0-2]|[1-9]):[0-5]\d:[0-5]\d [AP]M")

STRING_TABLE = {101: "Rivu", 102: "Rivu Scientific", 103: "CODA Monitor Control", 104: "Control CODA Monitor"}


def _CrLfLines(*lines):
    return "".join(line + "\r\n" for line in lines).encode("ascii")


DEVICE_CONTROLS = _CrLfLines(
    "/*",
    " * Rivu Device Control List",
    " *",
    " */",
    "",
    "// Main settings dialog",
    '"Rivu Device Settings", tag = Settings(0,0,262,146),',
    '  helpfile = "RivuSerialHelp",',
    '  helptopic = "telegraphoverview",',
    "",
    "// List of controls",
    "{",
    "} ",
)
INPUT_AMP_CONTROLS = _CrLfLines(
    "/*",
    " * Rivu Input Amp Control List",
    " *",
    " */",
    "",
    "// List title: names can be a single string, or a list of countrycode/string pairs",
    '{  eng, "Rivu" },',
    "",
    '  helpfile = "RivuHelp",',
    '  helptopic = "Rivu_Devices",',
    "  ",
    "// List of controls",
    "{",
    "// HideMe checkbox",
    '"HideMe", checkbox, HideMe,',
    "   {",
    '   "", {},',
    '   "", default, { hide(HideMe) }',
    "   }",
    "}",
)

# DLLs that every Windows installation has. Anything else must be linked in or loaded at run time.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
    "imm32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll",
    "rpcrt4.dll", "secur32.dll", "shell32.dll", "shlwapi.dll", "ucrtbase.dll", "user32.dll",
    "uxtheme.dll", "version.dll", "winmm.dll", "ws2_32.dll",
}
SYSTEM_DLL_PATTERN = re.compile(r"api-ms-win-[a-z0-9-]+\.dll")
MINGW_RUNTIME_PATTERN = re.compile(r"lib(stdc\+\+|gcc|winpthread)[^/]*\.dll")
# Bound at run time with LoadLibrary, so that the enabler loads where they are missing.
RUN_TIME_LIBRARIES = ["setupapi.dll", "ftd2xx.dll"]


def _Align4(offset):
    return (offset + 3) & ~3


def _Utf16Z(data, offset):
    """The NUL-terminated UTF-16 text at offset, and the offset after its NUL."""
    end = offset
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    if end + 1 >= len(data):
        raise ValueError(f"unterminated text at offset {offset}")
    return data[offset:end].decode("utf-16-le"), end + 2


class VersionNode:
    """One node of a version record: key, value type (1 text, 0 binary), raw value bytes, children."""

    def __init__(self, data, offset):
        length, valueLength, self.valueType = struct.unpack_from("<HHH", data, offset)
        end = offset + length
        if length < 6 or end > len(data):
            raise ValueError(f"node at offset {offset} has length {length}")
        self.key, position = _Utf16Z(data, offset + 6)
        position = _Align4(position)
        valueBytes = valueLength * 2 if self.valueType == 1 else valueLength
        if position + valueBytes > end:
            raise ValueError(f"value of {self.key!r} runs past its node")
        self.value = data[position:position + valueBytes]
        position = _Align4(position + valueBytes)
        self.children = []
        while position < end:
            child = VersionNode(data, position)
            self.children.append(child)
            position = _Align4(child.end)
        self.end = end

    def Text(self):
        """The text value up to its NUL, or None when the value is not NUL-terminated text."""
        words = [self.value[i:i + 2] for i in range(0, len(self.value) - 1, 2)]
        if self.valueType != 1 or b"\0\0" not in words:
            return None
        return b"".join(words[:words.index(b"\0\0")]).decode("utf-16-le")

    def Child(self, key):
        return next((child for child in self.children if child.key == key), None)


def _SzOrOrdinal(data, offset):
    """A dialog template field that is absent (""), an ordinal (int) or a text."""
    (first,) = struct.unpack_from("<H", data, offset)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
    if first == 0:
        return "", offset + 2
    return _Utf16Z(data, offset)


def ParseDialogEx(data):
    """Caption, size, font and controls (class, title, id) of an extended dialog template."""
    dialogVersion, signature = struct.unpack_from("<HH", data, 0)
    if (dialogVersion, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    _, _, style, count, _, _, width, height = struct.unpack_from("<IIIHhhhh", data, 4)
    position = 26
    _, position = _SzOrOrdinal(data, position)  # menu
    _, position = _SzOrOrdinal(data, position)  # window class
    caption, position = _Utf16Z(data, position)
    font = None
    if style & DS_SETFONT:
        points, _, _, _ = struct.unpack_from("<HHBB", data, position)
        face, position = _Utf16Z(data, position + 6)
        font = (points, face)
    controls = []
    for _ in range(count):
        position = _Align4(position)
        (controlId,) = struct.unpack_from("<I", data, position + 20)
        controlClass, position = _SzOrOrdinal(data, position + 24)
        title, position = _SzOrOrdinal(data, position)
        (extra,) = struct.unpack_from("<H", data, position)
        position += 2 + extra
        controls.append((controlClass, title, controlId))
    return {"caption": caption, "size": (width, height), "font": font, "controls": controls}


def ParseStringBlock(blockId, data):
    """{string id: text} of one string-table block (16 counted texts)."""
    strings = {}
    position = 0
    for index in range(16):
        (length,) = struct.unpack_from("<H", data, position)
        text = data[position + 2:position + 2 + 2 * length]
        if len(text) != 2 * length:
            raise ValueError(f"string {(blockId - 1) * 16 + index} runs past its block")
        if length:
            strings[(blockId - 1) * 16 + index] = text.decode("utf-16-le")
        position += 2 + 2 * length
    return strings


def ResourceTable(pe):
    """{(type, id): [(language, bytes), ...]} for every resource of the file."""
    table = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for typeEntry in directory.entries if directory else []:
        resourceType = typeEntry.id if typeEntry.name is None else str(typeEntry.name)
        for idEntry in typeEntry.directory.entries:
            resourceId = idEntry.id if idEntry.name is None else str(idEntry.name)
            for languageEntry in idEntry.directory.entries:
                entry = languageEntry.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                table.setdefault((resourceType, resourceId), []).append((languageEntry.id, data))
    return table


class DllChecks:
    def __init__(self, report, pe, table):
        self.report = report
        self.pe = pe
        self.table = table

    def Resource(self, resourceType, resourceId, what):
        """The bytes of one resource after checking it is there once, in English (New Zealand)."""
        found = self.table.get((resourceType, resourceId), [])
        languages = [hex(language) for language, _ in found]
        self.report.Check(len(found) == 1 and found[0][0] == LANG_ENGLISH_NZ,
                          f"{what}: present once, language 0x1409", f"languages {languages}")
        return found[0][1] if found else None

    def Image(self):
        header = self.pe.FILE_HEADER
        self.report.Check(header.Machine == IMAGE_FILE_MACHINE_AMD64, "image: x86-64", hex(header.Machine))
        self.report.Check(bool(header.Characteristics & IMAGE_FILE_DLL), "image: a DLL")
        carried = set(self.table)
        self.report.Check(carried == EXPECTED_RESOURCES, "resources: exactly version, strings, 103, 105, 106, manifest",
                          f"missing {sorted(map(str, EXPECTED_RESOURCES - carried))}, "
                          f"unexpected {sorted(map(str, carried - EXPECTED_RESOURCES))}")

    def Version(self):
        data = self.Resource(RT_VERSION, 1, "version record")
        if data is None:
            return
        try:
            root = VersionNode(data, 0)
        except (ValueError, struct.error, UnicodeDecodeError) as error:
            self.report.Check(False, "version record: well formed", str(error))
            return
        check = self.report.Check
        check(root.key == "VS_VERSION_INFO" and len(root.value) == 52,
              "version record: VS_VERSION_INFO with fixed part", f"{root.key!r}, {len(root.value)} bytes")
        if len(root.value) >= 52:
            fixed = struct.unpack_from("<13I", root.value)
            check(fixed[0] == VS_FIXEDFILEINFO_SIGNATURE, "version record: fixed part signature", hex(fixed[0]))
            fileVersion = (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF)
            productVersion = (fixed[4] >> 16, fixed[4] & 0xFFFF, fixed[5] >> 16, fixed[5] & 0xFFFF)
            check(fileVersion == (2, 0, 400, 0), "version record: file version 2.0.400.0", str(fileVersion))
            check(productVersion == (9, 0, 1, 0), "version record: product version 9.0.1.0", str(productVersion))
            check(fixed[7] == 0, "version record: no file flags", hex(fixed[7]))
            check(fixed[8] == VOS_NT_WINDOWS32, "version record: file OS VOS_NT_WINDOWS32", hex(fixed[8]))
            check(fixed[9] == VFT_DLL, "version record: file type VFT_DLL", hex(fixed[9]))
        self.VersionStrings(root)
        self.VersionTranslation(root)

    def VersionStrings(self, root):
        check = self.report.Check
        stringInfo = root.Child("StringFileInfo")
        blocks = [child.key for child in stringInfo.children] if stringInfo else []
        if not check(blocks == ["140904E4"], "version strings: one block 140904E4", f"blocks {blocks}"):
            return
        block = stringInfo.children[0]
        keys = [child.key for child in block.children]
        expectedKeys = [key for key, _ in VERSION_STRINGS]
        check(keys == expectedKeys, "version strings: all keys, in order", f"keys {keys}")
        for key, expected in VERSION_STRINGS:
            node = block.Child(key)
            value = node.Text() if node else None
            if expected is None:
                check(value is not None and IsBuildDate(value), f"version string {key}: day/month/year 12-hour time",
                      repr(value))
            else:
                check(value == expected, f"version string {key} = {expected!r}", repr(value))

    def VersionTranslation(self, root):
        varInfo = root.Child("VarFileInfo")
        translation = varInfo.Child("Translation") if varInfo else None
        value = translation.value if translation else None
        self.report.Check(value == struct.pack("<HH", LANG_ENGLISH_NZ, CP_WINDOWS_LATIN1),
                          "version record: translation 0x1409, 1252", repr(value))

    def Strings(self):
        blockId = 101 // 16 + 1
        data = self.Resource(RT_STRING, blockId, "string table")
        if data is None:
            return
        try:
            strings = ParseStringBlock(blockId, data)
        except (ValueError, struct.error, UnicodeDecodeError) as error:
            self.report.Check(False, "string table: well formed", str(error))
            return
        for stringId, text in STRING_TABLE.items():
            self.report.Check(strings.get(stringId) == text, f"string {stringId} = {text!r}",
                              repr(strings.get(stringId)))
        extra = sorted(set(strings) - set(STRING_TABLE))
        self.report.Check(not extra, "string table: nothing else", f"extra ids {extra}")

    def ControlLists(self):
        for resourceId, expected in ((103, DEVICE_CONTROLS), (105, INPUT_AMP_CONTROLS)):
            data = self.Resource(RT_RCDATA, resourceId, f"control list {resourceId}")
            if data is None:
                continue
            self.report.Check(len(data) == len(expected), f"control list {resourceId}: {len(expected)} bytes",
                              f"{len(data)} bytes")
            self.report.Check(data == expected, f"control list {resourceId}: byte for byte",
                              FirstDifference(data, expected))

    def Dialog(self):
        data = self.Resource(RT_DIALOG, 106, "dialog 106")
        if data is None:
            return
        try:
            dialog = ParseDialogEx(data)
        except (ValueError, struct.error, UnicodeDecodeError) as error:
            self.report.Check(False, "dialog 106: extended template, well formed", str(error))
            return
        check = self.report.Check
        check(dialog["caption"] == "Dialog", "dialog 106: caption 'Dialog'", repr(dialog["caption"]))
        check(dialog["size"] == (311, 177), "dialog 106: 311 x 177", str(dialog["size"]))
        check(dialog["font"] == (8, "MS Shell Dlg"), "dialog 106: font 8 'MS Shell Dlg'", str(dialog["font"]))
        expected = [(BUTTON_CLASS, "OK", 1), (BUTTON_CLASS, "Cancel", 2)]
        check(dialog["controls"] == expected, "dialog 106: buttons OK (1) and Cancel (2)", str(dialog["controls"]))

    def Manifest(self):
        data = self.Resource(RT_MANIFEST, 2, "manifest")
        if data is None:
            return
        try:
            root = ElementTree.fromstring(data)
        except ElementTree.ParseError as error:
            self.report.Check(False, "manifest: well-formed XML", str(error))
            return
        levels = [element.attrib for element in root.iter() if element.tag.endswith("}requestedExecutionLevel")]
        self.report.Check(levels == [{"level": "asInvoker", "uiAccess": "false"}],
                          "manifest: asInvoker without UI access", str(levels))

    def Exports(self, expectedNames):
        check = self.report.Check
        directory = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        symbols = directory.symbols if directory else []
        names = [symbol.name.decode("ascii", "replace") for symbol in symbols if symbol.name]
        check(directory is not None and directory.name == b"rivu.dll", "exports: library name rivu.dll",
              repr(directory.name if directory else None))
        missing = sorted(set(expectedNames) - set(names))
        extra = sorted(set(names) - set(expectedNames))
        check(not missing and not extra and len(names) == len(expectedNames),
              f"exports: exactly the {len(expectedNames)} names of enabler.h", f"missing {missing}, extra {extra}")
        check(len(names) == len(symbols), "exports: none by ordinal only",
              f"{len(symbols) - len(names)} without a name")
        forwarded = [symbol.name for symbol in symbols if symbol.forwarder]
        check(not forwarded, "exports: none forwarded", str(forwarded))
        addresses = {symbol.name: symbol.address for symbol in symbols if symbol.name}
        buffers = {addresses.get(name) for name in (b"ReadBuffSize", b"ReadBuffer", b"WriteBuffer")}
        check(len(buffers) == 1 and None not in buffers, "exports: the three byte-buffer calls are one function")

    def Imports(self):
        check = self.report.Check
        libraries = []
        for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
            for entry in getattr(self.pe, attribute, []):
                libraries.append(entry.dll.decode("ascii", "replace").lower())
        print(f"     imported: {', '.join(sorted(libraries)) or 'nothing'}")
        runtime = [name for name in libraries if MINGW_RUNTIME_PATTERN.fullmatch(name)]
        check(not runtime, "imports: no MinGW runtime DLL (libstdc++, libgcc, libwinpthread)", str(runtime))
        for name in RUN_TIME_LIBRARIES:
            check(name not in libraries, f"imports: {name} is not linked (bound at run time)")
        foreign = [name for name in libraries if name not in SYSTEM_DLLS and not SYSTEM_DLL_PATTERN.fullmatch(name)]
        check(not foreign, "imports: Windows system DLLs only", str(foreign))


def IsBuildDate(text):
    """Day/month/year and 12-hour time of a real moment, as in "30/10/2026 1:58:01 PM"."""
    if not BUILD_DATE.fullmatch(text):
        return False
    try:
        datetime.datetime.strptime(text, "%d/%m/%Y %I:%M:%S %p")
    except ValueError:
        return False
    return True


def FirstDifference(actual, expected):
    index = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b), min(len(actual), len(expected)))
    return f"first difference at byte {index}: {actual[index:index + 16]!r} instead of {expected[index:index + 16]!r}"


def main(arguments):
    if len(arguments) != 3:
        print(__doc__.strip())
        return 2
    dllPath, headerPath = arguments[1], arguments[2]
    report = CheckReport()
    expectedNames = ExportedNames(headerPath)
    if not report.Check(len(expectedNames) == 18, "enabler.h declares 18 exports", str(expectedNames)):
        return report.ExitCode()
    try:
        pe = pefile.PE(dllPath, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[name] for name in (
            "IMAGE_DIRECTORY_ENTRY_EXPORT", "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT",
            "IMAGE_DIRECTORY_ENTRY_RESOURCE")])
    except (OSError, pefile.PEFormatError) as error:
        print(f"FAIL cannot read {dllPath}: {error}")
        return 2
    report.Check(os.path.basename(dllPath) == "rivu.dll", "file: named rivu.dll", os.path.basename(dllPath))
    checks = DllChecks(report, pe, ResourceTable(pe))
    checks.Image()
    checks.Version()
    checks.Strings()
    checks.ControlLists()
    checks.Dialog()
    checks.Manifest()
    checks.Exports(expectedNames)
    checks.Imports()
    return report.ExitCode()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
