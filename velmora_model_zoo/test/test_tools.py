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
The package's Python tools on small inputs, and its README against the readers' keys.

README.md names every key the model configuration and recording readers take.
make_test_model.py on the package's descriptions: with or without the onnx package it writes
the bytes the onnx helpers write for the same graph.  prepare_model.py on graphs with the
constructs of a YOLOv8-seg export: a quantised convolution chain, a Split with sizes as input,
a head constant that relies on broadcasting and a Softmax over a middle axis; a YOLOv8-like
head resized with --input-size; sibling convolutions to merge or keep apart; unusable input.
The prepared models must run in OpenCV and match numpy references.
Usage: test_tools.py <package_dir> (its tools/ and test/models/ are used).
Exit code 77 (skipped, after the README check) without python3-onnx or python3-opencv.
"""
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

PACKAGE = sys.argv[1]
TOOLS, MODELS = os.path.join(PACKAGE, "tools"), os.path.join(PACKAGE, "test", "models")
readme = open(os.path.join(PACKAGE, "README.md"), encoding="utf-8").read()
documented = set(re.findall(r"`([a-z_]+)`", readme) + re.findall(r"[{,]\s*([a-z_]+):", readme)
                 + re.findall(r"^\s*(?:- )?\{?([a-z_]+):", readme, re.MULTILINE))
keys = {}
for source, call in (("model_config.cpp", r'reader\.(?:text|integer|fraction|has|required)\("'),
                     ("recording.cpp", r'\["')):
    with open(os.path.join(PACKAGE, "src", source), encoding="utf-8") as f:
        keys.update({key: source for key in re.findall(call + r'([a-z_]+)"', f.read())})
missing = [f"{key} ({source})" for key, source in sorted(keys.items()) if key not in documented]
assert len(keys) >= 15 and not missing, f"README.md lacks {missing} of the {len(keys)} keys read"

try:
    import cv2
    import onnx
    from onnx import helper, numpy_helper, TensorProto
except ImportError as e:
    print(f"{e.name} missing: skipped")
    sys.exit(77)

sys.path.insert(0, TOOLS)
import make_test_model  # noqa: E402

TMP = tempfile.TemporaryDirectory()
rng = np.random.default_rng(3)
node, info = helper.make_node, helper.make_tensor_value_info


def tool(name, *args, **kwargs):
    return subprocess.run([sys.executable, os.path.join(TOOLS, name), *args],
                          capture_output=True, text=True, **kwargs)


def graph(nodes, size, outputs, inits, opset=12):
    """Return a model of input `images` (1, 3, H, W); outputs: name -> shape, inits: -> array."""
    return helper.make_model(helper.make_graph(
        nodes, "test", [info("images", TensorProto.FLOAT, [1, 3, size[1], size[0]])],
        [info(n, TensorProto.FLOAT, shape) for n, shape in outputs.items()],
        [numpy_helper.from_array(np.asarray(a), n) for n, a in inits.items()]),
        opset_imports=[helper.make_opsetid("", opset)])


def prepare(model, *args, x=None):
    """Run prepare_model.py on `model` (or bytes); return the run, the result, OpenCV's outputs."""
    src, dst = os.path.join(TMP.name, "in.onnx"), os.path.join(TMP.name, "out.onnx")
    with open(src, "wb") as f:
        f.write(model if isinstance(model, bytes) else model.SerializeToString())
    run = tool("prepare_model.py", src, dst, *args)
    if x is None:
        return run, None, None
    assert run.returncode == 0 and not os.path.exists(dst + ".unmerged"), run.stderr
    net = cv2.dnn.readNetFromONNX(dst)
    net.setInput(x)
    return run, onnx.load(dst), net.forward(["output0", "output1"])


def conv(x, w, b):
    """Return the numpy reference of a stride-1 Conv without padding."""
    windows = np.lib.stride_tricks.sliding_window_view(x[0], w.shape[2:], axis=(1, 2))
    return np.einsum("chwij,ocij->ohw", windows, w) + b[:, None, None]


def onnx_model(graph, opset, **fields):
    """Return onnx_writer.make_model's message as onnx.helper writes it."""
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)],
                             **fields).SerializeToString()


def cells(w, h):
    """Return YOLOv8's anchor points and strides: cell centres, x fastest, level after level."""
    return np.array([(x + 0.5, y + 0.5, s) for s in (8, 16, 32) for y in range(h // s)
                     for x in range(w // s)], np.float32).T


# make_test_model.py writes, with or without the onnx package, the bytes the onnx helpers write
# for the same graph (built here in-process with them).  Values the C++ tests cannot see:
# scene's sixth mask owns prototype 5, whose rect [308, 308, 16, 16] spans prototype centres
# 76.5..80.5 (distance times 16); crowd's fillers; the demo model's empty scene.
for name, value in {"FLOAT": TensorProto.FLOAT, "from_array": numpy_helper.from_array,
                    "make_graph": helper.make_graph, "make_model": onnx_model, "make_node": node,
                    "make_tensor_value_info": info}.items():
    setattr(make_test_model, name, value)
os.makedirs(os.path.join(TMP.name, "shim"))  # an onnx package that cannot be imported
with open(os.path.join(TMP.name, "shim", "onnx.py"), "w") as f:
    f.write("raise ImportError('onnx hidden by the test')\n")
known = {"scene": lambda det, protos: protos[0, 5, 78, 78] == 16 and protos[0, 5, 78, 76] == -8,
         "crowd": lambda det, protos: np.count_nonzero(det[0, 4:20].max(axis=0)) == 20 * 416,
         "demo_seg_640": lambda det, protos: not det.any() and (protos == -16).all()}
for path in [os.path.join(MODELS, n + ".yaml") for n in ("scene", "coco_map", "crowd")] + \
        [os.path.join(PACKAGE, "models", "demo_seg_640.yaml")]:
    name = os.path.basename(path)[:-5]
    det, protos, size, _ = make_test_model.build_outputs(make_test_model.load_description(path))
    for out, env in ("with", None), ("without", dict(os.environ, PYTHONPATH=TMP.name + "/shim")):
        run = tool("make_test_model.py", path, os.path.join(TMP.name, out), env=env)
        assert run.returncode == 0, run.stderr
        with open(os.path.join(TMP.name, out, name + ".onnx"), "rb") as f:
            assert f.read() == make_test_model.build_model(det, protos, size), f"{name} {out} onnx"
    assert known.get(name, lambda *_: True)(det, protos), f"{name}: not the described values"

# Opset 17: a dynamic-int8 convolution (folded into the float one it approximates), Split
# sizes as an input, a (1, N) strides constant broadcast into (1, 4, N), a Softmax over axis 1.
quantised = graph([
    node("DynamicQuantizeLinear", ["images"], ["x_q", "x_scale", "x_zp"]),
    node("ConvInteger", ["x_q", "w_q", "x_zp", "w_zp"], ["ci"], pads=[1] * 4, kernel_shape=[3, 3]),
    node("Cast", ["ci"], ["c_f"], to=TensorProto.FLOAT),
    node("Mul", ["x_scale", "w_scale"], ["scales"]), node("Mul", ["c_f", "scales"], ["c_s"]),
    node("Reshape", ["bias", "bias_shape"], ["bias_r"]), node("Add", ["c_s", "bias_r"], ["conv"]),
    node("Softmax", ["conv"], ["output1"], axis=1),
    node("Reshape", ["conv", "flat"], ["flat_out"], allowzero=0),
    node("Split", ["flat_out", "split"], ["a", "b"], axis=1),
    node("Mul", ["a", "strides"], ["a_s"]), node("Concat", ["a_s", "b"], ["output0"], axis=1)],
    (32, 32), {"output0": [1, 8, 1024], "output1": [1, 8, 32, 32]},
    {"w_q": rng.integers(-127, 128, (8, 3, 3, 3)).astype(np.int8), "w_zp": np.int8(0),
     "w_scale": np.float32(0.01), "bias": rng.normal(size=8).astype(np.float32),
     "bias_shape": [1, 8, 1, 1], "flat": [1, 8, 1024], "split": [4, 4],
     "strides": np.linspace(1, 4, 1024, dtype=np.float32).reshape(1, 1024)}, 17)
x = rng.uniform(0, 1, (1, 3, 32, 32)).astype(np.float32)
prepared = prepare(quantised, x=x)[1]
ops = [n.op_type for n in prepared.graph.node]
assert not set(ops) & {"DynamicQuantizeLinear", "ConvInteger", "Cast"}, ops
assert prepared.opset_import[0].version == 12
assert [o.name for o in prepared.graph.output] == ["output0", "output1"]
# opset 12 flattens around a Softmax axis: only the last axis means one axis there
assert next(n for n in prepared.graph.node if n.op_type == "Softmax").attribute[0].i == 3

# --input-size: a YOLOv8-like head exported for 64x64 (anchor points, per-anchor strides, the
# anchor count 84 in a Reshape), rewritten for 64x32: 8x4 + 4x2 + 2x1 anchors.
head_bias = np.array([[0.25], [-0.5]], np.float32)
head = graph(
    [node("Conv", ["images", f"w{s}", "bias"], [f"c{s}"], kernel_shape=[s, s], strides=[s, s])
     for s in (8, 16, 32)] + [node("Reshape", [f"c{s}", "flat"], [f"r{s}"]) for s in (8, 16, 32)]
    + [node("Concat", ["r8", "r16", "r32"], ["cat"], axis=2),
       node("Reshape", ["cat", "anchor_shape"], ["dist"]), node("Add", ["dist", "anchors"], ["c"]),
       node("Mul", ["c", "strides"], ["boxes"]),
       node("Concat", ["boxes", "boxes"], ["output0"], axis=1),
       node("Conv", ["images", "w_proto"], ["output1"], kernel_shape=[4, 4], strides=[4, 4])],
    (64, 64), {"output0": [1, 4, 84], "output1": [1, 2, 16, 16]},
    {"flat": [1, 2, -1], "anchor_shape": [1, 2, 84], "anchors": cells(64, 64)[None, :2],
     "bias": head_bias[:, 0], "strides": cells(64, 64)[None, 2],
     "w_proto": np.zeros((2, 3, 4, 4), np.float32),
     **{f"w{s}": np.zeros((2, 3, s, s), np.float32) for s in (8, 16, 32)}})
_, resized, (out0, out1) = prepare(head, "--input-size", "64x32",
                                   x=rng.uniform(0, 1, (1, 3, 32, 64)).astype(np.float32))
assert [d.dim_value for d in resized.graph.input[0].type.tensor_type.shape.dim] == [1, 3, 32, 64]
assert out0.shape == (1, 4, 42) and out1.shape == (1, 2, 8, 16), (out0.shape, out1.shape)
boxes = (head_bias + cells(64, 32)[:2]) * cells(64, 32)[2]
np.testing.assert_allclose(out0[0], np.concatenate([boxes, boxes]), rtol=1e-6)

# Convolutions that read one tensor, without a kernel_shape (the weights give it): the 3x3
# pair becomes one Conv and a Split with the same outputs, the 1x1 stays apart; --no-merge
# keeps all three.
wa, wb, w1, ba, bb, b1 = (rng.normal(size=s).astype(np.float32) for s in [
    (4, 3, 3, 3), (2, 3, 3, 3), (2, 3, 1, 1), 4, 2, 2])
siblings = graph([
    node("Conv", ["images", "wa", "ba"], ["a"]), node("Conv", ["images", "w1", "b1"], ["output1"]),
    node("Conv", ["images", "wb", "bb"], ["b"]), node("Concat", ["a", "b"], ["ab"], axis=1),
    node("Reshape", ["ab", "flat6"], ["output0"])],
    (32, 32), {"output0": [1, 6, 900], "output1": [1, 2, 32, 32]},
    {"wa": wa, "wb": wb, "w1": w1, "ba": ba, "bb": bb, "b1": b1, "flat6": [1, 6, -1]})
for args, convs, said in ([], 2, "2 sibling convolutions merged into 1"), (["--no-merge"], 3, ""):
    run, merged, (out0, out1) = prepare(siblings, *args, x=x)
    assert [n.op_type for n in merged.graph.node].count("Conv") == convs, args
    assert said in run.stdout and (not said or "merged graph within" in run.stdout), run.stdout
    ab = np.concatenate([conv(x, wa, ba), conv(x, wb, bb)]).reshape(6, 900)
    np.testing.assert_allclose(out0[0], ab, rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(out1[0], conv(x, w1, b1), rtol=1e-4, atol=1e-4)

# Whatever fails ends the tool with status 1 and one line naming the cause.
for model, args, cause in ((quantised, ["--input-size", "64x32"], "no YOLOv8 head anchor points"),
                           (head, ["--input-size", "64x40"], "must be multiples of 32"),
                           (b"not a model", [], "cannot read ONNX model"),
                           (b"", [], "holds no graph"),
                           (siblings, ["--class-map", "39:4,x"], "--class-map '39:4,x'")):
    run = prepare(model, *args)[0]
    assert run.returncode == 1 and run.stderr.startswith("prepare_model: ") and \
        run.stderr.count("\n") == 1 and cause in run.stderr, run.stderr
