#!/usr/bin/python3

# Copyright 2026 Velmora robotics team
#
# Licensed under the Apache License, Version 2.0 (the "License");
# you may not use this file except in compliance with the License.
# You may obtain a copy of the License at
#
#     http://www.apache.org/licenses/LICENSE-2.0
#
# Unless required by applicable law or agreed to in writing, software
# distributed under the License is distributed on an "AS IS" BASIS,
# WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
# See the License for the specific language governing permissions and
# limitations under the License.

"""
Start and edit a configuration folder of your own, keeping the files' comments.

  velmoraplus_trash_pose_config new DIR
      copies the installed configuration folder to DIR (which must not exist)
  velmoraplus_trash_pose_config set FILE SECTION/KEY=VALUE [SECTION/KEY=VALUE ...]
      sets keys that FILE already has; VALUE is YAML (0.25, true, "name", [1, 2, 3])

A key FILE does not have, or a value of another kind (a list for a number, ...), is refused
and the file is left as it was: exit status 2, one line naming file, key and value. Setting
the Euler form of a camera transform (Rxyz, Txyz; flange2camera_euler, flange2camera_T) also
rewrites its matrix (data; flange2camera) to the same transform, so the two forms stay equal
whichever is_use_euler reads.
"""

import argparse
import math
from pathlib import Path
import re
import shutil
import sys

import yaml

PACKAGE = "velmoraplus_trash_pose"
# Euler angles and translation -> the row-major matrix that holds the same transform.
MATRIX_OF = {("Rxyz", "Txyz"): "data",
             ("flange2camera_euler", "flange2camera_T"): "flange2camera"}


class EditError(ValueError):
    pass


def euler_matrix(degrees, t):
    """Return R = Rz(c) Ry(b) Rx(a) with translation t, row by row, as the node reads it."""
    a, b, c = (math.radians(v) for v in degrees)
    ca, sa, cb, sb, cc, sc = math.cos(a), math.sin(a), math.cos(b), math.sin(b), \
        math.cos(c), math.sin(c)
    rows = [[cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa, t[0]],
            [sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa, t[1]],
            [-sb, cb * sa, cb * ca, t[2]],
            [0.0, 0.0, 0.0, 1.0]]
    return [round(v, 7) + 0.0 for row in rows for v in row]


def flow(value):
    """Return `value` as one line of YAML."""
    return yaml.safe_dump(value, default_flow_style=True, width=10 ** 6).replace(
        "\n...", "").strip()


def same_kind(old, new):
    if isinstance(old, bool) or isinstance(new, bool):
        return isinstance(old, bool) and isinstance(new, bool)
    if isinstance(old, (int, float)) and isinstance(new, (int, float)):
        return True
    if isinstance(old, list) and isinstance(new, list):
        return len(old) == len(new) and all(same_kind(o, n) for o, n in zip(old, new))
    return type(old) is type(new)


def value_span(lines, section, key):
    """Return (first, last) line of `section`/`key`'s value; the value starts on `first`."""
    start = next((i for i, line in enumerate(lines) if line.startswith(section + ":")), None)
    for i in range(start + 1 if start is not None else len(lines), len(lines)):
        if lines[i][:1] not in ("", " ", "#", "\n"):
            break
        if re.match(r"\s+%s:" % re.escape(key), lines[i]):
            indent = len(lines[i]) - len(lines[i].lstrip())
            last = i
            while last + 1 < len(lines) and lines[last + 1].strip() and \
                    len(lines[last + 1]) - len(lines[last + 1].lstrip()) > indent and \
                    not re.match(r"\s+[A-Za-z_]\w*:", lines[last + 1]):
                last += 1
            return i, last
    return None


def with_matrices(data, given):
    """Return `given` plus the matrices its Euler keys rewrite, and a line for each."""
    values, said = dict(given), []
    for (angles, shift), matrix in MATRIX_OF.items():
        for section, keys in data.items():
            if isinstance(keys, dict) and matrix in keys and \
                    {f"{section}/{angles}", f"{section}/{shift}"} & set(given):
                values[f"{section}/{matrix}"] = euler_matrix(
                    given.get(f"{section}/{angles}", keys.get(angles)),
                    given.get(f"{section}/{shift}", keys.get(shift)))
                said.append(f"{section}/{matrix} rewritten to equal {angles} and {shift}")
    return values, said


def set_keys(path, given):
    """Set `given` ({"section/key": value}) in `path`; return the lines to print."""
    path, given = Path(path), dict(given)
    text = path.read_text(encoding="utf-8")
    data = yaml.safe_load(text)
    if not isinstance(data, dict):
        raise EditError(f"{path}: not a configuration file (no sections)")
    lines = text.splitlines(keepends=True)
    for name, value in given.items():
        section, _, key = name.rpartition("/")
        old = data.get(section, {}).get(key) if isinstance(data.get(section), dict) else None
        if old is None or not section or value_span(lines, section, key) is None:
            raise EditError(f"{path}: no key '{name}' to set (see docs/configuration.md)")
        if not same_kind(old, value):
            raise EditError(
                f"{path}: key '{name}' holds {flow(old)}; {flow(value)} is not of its kind")
    values, said = with_matrices(data, given)
    # Bottom up, so that the spans above stay where they are.
    for name, value in sorted(values.items(), key=lambda item: -value_span(
            lines, *item[0].rsplit("/", 1))[0]):
        first, last = value_span(lines, *name.rsplit("/", 1))
        head = lines[first].partition(":")[0]
        # A '#' inside a quoted string is no comment.
        unquoted = re.sub(r'"[^"]*"|\'[^\']*\'', lambda m: "x" * len(m.group()), lines[last])
        comment = re.search(r"\s+#.*$", unquoted.rstrip("\n"))
        comment = lines[last].rstrip("\n")[comment.start():] if comment else ""
        text = flow(value)
        if isinstance(value, list) and len(value) == 16 and last > first:
            # A matrix stays row by row, as the shipped files write it.
            pad = " " * (len(head) + 3)
            text = "[" + (",\n" + pad).join(
                ", ".join(str(v) for v in value[r:r + 4]) for r in range(0, 16, 4)) + "]"
        lines[first:last + 1] = [f"{head}: {text}{comment}\n"]
    new_text = "".join(lines)
    got = yaml.safe_load(new_text)
    for name, value in values.items():
        section, _, key = name.rpartition("/")
        if got[section][key] != value:
            raise EditError(f"{path}: key '{name}' could not be written as {flow(value)}")
    path.write_text(new_text, encoding="utf-8")
    return [f"{path.name}: {name} = {flow(value)}" for name, value in given.items()] + \
        [f"{path.name}: {line}" for line in said]


def parse_assignment(text):
    name, sep, value = text.partition("=")
    if not sep or "/" not in name:
        raise EditError(f"'{text}' is not SECTION/KEY=VALUE")
    try:
        return name, yaml.safe_load(value)
    except yaml.YAMLError as error:
        raise EditError(f"value of '{name}' is not YAML: {value} ({error})") from error


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PACKAGE + "_config", description=__doc__.strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=("new", "set"))
    parser.add_argument("path")
    parser.add_argument("assignments", nargs="*")
    args = parser.parse_args(argv[1:])
    try:
        if args.command == "new":
            installed = Path(__file__).resolve().parents[2] / "share" / PACKAGE / "config"
            if Path(args.path).exists():
                raise EditError(f"{args.path} exists: name a new folder")
            shutil.copytree(installed, args.path)
            print(f"{args.path}: a copy of {installed}")
        else:
            if not args.assignments:
                raise EditError("set needs at least one SECTION/KEY=VALUE")
            for line in set_keys(args.path, map(parse_assignment, args.assignments)):
                print(line)
    except (EditError, OSError, yaml.YAMLError) as error:
        print(f"{PACKAGE}_config: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
