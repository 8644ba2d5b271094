"""The names the enabler must export: every function declared RIVU_API in include/rivu/enabler.h."""

import re

_DECLARATION = re.compile(r"^\s*RIVU_API\s+[\w\s*]*?\b(\w+)\s*\(", re.MULTILINE)


def ExportedNames(header_path):
    with open(header_path, encoding="utf-8") as header:
        return _DECLARATION.findall(header.read())
