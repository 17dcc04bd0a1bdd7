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
make_test_model.py on the package's descriptions.

Each file equals, byte for byte, the model the onnx helpers build from the same constants;
OpenCV runs it to the described outputs; with the onnx package hidden the tool writes the
same bytes.
Usage: test_make_test_model.py <tools_dir> <models_dir>.
Exit code 77 (skipped) when python3-onnx or python3-opencv is missing.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

try:
    from onnx import TensorProto, helper, numpy_helper
except ImportError:
    print("python3-onnx missing, no reference serialisation to compare with: skipped")
    sys.exit(77)
try:
    import cv2
except ImportError:
    print("python3-opencv missing: skipped")
    sys.exit(77)

TOOLS, MODELS = sys.argv[1], sys.argv[2]
sys.path.insert(0, TOOLS)
import make_test_model  # noqa: E402

DESCRIPTIONS = [os.path.join(MODELS, n + ".yaml") for n in ("scene", "coco_map", "crowd")] \
    + [os.path.join(MODELS, "..", "..", "models", "demo_seg_640.yaml")]


def reference(det, protos, net_w, net_h):
    c, n = det.shape[1], det.shape[2]
    t = numpy_helper.from_array
    inits = [t(np.zeros((c, 3, 1, 1), np.float32), "zero_w0"),
             t(np.zeros((c, c, 1, 1), np.float32), "zero_w1"),
             t(np.array([1, c, n], np.int64), "det_shape"), t(det, "det_values"),
             t(np.zeros((32, 3, 1, 1), np.float32), "zero_wp"), t(protos, "proto_values")]
    nodes = [
        helper.make_node("Conv", ["images", "zero_w0"], ["z0"], kernel_shape=[1, 1],
                         strides=[net_h, net_w]),
        helper.make_node("Conv", ["z0", "zero_w1"], ["z1"], kernel_shape=[1, 1],
                         pads=[0, 0, 0, n - 1]),
        helper.make_node("Reshape", ["z1", "det_shape"], ["z2"]),
        helper.make_node("Add", ["z2", "det_values"], ["output0"]),
        helper.make_node("Conv", ["images", "zero_wp"], ["z3"], kernel_shape=[1, 1],
                         strides=[4, 4]),
        helper.make_node("Add", ["z3", "proto_values"], ["output1"])]
    info = helper.make_tensor_value_info
    graph = helper.make_graph(
        nodes, "yolov8_seg_test", [info("images", TensorProto.FLOAT, [1, 3, net_h, net_w])],
        [info("output0", TensorProto.FLOAT, det.shape), info("output1", TensorProto.FLOAT,
                                                             protos.shape)], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)],
                              producer_name="velmora_model_zoo make_test_model")
    model.ir_version = 7
    return model.SerializeToString()


def column(det, cls, score):
    """Return the detection row of the one candidate with this class score."""
    hits = np.flatnonzero(det[0, 4 + cls] == np.float32(score))
    assert len(hits) == 1, (cls, score, hits)
    return det[0, :, hits[0]]


def check_known_values(name, det, protos):
    shapes = {"scene": (52, 8400, 160), "coco_map": (116, 2100, 80), "crowd": (52, 8400, 160),
              "demo_seg_640": (52, 8400, 160)}[name]
    assert det.shape == (1, shapes[0], shapes[1]) and protos.shape == (1, 32, shapes[2], shapes[2])
    if name == "scene":
        assert list(column(det, 4, 0.9)[:4]) == [140, 240, 80, 120]
        assert column(det, 12, 0.5)[20 + 5] == 1  # the sixth mask: prototype channel 5
        # its rect [308, 308, 16, 16] spans prototype centres 76.5..80.5
        assert protos[0, 5, 78, 78] == 16 and protos[0, 5, 78, 76] == -8
    if name == "coco_map":  # 640x480 into 320: scale 0.5, 40 rows of padding on top
        assert list(column(det, 39, 0.8)[:4]) == [65, 120, 30, 60]
    if name == "crowd":
        assert np.count_nonzero(det[0, 4:20].max(axis=0)) == 20 * 416
    if name == "demo_seg_640":
        assert not det.any() and (protos == -16).all()


failures = 0
with tempfile.TemporaryDirectory() as tmp:
    shim = os.path.join(tmp, "shim")  # an onnx package that cannot be imported
    os.makedirs(shim)
    with open(os.path.join(shim, "onnx.py"), "w") as f:
        f.write("raise ImportError('onnx hidden by the test')\n")
    tool = os.path.join(TOOLS, "make_test_model.py")
    for desc_path in DESCRIPTIONS:
        desc = make_test_model.load_description(desc_path)
        name = desc["name"]
        subprocess.run([sys.executable, tool, desc_path, os.path.join(tmp, "with")], check=True)
        subprocess.run([sys.executable, tool, desc_path, os.path.join(tmp, "without")],
                       check=True, env=dict(os.environ, PYTHONPATH=shim))
        written = {}
        for variant in ("with", "without"):
            with open(os.path.join(tmp, variant, name + ".onnx"), "rb") as f:
                written[variant] = f.read()
        det, protos, (net_w, net_h), _ = make_test_model.build_outputs(desc)
        net = cv2.dnn.readNetFromONNX(os.path.join(tmp, "without", name + ".onnx"))
        net.setInput(np.full((1, 3, net_h, net_w), 0.5, np.float32))
        out0, out1 = net.forward(["output0", "output1"])
        checks = {"same bytes as onnx": written["with"] == reference(det, protos, net_w, net_h),
                  "same bytes without onnx": written["without"] == written["with"],
                  "OpenCV outputs": np.array_equal(out0, det) and np.array_equal(out1, protos)}
        try:
            check_known_values(name, out0, out1)
            checks["known values"] = True
        except AssertionError as e:
            checks[f"known values {e}"] = False
        for what, ok in checks.items():
            print(f"{'ok  ' if ok else 'FAIL'} {name}: {what}")
            failures += not ok
sys.exit(1 if failures else 0)
