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
Run the installed node on your own configuration folder, without rebuilding anything.

  velmoraplus_trash_pose_overlay CONFIG_DIR PREFIX [--installed INSTALL_PREFIX]

The node reads its configuration from its package's share folder, found through
AMENT_PREFIX_PATH. This makes PREFIX an overlay of the package: its share/config is a link to
CONFIG_DIR (edits there count at the next start), its launch files, RViz file and programs
are links to the installed package's (by default the one this tool belongs to). Then:

  source PREFIX/setup.sh    # after the workspace's own setup
  ros2 launch velmoraplus_trash_pose trash_pose.launch.py

Running it again on the same PREFIX renews the links. Exit status 2 when CONFIG_DIR holds no
trash_pose_detect_config.yaml or PREFIX is not this tool's.
"""

import argparse
import os
from pathlib import Path
import sys

PACKAGE = "velmoraplus_trash_pose"
MAIN_FILE = "trash_pose_detect_config.yaml"
MARKER = Path("share", "ament_index", "resource_index", "packages", PACKAGE)
# What the overlay links from the installed package; config comes from CONFIG_DIR.
LINKED = [Path("lib", PACKAGE)] + [Path("share", PACKAGE, d)
                                   for d in ("launch", "rviz", "systemd", "sample")]


def make_overlay(config_dir, prefix, installed):
    """Make `prefix` the package's overlay with `config_dir`; ValueError saying why not."""
    config_dir, prefix, installed = (Path(p).resolve() for p in (config_dir, prefix, installed))
    if not (config_dir / MAIN_FILE).is_file():
        raise ValueError(f"{config_dir} holds no {MAIN_FILE}: not a configuration folder")
    if not (installed / MARKER).is_file():
        raise ValueError(f"{installed} is not an install prefix of {PACKAGE}")
    if prefix.exists() and any(prefix.iterdir()) and not (prefix / MARKER).is_file():
        raise ValueError(f"{prefix} exists and is not an overlay this tool made")
    for path, target in [(Path("share", PACKAGE, "config"), config_dir)] + [
            (p, installed / p) for p in LINKED if (installed / p).exists()]:
        link = prefix / path
        link.parent.mkdir(parents=True, exist_ok=True)
        if link.is_symlink():
            link.unlink()
        link.symlink_to(target, target_is_directory=True)
    (prefix / MARKER).parent.mkdir(parents=True, exist_ok=True)
    (prefix / MARKER).touch()
    (prefix / "setup.sh").write_text(
        "# Puts this overlay of " + PACKAGE + " first; source after the workspace's setup.\n"
        f'export AMENT_PREFIX_PATH="{prefix}${{AMENT_PREFIX_PATH:+:$AMENT_PREFIX_PATH}}"\n',
        encoding="utf-8")
    return prefix


def main(argv):
    parser = argparse.ArgumentParser(
        prog="velmoraplus_trash_pose_overlay", description=__doc__.strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("config_dir")
    parser.add_argument("prefix")
    parser.add_argument("--installed", default=str(Path(__file__).resolve().parents[2]),
                        help="the install prefix of the package (default: this tool's)")
    args = parser.parse_args(argv[1:])
    try:
        prefix = make_overlay(args.config_dir, args.prefix, args.installed)
    except (ValueError, OSError) as error:
        print(f"velmoraplus_trash_pose_overlay: {error}", file=sys.stderr)
        return 2
    print(f"overlay {prefix}: source {os.path.join(prefix, 'setup.sh')}, then ros2 launch "
          f"{PACKAGE} trash_pose.launch.py")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
