#!/usr/bin/python3
"""The list of tests for real Windows, build/windows/CTestTestfile.cmake.

    check_list.py list|stand-ins <build dir> <build dir>/windows <windows.yml>

list: every test here carries one label, "windows" or "linux". The program
of a "windows" test (the first .exe of its command, run here through Wine)
must be run by a line of the list, and every program the list runs must be
in that folder.

stand-ins: ctest runs the list, as the Windows job does, on a copy of the
folder whose programs are scripts that note that they ran: every test
runs, a failing ground lets no other start, and a program that reports a
skipped test fails. Each test's time limit is at most 600 s, and all of
them fit the Windows job's timeout-minutes.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

check, build, windows, workflow = sys.argv[1:5]


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


listed = re.findall(r"^add_test\(\S+ (\S+\.exe)", open(os.path.join(windows, "CTestTestfile.cmake")).read(), re.M)
if not listed:
    fail("the list for Windows runs no program")


def prop(test, name):
    return next((p["value"] for p in test.get("properties", []) if p["name"] == name), None)


def check_stand_ins():
    job = re.search(r"^  windows:\n(?:    .*\n|\n)*?    timeout-minutes: (\d+)", open(workflow).read(), re.M)
    if job is None:
        fail(f"no timeout-minutes for the windows job in {workflow}")
    with tempfile.TemporaryDirectory() as copy:
        shutil.copy(os.path.join(windows, "CTestTestfile.cmake"), copy)
        for program in listed:
            path = os.path.join(copy, program)
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\necho {program} >>"$(dirname "$0")/ran"\n'
                        f'[ "$SKIP" != {program} ] || echo "[  SKIPPED ] Stand.in (0 ms)"\n[ "$FAIL" != {program} ]\n')
            os.chmod(path, 0o755)
        limits = {t["name"]: prop(t, "TIMEOUT") for t in json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=copy, check=True,
                                                     capture_output=True, text=True).stdout)["tests"]}
        if None in limits.values() or max(limits.values()) > 600 or sum(limits.values()) > 60 * int(job[1]):
            fail(f"time limits {limits}: each must be at most 600 s, all within the job's {job[1]} minutes")
        ran_file = os.path.join(copy, "ran")
        for failing, skipping, ran, code in (("", "", listed, 0), ("ground.exe", "", ["ground.exe"], 8),
                                             ("", listed[-1], listed, 8)):
            open(ran_file, "w").close()
            run = subprocess.run(["ctest", "--no-tests=error"], cwd=copy, capture_output=True, text=True,
                                 env=dict(os.environ, FAIL=failing, SKIP=skipping))
            seen = open(ran_file).read().split()
            if run.returncode != code or seen[:1] != ["ground.exe"] or sorted(seen) != sorted(ran):
                fail(f"with {failing or 'nothing'} failing and {skipping or 'nothing'} skipping, ctest exits "
                     f"{run.returncode} and runs {seen}, not {code} and {ran}, ground first:\n{run.stdout}{run.stderr}")
    print(f"PASS: ctest runs all {len(listed)} programs of the list, ground first, none after a failed ground, "
          f"and fails a program that skips; "
          f"time limits {sum(limits.values())} s of the job's {job[1]} minutes")


if check == "stand-ins":
    check_stand_ins()
    sys.exit(0)

tests = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                                  capture_output=True, text=True).stdout)["tests"]
for program in listed:
    if not os.path.isfile(os.path.join(windows, program)):
        fail(f"the list for Windows runs {program}, which is not in {windows}")

count = 0
for test in tests:
    labels = prop(test, "LABELS") or []
    if sorted(set(labels) & {"windows", "linux"}) not in (["windows"], ["linux"]):
        fail(f"{test['name']} is labelled {labels}, not windows or linux")
    if labels == ["windows"]:
        program = next((os.path.basename(a) for a in test["command"] if a.endswith(".exe")), None)
        if program not in listed:
            fail(f"{test['name']} runs {program}, which the list for Windows does not")
        count += 1
print(f"PASS: the list for Windows runs {', '.join(listed)}, which cover the {count} tests labelled windows")
