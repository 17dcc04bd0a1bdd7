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
The launch file's node command line for the ros_args values integrators use.

launch and launch_ros are not installed here: small stand-ins record what the launch
file builds, and the command line is laid out as humble's launch_ros.actions.Node does
(executable, arguments, "--ros-args" + ros_arguments when given, "--ros-args" for its own
rules). The executable's tests start the node with exactly these command lines.

  test_launch_file.py LAUNCH_FILE
"""
import importlib.machinery
import sys
import types


class _Recorded:
    """Any launch action or substitution: keeps its arguments."""

    def __init__(self, *args, **kwargs):
        self.args = args
        self.kwargs = kwargs


class _LaunchConfiguration(_Recorded):
    def perform(self, context):
        return context[self.args[0]]


def _install_stand_ins():
    modules = {
        "launch": {"LaunchDescription": _Recorded},
        "launch.actions": {"DeclareLaunchArgument": _Recorded, "OpaqueFunction": _Recorded,
                           "SetEnvironmentVariable": _Recorded},
        "launch.substitutions": {"LaunchConfiguration": _LaunchConfiguration},
        "launch_ros": {},
        "launch_ros.actions": {"Node": _Recorded},
    }
    for name, members in modules.items():
        module = types.ModuleType(name)
        module.__dict__.update(members)
        sys.modules[name] = module


def _load(path):
    loader = importlib.machinery.SourceFileLoader("trash_pose_launch", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


def _command_line(node):
    """Arguments after the executable, as humble's launch_ros lays them out."""
    arguments = list(node.kwargs.get("arguments") or [])
    ros_arguments = node.kwargs.get("ros_arguments")
    if ros_arguments is not None:
        arguments += ["--ros-args"] + list(ros_arguments)
    return arguments + ["--ros-args"]


def main():
    _install_stand_ins()
    launch = _load(sys.argv[1])
    description = launch.generate_launch_description()
    declared = {a.args[0]: a.kwargs["default_value"] for a in description.args[0]
                if "default_value" in a.kwargs}
    node_function = description.args[0][-1].kwargs["function"]

    cases = [
        ("no ros_args", declared["ros_args"], ["--ros-args"]),
        ("--log-level info", "--log-level info",
         ["--ros-args", "--log-level", "info", "--ros-args"]),
        ("quoted remap", "-r '__node:=trash pose'",
         ["--ros-args", "-r", "__node:=trash pose", "--ros-args"]),
    ]
    failures = 0
    for label, value, expected in cases:
        context = dict(declared, ros_args=value)
        nodes = node_function(context)
        got = _command_line(nodes[0])
        if len(nodes) != 1 or got != expected:
            print(f"{label}: command line {got}, expected {expected}")
            failures += 1
        if "" in got:
            print(f"{label}: an empty argument reaches the node")
            failures += 1
        if nodes[0].kwargs.get("executable") != "velmoraplus_trash_pose_node":
            print(f"{label}: starts {nodes[0].kwargs.get('executable')}")
            failures += 1
    print(f"launch file: {len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
