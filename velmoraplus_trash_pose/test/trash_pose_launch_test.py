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
The integrator's commands, for real: the package's launch file, the service over DDS.

Starts the installed node through the installed launch file, as
`ros2 launch velmoraplus_trash_pose trash_pose.launch.py ARGS` does, with the bundled
sample's configuration seen through an overlay prefix, program log at warning, ROS log at
debug and the nodes in a namespace (quoted words and several ROS arguments reach the node
one word each). From this process, with rclpy: the sample's colour/depth pair is played on
camera slot 2's topics and the answer must equal the main job's (answer.yaml beside the
sample). After the launch: the node ended with status 0 on launch's SIGINT.

  python3 -m launch_testing.launch_test trash_pose_launch_test.py
  (environment: VELMORA_INSTALL_PREFIX, VELMORA_SAMPLE_DIR; set by the package's CMake)
"""

import array
import atexit
import fcntl
import os
import shutil
import sys
import tempfile
import time
import unittest

import cv2
from launch import LaunchDescription
from launch.actions import IncludeLaunchDescription
from launch.launch_description_sources import PythonLaunchDescriptionSource
import launch_testing
import launch_testing.actions
import launch_testing.asserts
import rclpy
import rclpy.executors
from sensor_msgs.msg import Image
from velmora_plus_interfaces.srv import DetectTrash
import yaml

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src",
                                "tools"))
import compare_answers  # noqa: E402
import config_overlay  # noqa: E402

PACKAGE = "velmoraplus_trash_pose"
SERVICE = "/velmoraplus_trash_pose/detect_trash"
SERVICE_TYPE = "velmora_plus_interfaces/srv/DetectTrash"
NODES = ["velmoraplus_trash_pose_cam1", "velmoraplus_trash_pose_cam2",
         "velmoraplus_trash_pose_cam3", "velmoraplus_trash_pose_detect"]
INSTALL_PREFIX = os.environ["VELMORA_INSTALL_PREFIX"]
SAMPLE_DIR = os.environ["VELMORA_SAMPLE_DIR"]
LAUNCH_FILE = os.path.join(INSTALL_PREFIX, "share", PACKAGE, "launch", "trash_pose.launch.py")
# A condition that does not come within this long has failed (emulated or loaded machines
# are slow; nothing here measures speed).
DEADLINE_S = 120.0


def _claim_ros_domain():
    """
    Claim a ROS domain id for this process's life, as the package's C++ tests do.

    ctest runs tests in parallel: each claims a free id in 1..101 (safe for every
    DDS port mapping) with a lock file, so no two tests see each other's nodes.
    """
    for domain in range(1, 102):
        lock = open(f"/tmp/velmora_ros_domain_{domain}.lock", "a")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            lock.close()
            continue
        os.environ["ROS_DOMAIN_ID"] = str(domain)
        os.environ["ROS_LOCALHOST_ONLY"] = "1"
        return lock
    raise RuntimeError("no free ROS domain id for the test (all of 1..101 claimed)")


# Held open (and so claimed) until the process ends; the launched node inherits the id.
_DOMAIN_LOCK = _claim_ros_domain()
_AMENT_PREFIX_PATH = os.environ.get("AMENT_PREFIX_PATH", "")


def _overlay_prefix():
    """Return an overlay prefix holding the sample's configuration, as an integrator makes one."""
    root = tempfile.mkdtemp(prefix="velmora_launch_")
    atexit.register(shutil.rmtree, root, True)
    return str(config_overlay.make_overlay(os.path.join(SAMPLE_DIR, "config"), root,
                                           INSTALL_PREFIX))


def generate_test_description():
    prefixes = [_overlay_prefix(), INSTALL_PREFIX]
    os.environ["AMENT_PREFIX_PATH"] = ":".join(
        prefixes + [p for p in _AMENT_PREFIX_PATH.split(":") if p])
    arguments = {"spdlog_level": "warning", "ros_args": "--log-level 'debug' -r __ns:=/robot"}
    return LaunchDescription([
        IncludeLaunchDescription(PythonLaunchDescriptionSource(LAUNCH_FILE),
                                 launch_arguments=arguments.items()),
        launch_testing.actions.ReadyToTest(),
    ])


def _output(proc_output):
    """Everything the launched processes wrote so far, both streams, one string."""
    return "".join(event.text.decode(errors="replace") for event in proc_output)


def _wait_for_output(proc_output, text):
    """Wait until text is in the output (program log on stdout, ROS log on stderr)."""
    deadline = time.monotonic() + DEADLINE_S
    with proc_output.io_event:
        while text not in _output(proc_output):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {text!r} in the output within {DEADLINE_S} s")
            proc_output.io_event.wait(left)


def _image(array_, encoding, stamp):
    msg = Image()
    msg.header.stamp = stamp
    msg.header.frame_id = "camera_base"
    msg.height, msg.width = array_.shape[:2]
    msg.encoding = encoding
    msg.step = array_.strides[0]
    msg.data = array.array("B", array_.tobytes())
    return msg


class TestIntegratorCommands(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.context = rclpy.Context()
        rclpy.init(context=cls.context)
        cls.node = rclpy.create_node("velmora_integrator", context=cls.context)
        cls.executor = rclpy.executors.SingleThreadedExecutor(context=cls.context)
        cls.executor.add_node(cls.node)

    @classmethod
    def tearDownClass(cls):
        cls.executor.shutdown()
        cls.node.destroy_node()
        rclpy.shutdown(context=cls.context)

    def _wait_until(self, condition, what):
        deadline = time.monotonic() + DEADLINE_S
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            self.executor.spin_once(timeout_sec=0.1)
        self.fail(f"{what}: not within {DEADLINE_S} s")

    def _service_ready(self):
        client = self.node.create_client(DetectTrash, SERVICE)
        self._wait_until(client.service_is_ready, f"service {SERVICE}")
        return client

    def test_1_launch_arguments_reach_the_nodes(self, proc_output):
        # The nodes in the namespace, the service with its type; "executor start" follows
        # every start-up line of the program log, whose info lines the warning level hides;
        # the ROS log shows its debug lines.
        self._service_ready()
        types = dict(self.node.get_service_names_and_types())
        self.assertEqual(types.get(SERVICE), [SERVICE_TYPE])
        want = {(name, "/robot") for name in NODES}
        self._wait_until(lambda: want <= set(self.node.get_node_names_and_namespaces()),
                         f"nodes {sorted(want)}")
        _wait_for_output(proc_output, "executor start")
        _wait_for_output(proc_output, "[DEBUG]")
        self.assertNotIn("trash_pose_detect_config_path", _output(proc_output))

    def test_2_the_sample_answered_as_by_the_main_job(self):
        client = self._service_ready()
        request = DetectTrash.Request(cmd=1, cam_choice=1)
        with open(os.path.join(SAMPLE_DIR, "config", "cam2_detect_config.yaml")) as f:
            camera = yaml.safe_load(f)["camera_detection_params"]
        colour = cv2.cvtColor(cv2.imread(os.path.join(SAMPLE_DIR, "color.png")),
                              cv2.COLOR_BGR2RGB)
        depth = cv2.imread(os.path.join(SAMPLE_DIR, "depth.png"), cv2.IMREAD_UNCHANGED)
        rgb_pub = self.node.create_publisher(Image, camera["rgb_topic"], 10)
        depth_pub = self.node.create_publisher(Image, camera["depth_topic"], 10)

        def play():
            stamp = self.node.get_clock().now().to_msg()
            rgb_pub.publish(_image(colour, "rgb8", stamp))
            depth_pub.publish(_image(depth, "16UC1", stamp))

        timer = self.node.create_timer(0.1, play)
        future = client.call_async(request)
        self._wait_until(future.done, "the answer")
        self.node.destroy_timer(timer)
        got = compare_answers.from_response(future.result())
        expected = compare_answers.load_answers(os.path.join(SAMPLE_DIR, "answer.yaml"))[0]
        self.assertEqual(compare_answers.differences(expected, got), [])
        self.assertEqual(future.result().message, "")


@launch_testing.post_shutdown_test()
class TestShutdown(unittest.TestCase):

    def test_node_ended_with_status_0_on_sigint(self, proc_info):
        launch_testing.asserts.assertExitCodes(proc_info)
