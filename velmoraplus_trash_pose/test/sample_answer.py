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
The bundled sample's DetectTrash answer (sample/.../answer.yaml) and its comparison.

The main job (the replay tool on the sample) and the node answering over DDS are both
held to that one file, field by field:

  sample_answer.py REPLAY SAMPLE_DIR OUT_DIR

replays the sample on camera slot 2, as the main job does, and compares its answer.
"""

import math
import os
import subprocess
import sys

import yaml

# The answer file and the replay's YAML hold 6 decimals; 10 micrometres also covers
# another CPU's rounding, while any real change of a grab pose moves it far more.
TOLERANCE = 1e-5


def load(sample_dir):
    """Return the expected answer: detected_cam and trash_infos, as plain data."""
    with open(os.path.join(sample_dir, "answer.yaml"), encoding="utf-8") as f:
        return yaml.safe_load(f)


def _pose(pose):
    return {
        "position": [pose.position.x, pose.position.y, pose.position.z],
        "orientation": [pose.orientation.x, pose.orientation.y, pose.orientation.z,
                        pose.orientation.w],
    }


def from_response(response):
    """Return a DetectTrash response (rclpy) as the answer file lays it out."""
    return {
        "detected_cam": response.detected_cam,
        "trash_infos": [{
            "trash_type": info.trash_type,
            "main_axis_type": info.main_axis_type,
            "grab_pose": _pose(info.grab_pose),
            "obb_pose": _pose(info.obb_pose),
            "obb_size": [info.obb_size.x, info.obb_size.y, info.obb_size.z],
        } for info in response.trash_infos],
    }


def _rotation(q):
    """Return the rotation matrix's columns of a quaternion [x, y, z, w]."""
    x, y, z, w = q
    return [[1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)],
            [2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)],
            [2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)]]


def _same_box_orientation(want, got):
    """
    Tell whether two box orientations describe the same box.

    A box's principal axes have no fixed sign: the eigen solver of another CPU may
    return the box turned 180 degrees about one of its axes (AArch64 does so for the
    sample's paper). Each axis must agree up to its sign; the quaternion's own sign
    does not matter either.
    """
    return all(
        max(abs(a - b) for a, b in zip(w, g)) < 4 * TOLERANCE or
        max(abs(a + b) for a, b in zip(w, g)) < 4 * TOLERANCE
        for w, g in zip(_rotation(want), _rotation(got)))


def _leaves(value, path=""):
    """Return {path: value} of every number and text; a box orientation is one leaf."""
    if path.endswith("obb_pose.orientation") or not isinstance(value, (dict, list)):
        return {path.lstrip("."): value}
    items = value.items() if isinstance(value, dict) else enumerate(value)
    pattern = "{}.{}" if isinstance(value, dict) else "{}[{}]"
    return {k: v for key, item in items
            for k, v in _leaves(item, pattern.format(path, key)).items()}


def differences(expected, got):
    """Return one line per field in which got differs from expected (empty: equal)."""
    want, have = _leaves(expected), _leaves(got)
    out = [f"{p}: missing" for p in want if p not in have]
    out += [f"{p}: not expected" for p in have if p not in want]
    for p in want.keys() & have.keys():
        w, g = want[p], have[p]
        if p.endswith("obb_pose.orientation"):
            same = isinstance(g, list) and len(g) == 4 and _same_box_orientation(w, g)
        elif isinstance(w, float):
            same = isinstance(g, (int, float)) and math.isclose(
                g, w, rel_tol=0.0, abs_tol=TOLERANCE)
        else:
            same = g == w
        if not same:
            out.append(f"{p}: {g!r}, expected {w!r}")
    return sorted(out)


def main(argv):
    replay, sample_dir, out_dir = argv[1:4]
    os.makedirs(out_dir, exist_ok=True)
    env = dict(os.environ, VELMORAPLUS_DATA_DIR=os.path.join(out_dir, "archive"))
    run = subprocess.run(
        [replay, "--config", os.path.join(sample_dir, "config"), "--out", out_dir,
         "--slot", "2", os.path.join(sample_dir, "color.png"),
         os.path.join(sample_dir, "depth.png")],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600)
    if run.returncode != 0:
        print(run.stdout[-4000:], run.stderr[-4000:], sep="\n")
        print(f"sample answer: the replay exited with status {run.returncode}")
        return 1
    with open(os.path.join(out_dir, "answers.yaml"), encoding="utf-8") as f:
        frame = yaml.safe_load(f)["frames"][0]
    got = {"detected_cam": frame["detected_cam"], "trash_infos": frame["trash_infos"]}
    lines = differences(load(sample_dir), got)
    for line in lines:
        print(f"sample answer: {line}")
    print("sample answer: " + ("differs" if lines else "equals answer.yaml"))
    return 1 if lines else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
