#!/usr/bin/env python3
"""Writes a man page from its template, putting the rows of link/settings.def where the
template says @SETTINGS@, so that the page lists exactly the settings the programs read."""
import re
import sys

ROW = re.compile(r'^VSK_SETTING\(\s*(\w+),\s*(\w+),\s*"([^"]*)",\s*(\d+)u?,\s*(\d+)u?,'
                 r'\s*"([^"]*)",\s*"((?:[^"\\]|\\.)*)"\)\s*$')
UINT32_MAX = 4294967295


def kind_text(kind, least, most):
    words = {"Number": "number", "Seconds": "seconds", "Address": "HOST:PORT", "File": "file",
             "List": "list"}
    text = words[kind]
    if kind in ("Number", "Seconds") and (least != 0 or most != UINT32_MAX):
        text += " %d..%d" % (least, most)
    return text


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in ".'" else text


def main():
    definitions, template, out = sys.argv[1:4]
    entries = []
    for line in open(definitions, encoding="utf-8"):
        line = line.strip()
        if not line.startswith("VSK_SETTING("):
            continue
        m = ROW.match(line)
        if not m:
            sys.exit("%s: cannot read the row %s" % (definitions, line))
        name, kind, default, least, most, section, help_text = m.groups()
        detail = kind_text(kind, int(least), int(most))
        detail += ", default " + (default if default else "none")
        if kind != "Number":
            detail += ", a string"
        entries.append('.TP\n.BR %s " (%s; in %s)"\n%s\n'
                       % (name, roff(detail), roff(section), roff(help_text)))
    if not entries:
        sys.exit("%s: no settings" % definitions)
    page = open(template, encoding="utf-8").read()
    if "@SETTINGS@\n" not in page:
        sys.exit("%s: no @SETTINGS@ line" % template)
    with open(out, "w", encoding="utf-8") as f:
        f.write(page.replace("@SETTINGS@\n", "".join(entries)))


main()
