#!/usr/bin/python3
"""Checks that res/veldrano.ico is what res/icon/mkico.py makes of
res/icon/applet.txt, so the reviewed pixel art is what ships.

    icon_source.py <res dir>
"""
import os
import subprocess
import sys
import tempfile

res = sys.argv[1]
with tempfile.TemporaryDirectory() as tmp:
    made = os.path.join(tmp, "made.ico")
    subprocess.run([sys.executable, os.path.join(res, "icon", "mkico.py"),
                    os.path.join(res, "icon", "applet.txt"), made], check=True)
    same = open(made, "rb").read() == open(os.path.join(res, "veldrano.ico"), "rb").read()
print("PASS: icon matches its pixel art" if same else
      "FAIL: res/veldrano.ico differs from res/icon/applet.txt; run mkico.py")
sys.exit(0 if same else 1)
