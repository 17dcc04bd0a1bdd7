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
Starts the trash pose node with its program-log settings as launch arguments.

    ros2 launch velmoraplus_trash_pose trash_pose.launch.py \
        spdlog_systemd:=true spdlog_level:=info ros_args:="--log-level info"
"""

import shlex

from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument, OpaqueFunction, SetEnvironmentVariable
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node

PACKAGE = "velmoraplus_trash_pose"
EXECUTABLE = "velmoraplus_trash_pose_node"


def node_ros_arguments(ros_args):
    """
    Return the node's ROS arguments from the ros_args launch argument, one item a word.

    launch_ros passes each item as one command-line argument and puts "--ros-args"
    before them: a whole "--log-level info" or an empty item would reach rclcpp as
    one unknown ROS argument. None when there are none, so that no empty ROS
    section is added.
    """
    words = shlex.split(ros_args)
    return words or None


def _node(context):
    ros_args = LaunchConfiguration("ros_args").perform(context)
    return [Node(
        package=PACKAGE,
        executable=EXECUTABLE,
        output="screen",
        emulate_tty=True,
        ros_arguments=node_ros_arguments(ros_args),
    )]


def generate_launch_description():
    arguments = [
        DeclareLaunchArgument(
            "spdlog_stdout", default_value="true",
            description="program log on standard output: true or false"),
        DeclareLaunchArgument(
            "spdlog_systemd", default_value="false",
            description="program log to the systemd journal: true or false"),
        DeclareLaunchArgument(
            "spdlog_level", default_value="info",
            description="trace, debug, info, warning, error or critical"),
        DeclareLaunchArgument(
            "ros_args", default_value="",
            description="extra ROS arguments for the node, e.g. '--log-level debug'"),
    ]
    environment = [
        SetEnvironmentVariable("SPDLOG_STDOUT", LaunchConfiguration("spdlog_stdout")),
        SetEnvironmentVariable("SPDLOG_SYSTEMD", LaunchConfiguration("spdlog_systemd")),
        SetEnvironmentVariable("SPDLOG_LEVEL", LaunchConfiguration("spdlog_level")),
    ]
    return LaunchDescription(arguments + environment + [OpaqueFunction(function=_node)])
