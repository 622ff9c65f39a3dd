#!/usr/bin/python3
"""The dialog and the settings scripts walk the same copy places: the
rows of rgCopyPlaces in src/config/copies.cpp and of $CopyPlaces in
installer/files-setting.ps1, in order.
    places.py <source dir>
"""
import re
import sys

src = sys.argv[1]
applet = open(f"{src}/src/config/copies.cpp").read()
script = open(f"{src}/installer/files-setting.ps1").read()
table = applet[applet.index("rgCopyPlaces[] = {"):]
table = table[:table.index("};")]
dialog = [(place.replace("\\\\", "\\"), below == "TRUE")
          for place, below in re.findall(r'\{L"([^"]+)", (TRUE|FALSE)\}', table)]
scripts = [(place, below == "true")
           for place, below in re.findall(r"@\{ Place = '([^']+)'; WindowsBelow = \$(true|false) \}", script)]
if not dialog or dialog != scripts:
    print(f"FAIL: the dialog walks {dialog}, the scripts {scripts}")
    sys.exit(1)
print(f"PASS: both walk {dialog}")
