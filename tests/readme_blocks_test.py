#!/usr/bin/env python3
"""Checks the README's shell blocks, as a new user would meet them.

    readme_blocks_test.py README SANDBOX QELSMS

Every ```sh block must parse (bash -n); every repository script or file it
names must exist; a build/NAME/ directory it uses must come from a preset
configured earlier in the README (or from a make target that configures it);
every --preset must exist. The blocks that run offline run:
  <!-- readme-test: run -->          the block itself, as root and as an
                                     unprivileged user (who would use sudo)
  <!-- readme-test: sandbox -->      under scripts/with-sandbox.sh SANDBOX
  <!-- readme-test: lines WORD -->   each line starting with WORD whose comment
                                     says "(offline)", with QELSMS as `qelsms`;
                                     its output must contain the comment
"""
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

readme, sandbox, qelsms = (os.path.abspath(arg) for arg in sys.argv[1:4])
root = os.path.dirname(os.path.abspath(readme))
text = open(readme, encoding="utf-8").read()
failures = []

presets = {p["name"] for p in json.load(open(os.path.join(root, "CMakePresets.json")))["configurePresets"]
           if not p.get("hidden")}
# Directories the scripts make, not presets.
script_dirs = {"deb", "consumer", "docs", "my-app", "abi"}
make_presets = {"make demo": "demo", "make build": "dev", "make release": "release", "make test": "ci",
                "make asan": "ci", "make bench": "release"}

blocks = []
for match in re.finditer(r"(?:<!-- readme-test: ([^>]*?) -->\n)?```sh\n(.*?)```", text, re.S):
    line = text.count("\n", 0, match.start(2)) + 1
    blocks.append((line, match.group(1), match.group(2)))

configured = set()
for line, marker, block in blocks:
    where = f"README.md:{line}"
    check = subprocess.run(["bash", "-n"], input=block, text=True, capture_output=True)
    if check.returncode != 0:
        failures.append(f"{where}: does not parse: {check.stderr.strip()}")
    for command, preset in make_presets.items():
        if command in block:
            configured.add(preset)
    for preset in re.findall(r"--preset[ =](\w+)", block):
        if preset not in presets:
            failures.append(f"{where}: no preset '{preset}'")
        configured.add(preset)
    for name in re.findall(r"\bbuild/([\w-]+)/", block):
        if name not in configured and name not in script_dirs:
            failures.append(f"{where}: uses build/{name}/, which no earlier command makes")
    for path in re.findall(r"(?<![\w/.$])((?:scripts|examples|tests|certs)/[\w./-]+)", block):
        if not os.path.exists(os.path.join(root, path)):
            failures.append(f"{where}: {path} does not exist")

    if marker == "run":
        probe = block + '\nprintf "[%s]" "${as_root-unset}"\n'
        as_root = subprocess.run(["sh", "-c", probe], text=True, capture_output=True, cwd=root)
        if as_root.returncode != 0 or as_root.stdout != "[]":
            failures.append(f"{where}: as root: status {as_root.returncode}, {as_root.stdout!r}")
        if os.geteuid() == 0:
            user = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", probe],
                                  text=True, capture_output=True, cwd="/")
            if user.returncode != 0 or user.stdout != "[sudo]":
                failures.append(f"{where}: as a user: status {user.returncode}, {user.stdout!r} {user.stderr!r}")
    elif marker == "sandbox":
        run = subprocess.run([os.path.join(root, "scripts/with-sandbox.sh"), sandbox, "--", "bash", "-euo",
                              "pipefail", "-c", block], text=True, capture_output=True, cwd=root)
        if run.returncode != 0:
            failures.append(f"{where}: failed under the sandbox: {run.stdout}{run.stderr}")
    elif marker and marker.startswith("lines "):
        word = marker.split()[1]
        for command in block.splitlines():
            if not command.startswith(word + " ") or "(offline)" not in command:
                continue
            code, _, comment = command.partition("#")
            argv = shlex.split(code)
            if argv[0] == "qelsms":
                argv[0] = qelsms
            run = subprocess.run(argv, text=True, capture_output=True, cwd=root)
            if run.returncode != 0 or comment.split("(")[0].strip() not in run.stdout:
                failures.append(f"{where}: `{code.strip()}` printed {run.stdout!r} (status {run.returncode}), "
                                f"the README says {comment.strip()!r}")

for failure in failures:
    print(failure)
print(f"{len(blocks)} shell blocks, {len(failures)} problems")
sys.exit(1 if failures else 0)
