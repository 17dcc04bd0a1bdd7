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
prepare_model.py on small graphs with the constructs of a YOLOv8-seg export.

The graphs: a quantised convolution chain, a Split with sizes as input, a head constant that
relies on broadcasting and a Softmax over a middle axis; a YOLOv8-like head resized with
--input-size; sibling convolutions to merge or keep apart; unreadable input.  The prepared
models must run in OpenCV and match numpy references.
Exit code 77 (skipped) when python3-opencv is missing.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

try:
    import cv2
except ImportError:
    print("python3-opencv missing: skipped")
    sys.exit(77)

TOOL = sys.argv[1]
rng = np.random.default_rng(3)
w_q = rng.integers(-127, 128, (8, 3, 3, 3)).astype(np.int8)
w_scale = np.float32(0.01)
bias = rng.normal(size=8).astype(np.float32)
strides = np.linspace(1, 4, 1024, dtype=np.float32).reshape(1, 1024)

inits = [
    numpy_helper.from_array(w_q, "w_q"),
    numpy_helper.from_array(np.array(0, np.int8), "w_zp"),
    numpy_helper.from_array(np.array(w_scale), "w_scale"),
    numpy_helper.from_array(bias, "bias"),
    numpy_helper.from_array(np.array([1, 8, 1, 1], np.int64), "bias_shape"),
    numpy_helper.from_array(np.array([1, 8, 1024], np.int64), "flat"),
    numpy_helper.from_array(np.array([4, 4], np.int64), "split"),
    numpy_helper.from_array(strides, "strides"),
]
nodes = [
    helper.make_node("DynamicQuantizeLinear", ["images"], ["x_q", "x_scale", "x_zp"]),
    helper.make_node("ConvInteger", ["x_q", "w_q", "x_zp", "w_zp"], ["c_i"], pads=[1, 1, 1, 1],
                     kernel_shape=[3, 3]),
    helper.make_node("Cast", ["c_i"], ["c_f"], to=TensorProto.FLOAT),
    helper.make_node("Mul", ["x_scale", "w_scale"], ["scales"]),
    helper.make_node("Mul", ["c_f", "scales"], ["c_s"]),
    helper.make_node("Reshape", ["bias", "bias_shape"], ["bias_r"]),
    helper.make_node("Add", ["c_s", "bias_r"], ["conv"]),
    helper.make_node("Softmax", ["conv"], ["output1"], axis=1),
    helper.make_node("Reshape", ["conv", "flat"], ["flat_out"], allowzero=0),
    helper.make_node("Split", ["flat_out", "split"], ["a", "b"], axis=1),
    helper.make_node("Mul", ["a", "strides"], ["a_scaled"]),
    helper.make_node("Concat", ["a_scaled", "b"], ["output0"], axis=1),
]
graph = helper.make_graph(
    nodes, "quantised",
    [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 32, 32])],
    [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 8, 1024]),
     helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 8, 32, 32])],
    inits)
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])

with tempfile.TemporaryDirectory() as tmp:
    src, dst = os.path.join(tmp, "q.onnx"), os.path.join(tmp, "p.onnx")
    onnx.save(model, src)
    subprocess.run([sys.executable, TOOL, src, dst], check=True)
    prepared = onnx.load(dst)
    ops = {n.op_type for n in prepared.graph.node}
    assert not ops & {"DynamicQuantizeLinear", "ConvInteger", "Cast"}, ops
    assert prepared.opset_import[0].version == 12
    assert [o.name for o in prepared.graph.output] == ["output0", "output1"]
    # opset 12 flattens around a Softmax axis: only the last axis means one axis there
    softmax = next(n for n in prepared.graph.node if n.op_type == "Softmax")
    assert softmax.attribute[0].i == 3, softmax

    x = rng.uniform(0, 1, (1, 3, 32, 32)).astype(np.float32)
    net = cv2.dnn.readNetFromONNX(dst)
    net.setInput(x)
    out0, out1 = net.forward(["output0", "output1"])

# numpy reference: the float convolution the quantised chain approximates
w = w_q.astype(np.float32) * w_scale
xp = np.pad(x[0], ((0, 0), (1, 1), (1, 1)))
conv = np.zeros((8, 32, 32), np.float32)
for dy in range(3):
    for dx in range(3):
        conv += np.einsum("oc,chw->ohw", w[:, :, dy, dx], xp[:, dy:dy + 32, dx:dx + 32])
conv += bias[:, None, None]
flat = conv.reshape(8, 1024)
ref0 = np.concatenate([flat[:4] * strides, flat[4:]])[None]
ref1 = (np.exp(conv) / np.exp(conv).sum(axis=0, keepdims=True))[None]
np.testing.assert_allclose(out0, ref0, rtol=1e-4, atol=1e-4)
np.testing.assert_allclose(out1, ref1, rtol=1e-4, atol=1e-5)
print("prepared model matches the float reference")

# --input-size: a YOLOv8-like head (anchor points, per-anchor strides that need broadcasting,
# an explicit anchor count in a Reshape) exported for 64x64, rewritten for 64x32.  The 64x64
# constants cell by cell, x fastest, level after level: 8x8 + 4x4 + 2x2 anchors.
cells = [(x + 0.5, y + 0.5, s) for s in (8, 16, 32) for y in range(64 // s)
         for x in range(64 // s)]
points = np.array([c[:2] for c in cells], np.float32).T
head_strides = np.array([c[2] for c in cells], np.float32)
n0 = 84
assert points.shape == (2, n0)
bias = np.array([0.25, -0.5], np.float32)
inits = [numpy_helper.from_array(np.array([1, 2, -1], np.int64), "flat"),
         numpy_helper.from_array(np.array([1, 2, n0], np.int64), "anchor_shape"),
         numpy_helper.from_array(points[None], "anchors"),
         numpy_helper.from_array(head_strides[None], "strides"),
         numpy_helper.from_array(np.zeros((2, 3, 4, 4), np.float32), "w_proto"),
         numpy_helper.from_array(bias, "bias")]
nodes, levels = [], []
for s in (8, 16, 32):
    inits.append(numpy_helper.from_array(np.zeros((2, 3, s, s), np.float32), f"w{s}"))
    nodes += [helper.make_node("Conv", ["images", f"w{s}", "bias"], [f"c{s}"],
                               kernel_shape=[s, s], strides=[s, s]),
              helper.make_node("Reshape", [f"c{s}", "flat"], [f"r{s}"])]
    levels.append(f"r{s}")
nodes += [helper.make_node("Concat", levels, ["cat"], axis=2),
          helper.make_node("Reshape", ["cat", "anchor_shape"], ["dist"]),
          helper.make_node("Add", ["dist", "anchors"], ["cells"]),
          helper.make_node("Mul", ["cells", "strides"], ["boxes"]),
          helper.make_node("Concat", ["boxes", "boxes"], ["output0"], axis=1),
          helper.make_node("Conv", ["images", "w_proto"], ["output1"], kernel_shape=[4, 4],
                           strides=[4, 4])]
graph = helper.make_graph(
    nodes, "head",
    [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 64, 64])],
    [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 4, n0]),
     helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 2, 16, 16])],
    inits)
head = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)])

with tempfile.TemporaryDirectory() as tmp:
    src, dst = os.path.join(tmp, "head.onnx"), os.path.join(tmp, "head_64x32.onnx")
    onnx.save(head, src)
    subprocess.run([sys.executable, TOOL, src, dst, "--input-size", "64x32"], check=True)
    resized = onnx.load(dst)
    assert [d.dim_value for d in resized.graph.input[0].type.tensor_type.shape.dim] == \
        [1, 3, 32, 64]
    net = cv2.dnn.readNetFromONNX(dst)
    net.setInput(rng.uniform(0, 1, (1, 3, 32, 64)).astype(np.float32))
    out0, out1 = net.forward(["output0", "output1"])

    # A graph without such a head is refused, naming what is missing.
    onnx.save(model, os.path.join(tmp, "q.onnx"))
    bad = subprocess.run([sys.executable, TOOL, os.path.join(tmp, "q.onnx"), dst,
                          "--input-size", "64x32"], capture_output=True, text=True)
    assert bad.returncode == 1 and "no YOLOv8 head anchor points" in bad.stderr, bad.stderr
    odd = subprocess.run([sys.executable, TOOL, src, dst, "--input-size", "64x40"],
                         capture_output=True, text=True)
    assert odd.returncode == 1 and "multiples of 32" in odd.stderr, odd.stderr
    # Unreadable or empty input: one line, not a traceback.
    for name, content in (("junk.onnx", b"not a model"), ("empty.onnx", b"")):
        with open(os.path.join(tmp, name), "wb") as f:
            f.write(content)
        bad = subprocess.run([sys.executable, TOOL, os.path.join(tmp, name), dst],
                             capture_output=True, text=True)
        assert bad.returncode == 1 and bad.stderr.startswith("prepare_model: ") and \
            bad.stderr.count("\n") == 1, bad.stderr

# 64x32: 8x4 anchors of stride 8, 4x2 of stride 16, 2x1 of stride 32.
assert out0.shape == (1, 4, 42), out0.shape
assert out1.shape == (1, 2, 8, 16), out1.shape
strides_64x32 = np.array([8] * 32 + [16] * 8 + [32] * 2, np.float32)
points_64x32 = {0: (0.5, 0.5), 1: (1.5, 0.5), 8: (0.5, 1.5), 31: (7.5, 3.5),  # stride 8
                32: (0.5, 0.5), 39: (3.5, 1.5),                              # stride 16
                40: (0.5, 0.5), 41: (1.5, 0.5)}                              # stride 32
for i, point in points_64x32.items():
    expected = (bias + np.array(point, np.float32)) * strides_64x32[i]
    np.testing.assert_allclose(out0[0, :, i], np.tile(expected, 2), rtol=1e-6, err_msg=f"{i}")
# Every anchor's stride: the x row over it gives 0.25 + a cell centre of its level (a wrong
# stride leaves a quarter over).
cell_x = out0[0, 0] / strides_64x32 - bias[0]
np.testing.assert_allclose(cell_x, np.round(cell_x - 0.5) + 0.5, atol=1e-5)
assert (cell_x > 0).all() and (cell_x < np.repeat([8, 4, 2], [32, 8, 2])).all(), cell_x
print("the head's anchors, strides and anchor count follow the new input size")

# Convolutions that read one tensor with the same geometry become one Conv and a Split, with
# the same outputs.
wa = rng.normal(size=(4, 3, 3, 3)).astype(np.float32)
wb = rng.normal(size=(2, 3, 3, 3)).astype(np.float32)
ba, bb = rng.normal(size=4).astype(np.float32), rng.normal(size=2).astype(np.float32)
graph = helper.make_graph(
    [helper.make_node("Conv", ["images", "wa", "ba"], ["a"], kernel_shape=[3, 3],
                      pads=[1, 1, 1, 1]),
     helper.make_node("Conv", ["images", "wb", "bb"], ["b"], kernel_shape=[3, 3],
                      pads=[1, 1, 1, 1]),
     helper.make_node("Concat", ["a", "b"], ["ab"], axis=1),
     helper.make_node("Reshape", ["ab", "flat6"], ["output0"]),
     helper.make_node("Sigmoid", ["a"], ["output1"])],
    "siblings",
    [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 32, 32])],
    [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 6, 1024]),
     helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 4, 32, 32])],
    [numpy_helper.from_array(w, n) for w, n in ((wa, "wa"), (wb, "wb"), (ba, "ba"), (bb, "bb"))]
    + [numpy_helper.from_array(np.array([1, 6, -1], np.int64), "flat6")])
with tempfile.TemporaryDirectory() as tmp:
    src, dst = os.path.join(tmp, "siblings.onnx"), os.path.join(tmp, "merged.onnx")
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)]), src)
    run = subprocess.run([sys.executable, TOOL, src, dst], check=True, capture_output=True,
                         text=True)
    assert "2 sibling convolutions merged into 1" in run.stdout, run.stdout
    assert "merged graph within" in run.stdout, run.stdout
    merged = onnx.load(dst)
    assert [n.op_type for n in merged.graph.node].count("Conv") == 1
    assert not os.path.exists(dst + ".unmerged")
    x = rng.uniform(0, 1, (1, 3, 32, 32)).astype(np.float32)
    net = cv2.dnn.readNetFromONNX(dst)
    net.setInput(x)
    out0, out1 = net.forward(["output0", "output1"])


def conv(x, w, b, pad):
    """Return the numpy reference of a stride-1 Conv."""
    k = w.shape[2]
    xp = np.pad(x[0], ((0, 0), (pad, pad), (pad, pad)))
    size = xp.shape[1] - k + 1
    out = np.zeros((w.shape[0], size, size), np.float32)
    for dy in range(k):
        for dx in range(k):
            out += np.einsum("oc,chw->ohw", w[:, :, dy, dx], xp[:, dy:dy + size, dx:dx + size])
    return out + b[:, None, None]


a_ref, b_ref = conv(x, wa, ba, 1), conv(x, wb, bb, 1)
np.testing.assert_allclose(out0[0], np.concatenate([a_ref, b_ref]).reshape(6, 1024), rtol=1e-4,
                           atol=1e-4)
np.testing.assert_allclose(out1[0], 1 / (1 + np.exp(-a_ref)), rtol=1e-4, atol=1e-5)
print("sibling convolutions merged with the same outputs")

# Siblings without a kernel_shape (it then comes from the weights): a 3x3 pair merges, the
# 1x1 beside them does not.
w1 = rng.normal(size=(2, 3, 1, 1)).astype(np.float32)
b1 = rng.normal(size=2).astype(np.float32)
graph = helper.make_graph(
    [helper.make_node("Conv", ["images", "wa", "ba"], ["a"]),
     helper.make_node("Conv", ["images", "w1", "b1"], ["output1"]),
     helper.make_node("Conv", ["images", "wb", "bb"], ["b"]),
     helper.make_node("Concat", ["a", "b"], ["ab"], axis=1),
     helper.make_node("Reshape", ["ab", "flat6"], ["output0"])],
    "kernels",
    [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 32, 32])],
    [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 6, 900]),
     helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 2, 32, 32])],
    [numpy_helper.from_array(w, n)
     for w, n in ((wa, "wa"), (wb, "wb"), (w1, "w1"), (ba, "ba"), (bb, "bb"), (b1, "b1"))]
    + [numpy_helper.from_array(np.array([1, 6, -1], np.int64), "flat6")])
with tempfile.TemporaryDirectory() as tmp:
    src, dst = os.path.join(tmp, "kernels.onnx"), os.path.join(tmp, "merged.onnx")
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)]), src)
    run = subprocess.run([sys.executable, TOOL, src, dst], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "2 sibling convolutions merged into 1" in run.stdout, run.stdout
    merged = onnx.load(dst)
    assert [n.op_type for n in merged.graph.node].count("Conv") == 2
    net = cv2.dnn.readNetFromONNX(dst)
    net.setInput(x)
    out0, out1 = net.forward(["output0", "output1"])
np.testing.assert_allclose(
    out0[0], np.concatenate([conv(x, wa, ba, 0), conv(x, wb, bb, 0)]).reshape(6, 900),
    rtol=1e-4, atol=1e-4)
np.testing.assert_allclose(out1[0], conv(x, w1, b1, 0), rtol=1e-4, atol=1e-4)
print("convolutions of different kernels stay apart")
