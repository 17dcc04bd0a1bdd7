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
Write tiny ONNX graphs of one operator variant each, for the XNNPACK runner's operator test.

usage: make_op_models.py TOOLS_DIR OUT_DIR

Every graph reads "images" (1, 4, 9, 10) and writes "out0" and "out1".  Next to NAME.onnx go
NAME.input (the random input, raw little-endian float32) and, for the graphs OpenCV DNN 4.6
does not run as ONNX defines them, NAME.expected (out0 then out1, computed here with numpy).
Weights and inputs come from fixed seeds, so the files are the same on every build.
"""
import os
import sys

import numpy as np

SHAPE = (1, 4, 9, 10)


def nearest_index(size_in, size_out, scale, transform, rounding):
    """Return the source index of each output row or column, as ONNX Resize nearest has it."""
    o = np.arange(size_out, dtype=np.float64)
    if transform == "asymmetric":
        x = o / scale
    else:  # half_pixel
        x = (o + 0.5) / scale - 0.5
    r = {"floor": np.floor(x), "round_prefer_floor": np.ceil(x - 0.5),
         "round_prefer_ceil": np.floor(x + 0.5)}[rounding]
    return np.clip(r.astype(np.int64), 0, size_in - 1)


def resize(x, out_hw, scales, transform, rounding):
    rows = nearest_index(x.shape[2], out_hw[0], scales[0], transform, rounding)
    cols = nearest_index(x.shape[3], out_hw[1], scales[1], transform, rounding)
    return x[:, :, rows][:, :, :, cols]


def graphs(w, rng):
    """Yield (name, nodes, initializers, numpy reference or None) for every graph."""
    f32 = np.float32

    def weights(*shape):
        return rng.uniform(-1, 1, shape).astype(f32)

    yield "conv_grouped", [
        w.make_node("Conv", ["images", "w", "b"], ["out0"], group=2, kernel_shape=[3, 3],
                    strides=[2, 1], pads=[0, 1, 2, 0]),
        w.make_node("Conv", ["images", "w1"], ["out1"], group=4, kernel_shape=[3, 2],
                    dilations=[2, 3], strides=[1, 2], pads=[2, 0, 1, 3]),
    ], [w.from_array(weights(6, 2, 3, 3), "w"), w.from_array(weights(6), "b"),
        w.from_array(weights(4, 1, 3, 2), "w1")], None
    yield "conv_transpose", [
        w.make_node("ConvTranspose", ["images", "w", "b"], ["out0"], group=2,
                    kernel_shape=[3, 3], strides=[2, 2], pads=[1, 0, 1, 0],
                    output_padding=[1, 0]),
        w.make_node("ConvTranspose", ["images", "w1"], ["out1"], kernel_shape=[2, 3],
                    strides=[1, 3], pads=[0, 1, 0, 1]),
    ], [w.from_array(weights(4, 3, 3, 3), "w"), w.from_array(weights(6), "b"),
        w.from_array(weights(4, 5, 2, 3), "w1")], None
    # Conv -> Sigmoid -> Mul, which the runner folds into one step, then read by two others.
    yield "conv_silu", [
        w.make_node("Conv", ["images", "w", "b"], ["c"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        w.make_node("Sigmoid", ["c"], ["s"]),
        w.make_node("Mul", ["c", "s"], ["out0"]),
        w.make_node("MaxPool", ["out0"], ["out1"], kernel_shape=[2, 2], strides=[2, 2]),
    ], [w.from_array(weights(5, 4, 3, 3), "w"), w.from_array(weights(5), "b")], None
    yield "maxpool_pads", [
        w.make_node("MaxPool", ["images"], ["out0"], kernel_shape=[3, 3], strides=[2, 2],
                    pads=[1, 0, 2, 1]),
        w.make_node("MaxPool", ["images"], ["out1"], kernel_shape=[2, 4], strides=[3, 1],
                    pads=[0, 2, 1, 3]),
    ], [], None

    # 13 columns from 10 puts the seventh halfway between two input ones: it takes the first.
    def resize_reference(x):
        return [resize(x, (18, 15), (2.0, 1.5), "asymmetric", "floor"),
                resize(x, (5, 13), (5 / 9, 13 / 10), "half_pixel", "round_prefer_floor")]
    yield "resize_nearest", [
        w.make_node("Resize", ["images", "roi", "scales"], ["out0"], mode="nearest",
                    coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
        w.make_node("Resize", ["images", "roi", "none", "sizes"], ["out1"], mode="nearest",
                    coordinate_transformation_mode="half_pixel",
                    nearest_mode="round_prefer_floor"),
    ], [w.from_array(np.zeros(0, f32), "roi"), w.from_array(np.zeros(0, f32), "none"),
        w.from_array(np.array([1, 1, 2, 1.5], f32), "scales"),
        w.from_array(np.array([1, 4, 5, 13], np.int64), "sizes")], resize_reference
    yield "concat", [
        w.make_node("Sigmoid", ["images"], ["s"]),
        w.make_node("Concat", ["images", "s", "images"], ["out0"], axis=2),
        w.make_node("Concat", ["s", "images"], ["out1"], axis=-1),
    ], [], None
    yield "split_channels", [
        w.make_node("Split", ["images"], ["out0", "out1"], axis=1, split=[1, 3]),
    ], [], None
    yield "split_height", [
        w.make_node("Split", ["images"], ["out0", "out1"], axis=2, split=[2, 7]),
    ], [], None
    yield "transpose", [
        w.make_node("Transpose", ["images"], ["out0"], perm=[0, 2, 3, 1]),
        w.make_node("Transpose", ["images"], ["out1"], perm=[3, 1, 0, 2]),
    ], [], None
    yield "slice", [
        w.make_node("Slice", ["images", "s0", "e0", "a0"], ["out0"]),
        w.make_node("Slice", ["images", "s1", "e1", "a1"], ["out1"]),
    ], [w.from_array(np.array([1, -7], np.int64), "s0"),
        w.from_array(np.array([3, 100], np.int64), "e0"),
        w.from_array(np.array([2, 3], np.int64), "a0"),
        w.from_array(np.array([2, 1], np.int64), "s1"),
        w.from_array(np.array([-1, 9], np.int64), "e1"),
        w.from_array(np.array([-3, -2], np.int64), "a1")], None
    yield "softmax", [
        w.make_node("Reshape", ["images", "rows"], ["r"]),
        w.make_node("Softmax", ["r"], ["out0"], axis=2),
        w.make_node("Transpose", ["images"], ["t"], perm=[0, 2, 3, 1]),
        w.make_node("Softmax", ["t"], ["out1"], axis=-1),
    ], [w.from_array(np.array([1, 4, -1], np.int64), "rows")], None
    # Per channel and whole-tensor operands: OpenCV 4.6 broadcasts nothing else.
    yield "broadcast", [
        w.make_node("Sub", ["images", "per_channel"], ["a"]),
        w.make_node("Div", ["a", "divisor"], ["out0"]),
        w.make_node("Slice", ["images", "zero", "one", "one"], ["channel"]),
        w.make_node("Mul", ["images", "channel"], ["m"]),
        w.make_node("Add", ["m", "scalar"], ["out1"]),
    ], [w.from_array(weights(4, 1, 1), "per_channel"),
        w.from_array(rng.uniform(0.5, 2, (1, 4, 1, 1)).astype(f32), "divisor"),
        w.from_array(np.array([0], np.int64), "zero"),
        w.from_array(np.array([1], np.int64), "one"),
        w.from_array(np.array(0.25, f32), "scalar")], None


def main(argv):
    sys.path.insert(0, argv[1])
    import onnx_writer as w
    out_dir = argv[2]
    os.makedirs(out_dir, exist_ok=True)
    rng = np.random.default_rng(20260)
    for name, nodes, inits, reference in graphs(w, rng):
        outputs = [("out0", 3 if name == "softmax" else 4), ("out1", 4)]
        x = rng.uniform(-1, 1, SHAPE).astype(np.float32)
        # Only the outputs' ranks: both runners infer the sizes.
        graph = w.make_graph(
            nodes, name, [w.make_tensor_value_info("images", w.FLOAT, SHAPE)],
            [w.make_tensor_value_info(o, w.FLOAT, [None] * rank) for o, rank in outputs], inits)
        path = os.path.join(out_dir, name)
        with open(path + ".onnx", "wb") as f:
            f.write(w.make_model(graph, opset=12, producer_name="make_op_models", ir_version=7))
        x.astype("<f4").tofile(path + ".input")
        if reference is not None:
            np.concatenate([r.ravel() for r in reference(x)]).astype("<f4").tofile(
                path + ".expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
