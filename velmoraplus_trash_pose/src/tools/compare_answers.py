#!/usr/bin/env python3
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
Compare DetectTrash answers field by field: a replay's with a known-good one.

  velmoraplus_trash_pose_compare EXPECTED GOT

Each file is a replay's answers.yaml (its frames in order) or one answer (detected_cam
and trash_infos, as the sample's answer.yaml). Prints one line per field that differs
(6 decimals as the replay writes them; 10 micrometres also covers another CPU's rounding)
and a verdict. A box's principal axes have no fixed sign, so a box turned 180 degrees
about one of its axes is the same box. Exit status: 0 equal, 1 different, 2 a file that
cannot be read as answers.
"""

import math
import sys

import yaml

TOLERANCE = 1e-5
FIELDS = ("detected_cam", "trash_infos")


def load_answers(path):
    """Return the list of answers a file holds; ValueError naming the file when none."""
    try:
        with open(path, encoding="utf-8") as f:
            document = yaml.safe_load(f)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as error:
        raise ValueError(f"{path}: cannot be read as YAML: {error}") from None
    frames = document.get("frames") if isinstance(document, dict) else None
    frames = [document] if isinstance(document, dict) and frames is None else frames
    if not isinstance(frames, list) or not all(
            isinstance(f, dict) and all(k in f for k in FIELDS) for f in frames):
        raise ValueError(f"{path}: holds no answers (each needs {' and '.join(FIELDS)})")
    return [{k: frame[k] for k in FIELDS} for frame in frames]


def from_response(response):
    """Return a DetectTrash response (rclpy) as an answer file lays it out."""
    def pose(p):
        return {"position": [p.position.x, p.position.y, p.position.z],
                "orientation": [p.orientation.x, p.orientation.y, p.orientation.z,
                                p.orientation.w]}
    return {"detected_cam": response.detected_cam, "trash_infos": [{
        "trash_type": info.trash_type, "main_axis_type": info.main_axis_type,
        "grab_pose": pose(info.grab_pose), "obb_pose": pose(info.obb_pose),
        "obb_size": [info.obb_size.x, info.obb_size.y, info.obb_size.z],
    } for info in response.trash_infos]}


def _axes(q):
    """Return the rotation matrix's columns of a quaternion [x, y, z, w]."""
    x, y, z, w = q
    return [[1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)],
            [2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)],
            [2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)]]


def _same_box_orientation(want, got):
    """Tell whether each box axis agrees up to its sign (the quaternion's sign is free)."""
    if not (isinstance(got, list) and len(got) == 4 and
            all(isinstance(v, (int, float)) for v in got)):
        return False
    return all(
        max(abs(a - b) for a, b in zip(w, g)) < 4 * TOLERANCE or
        max(abs(a + b) for a, b in zip(w, g)) < 4 * TOLERANCE
        for w, g in zip(_axes(want), _axes(got)))


def _leaves(value, path=""):
    """Return {path: value} of every number and text; a box orientation is one leaf."""
    if path.endswith("obb_pose.orientation") or not isinstance(value, (dict, list)):
        return {path.lstrip("."): value}
    items = value.items() if isinstance(value, dict) else enumerate(value)
    pattern = "{}.{}" if isinstance(value, dict) else "{}[{}]"
    return {k: v for key, item in items
            for k, v in _leaves(item, pattern.format(path, key)).items()}


def differences(expected, got):
    """Return one line per field in which answer `got` differs from `expected`."""
    want, have = _leaves(expected), _leaves(got)
    out = [f"{p}: missing" for p in want if p not in have]
    out += [f"{p}: not expected" for p in have if p not in want]
    for p in want.keys() & have.keys():
        w, g = want[p], have[p]
        if p.endswith("obb_pose.orientation"):
            same = _same_box_orientation(w, g)
        elif isinstance(w, float):
            same = isinstance(g, (int, float)) and math.isclose(
                g, w, rel_tol=0.0, abs_tol=TOLERANCE)
        else:
            same = g == w
        if not same:
            out.append(f"{p}: {g!r}, expected {w!r}")
    return sorted(out)


def main(argv):
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) != 3:
        print("usage: velmoraplus_trash_pose_compare EXPECTED GOT (see --help)", file=sys.stderr)
        return 2
    try:
        expected, got = load_answers(argv[1]), load_answers(argv[2])
    except ValueError as error:
        print(f"velmoraplus_trash_pose_compare: {error}", file=sys.stderr)
        return 2
    lines = [] if len(expected) == len(got) else [
        f"{len(got)} answers, expected {len(expected)}"]
    for n, (want, have) in enumerate(zip(expected, got), 1):
        lines += [f"frame {n}: {line}" for line in differences(want, have)]
    print("\n".join(lines + [f"{argv[2]}: " + ("differs" if lines else "equals ") +
                             ("" if lines else argv[1])]))
    return 1 if lines else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
