#!/usr/bin/python3
"""The list of tests for real Windows names every test meant for Windows.

    check_list.py <build dir> <build dir>/windows

Every test here carries one label: "windows" or "linux". The program of a
"windows" test (the first .exe of its command, run here through Wine) must
be run by a line of windows/CTestTestfile.cmake, and every program that
list runs must be in that folder.
"""
import json
import os
import re
import subprocess
import sys

build, windows = sys.argv[1], sys.argv[2]


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


tests = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                                  capture_output=True, text=True).stdout)["tests"]
listed = re.findall(r"^add_test\(\S+ (\S+\.exe)", open(os.path.join(windows, "CTestTestfile.cmake")).read(), re.M)
if not listed:
    fail("the list for Windows runs no program")
for program in listed:
    if not os.path.isfile(os.path.join(windows, program)):
        fail(f"the list for Windows runs {program}, which is not in {windows}")

count = 0
for test in tests:
    labels = next((p["value"] for p in test.get("properties", []) if p["name"] == "LABELS"), [])
    if sorted(set(labels) & {"windows", "linux"}) not in (["windows"], ["linux"]):
        fail(f"{test['name']} is labelled {labels}, not windows or linux")
    if labels == ["windows"]:
        program = next((os.path.basename(a) for a in test["command"] if a.endswith(".exe")), None)
        if program not in listed:
            fail(f"{test['name']} runs {program}, which the list for Windows does not")
        count += 1
print(f"PASS: the list for Windows runs {', '.join(listed)}, which cover the {count} tests labelled windows")
