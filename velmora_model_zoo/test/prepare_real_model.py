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
Prepare the third-party YOLOv8n-seg for OpenCV when it is present, for the real-model tests.

Without it, python3-onnx (no rosdep key: a robot's workspace may lack it) or python3-opencv
(the check) this is no error: the model tests then skip themselves.  Writes the graph the tests
run, with its configuration; the same without merged convolutions, as the tool prepared it
before (the merge test's reference); the same for a 320x256 input (the size trade-off's test).
Usage: prepare_real_model.py PREPARE_MODEL_PY DATA_DIR OUT_DIR ($VELMORA_SHARED_DATA: DATA_DIR)
"""
import os
import subprocess
import sys

tool, data, out = sys.argv[1], os.environ.get("VELMORA_SHARED_DATA", sys.argv[2]), sys.argv[3]
src = os.path.join(data, "yolov8n_seg_int8_320", "yolov8n-seg_int8.onnx")
try:
    import cv2  # noqa: F401
    import onnx  # noqa: F401
except ImportError as e:
    sys.exit(print(f"python module {e.name} missing: real-model tests will skip"))
if not os.path.exists(src):
    sys.exit(print(f"no {src}: real-model tests will skip"))
os.makedirs(out, exist_ok=True)
name = os.path.join(out, "yolov8n_seg_320")
for dst, *options in ((".onnx", "--config", name + ".yaml"), ("_unmerged.onnx", "--no-merge"),
                      ("x256.onnx", "--input-size", "320x256")):
    subprocess.run([sys.executable, tool, src, name + dst, *options], check=True)
