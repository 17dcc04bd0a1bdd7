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
Checks that the files around the node agree with the code.

  check_docs.py config-reference PACKAGE   every configuration key the node's code reads
                                           is in docs/configuration.md, and the keys whose
                                           rows say "not null" are those the code reads as
                                           names
  check_docs.py rviz PACKAGE               the RViz file parses and shows the topics of the
                                           shipped configuration (the launch file is run for
                                           real by the launch test)
  check_docs.py guide PACKAGE PREFIX       runs the ```console blocks of docs/first_grab.md
                                           in a scratch folder against the install PREFIX:
                                           each "$ " command must exit 0 (or as its
                                           "(exit status N)" line says) and print its
                                           expected lines in order ("..." skips any)

PACKAGE is the package's source folder: the check reads nothing outside it, so it runs
in a workspace that holds only the packages.
"""
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import yaml


def read(path):
    return Path(path).read_text(encoding="utf-8")


def keys_in_code(package, getters):
    """Return {key: source file} of the keys the sources read with the given getters."""
    getter = re.compile(
        r'(?:%s)\((?:(?:reader|params),\s*)?(?:[a-z]+\s*\+\s*)?"([A-Za-z0-9_/]+)"' % getters)
    keys = {}
    for source in sorted((package / "src").rglob("*.cpp")):
        for key in getter.findall(read(source)):
            if key.split("/")[-1]:
                keys.setdefault(key.split("/")[-1], source.name)
    return keys


def keys_read_by_code(package):
    keys = keys_in_code(
        package, r"Get<[^>]+>|GetWithin|GetAtMost|GetName|GetFloats|ReadVector3|ReadTranslation|"
        r"ReadRowMajorMatrix|ReadLabel|NamedConfigFile")
    tables = read(package / "src" / "core" / "class_tables.cpp")
    for key in re.findall(r'\{"([a-z_]+)", &ClassConf::', tables):
        keys.setdefault(key, "class_tables.cpp")
    return keys


def keys_documented_not_null(doc):
    """Return the keys whose reference rows say "not null" in their type."""
    keys = set()
    for line in doc.splitlines():
        cells = line.split("|")
        if len(cells) > 3 and "not null" in cells[2]:
            keys.update(k.split("/")[-1] for k in re.findall(r"`([A-Za-z0-9_/]+)`", cells[1]))
    return keys


def check_config_reference(package):
    doc = read(package / "docs" / "configuration.md")
    keys = keys_read_by_code(package)
    if len(keys) < 60:
        return [f"only {len(keys)} keys found in the sources: the scan is broken"]
    problems = [f"key '{key}' (read in {where}) is missing from docs/configuration.md"
                for key, where in sorted(keys.items())
                if f"`{key}`" not in doc and f"/{key}`" not in doc]
    names = set(keys_in_code(package, "GetName|ReadLabel|NamedConfigFile"))  # a null is refused
    documented = keys_documented_not_null(doc)
    if len(names) < 8:
        problems.append(f"only {len(names)} name keys found in the sources: the scan is broken")
    problems += [f"key '{key}' refuses null in the code; docs/configuration.md does not say "
                 "\"not null\" in its type" for key in sorted(names - documented)]
    problems += [f"key '{key}' is documented \"not null\" but the code reads a null as \"null\""
                 for key in sorted(documented - names)]
    return problems


def check_rviz(package):
    problems = []
    rviz = yaml.safe_load(read(package / "rviz" / "trash_pose.rviz"))
    manager = rviz["Visualization Manager"]
    if manager["Global Options"]["Fixed Frame"] != "arm_base":
        problems.append("RViz fixed frame is not the shipped robot frame arm_base")
    shown = {d["Topic"]["Value"] for d in manager["Displays"] if "Topic" in d}
    for n in (1, 2, 3):
        camera = yaml.safe_load(read(package / "config" / f"cam{n}_detect_config.yaml"))
        params = camera["camera_detection_params"]
        cam_id = params["cam_id"]
        wanted = [params["detected_image_topic"], params["trashes_cloud_topic"]] + [
            f"/velmoraplus_trash_pose/cam{cam_id}{suffix}"
            for suffix in ("_trashes_init_cloud", "_trash_obb_markers", "_trash_pose")]
        problems += [f"RViz shows no display for {topic}"
                     for topic in wanted if topic not in shown]
    if not any(d["Class"] == "rviz_default_plugins/TF" for d in manager["Displays"]):
        problems.append("RViz shows no TF display")
    return problems


def guide_steps(doc):
    """Yield (command, expected lines) of the doc's console blocks."""
    for block in re.findall(r"```console\n(.*?)```", doc, re.S):
        for step in re.split(r"^\$ ", block, flags=re.M)[1:]:
            command, _, expected = re.sub(r"\\\n\s*", "", step).partition("\n")
            yield command, [line.strip() for line in expected.splitlines() if line.strip()]


def check_guide(package, prefix):
    problems = []
    with tempfile.TemporaryDirectory() as work:
        # What `ros2 run` and `ros2 pkg prefix` do, for a machine without the ros2 CLI.
        Path(work, "bin").mkdir()
        Path(work, "bin", "ros2").write_text(
            f'#!/bin/sh\n[ "$1 $2" = "pkg prefix" ] && exec echo "{prefix}"\n'
            f'[ "$1" = run ] && shift && p="$1" && shift && exec "{prefix}/lib/$p/$@"\n'
            'echo "ros2 $*: not run here" >&2; exit 2\n', encoding="utf-8")
        os.chmod(Path(work, "bin", "ros2"), 0o755)
        env = dict(os.environ, PATH=f"{work}/bin:{os.environ['PATH']}", AMENT_PREFIX_PATH=":".join(
            [prefix] + [p for p in os.environ.get("AMENT_PREFIX_PATH", "").split(":") if p]))
        steps = list(guide_steps(read(package / "docs" / "first_grab.md")))
        for command, expected in steps:
            run = subprocess.run(["bash", "-c", command], cwd=work, env=env, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            status = next((int(m) for line in expected
                           for m in re.findall(r"^\(exit status (\d+)\)$", line)), 0)
            got = iter(run.stdout.splitlines())
            missing = [line for line in expected if line != "..." and not line.startswith(
                "(exit status") and not any(line in out for out in got)]
            if run.returncode != status or missing:
                problems.append(f"$ {command}\n  exit status {run.returncode}, missing "
                                f"{missing}; it printed:\n{run.stdout}")
    return problems if len(steps) >= 8 else problems + [f"only {len(steps)} steps found"]


def main():
    check, package = sys.argv[1], Path(sys.argv[2])
    problems = {"config-reference": check_config_reference,
                "rviz": check_rviz,
                "guide": lambda p: check_guide(p, sys.argv[3])}[check](package)
    for problem in problems:
        print(problem)
    print(f"{check}: {'ok' if not problems else str(len(problems)) + ' problems'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
