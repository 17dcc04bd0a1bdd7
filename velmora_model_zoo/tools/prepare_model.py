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
Rewrite a stock YOLOv8-seg ONNX export into a graph that OpenCV 4.5/4.6 DNN runs.

OpenCV 4.5/4.6 cannot import or run an Ultralytics export as it comes:
  * dynamic-int8 exports (onnxruntime quantize_dynamic) use DynamicQuantizeLinear and
    ConvInteger, which the importer does not know;
  * opset 13+ passes Split sizes, Squeeze/Unsqueeze axes and Reduce axes as inputs, which
    4.6 ignores or rejects (Split then splits equally);
  * the head multiplies a (1, N) strides constant into a (1, 4, N) tensor, and the importer
    cannot broadcast a constant of another rank there.

The tool therefore
  1. folds each DynamicQuantizeLinear -> ConvInteger -> Cast -> Mul(scales) [-> Add(bias)]
     chain into one float Conv with weights (w_q - w_zp) * w_scale,
  2. writes opset 12 (Split sizes and axes as attributes, no Reshape allowzero, an empty
     `roi` input for Resize) and gives each Conv without a kernel_shape its weights' one,
     which OpenCV requires,
  3. expands every constant operand of an element-wise operator that relies on broadcasting
     (more than one element, shape different from the result) to the full result shape,
and keeps the graph inputs and outputs as they are.  It then
  4. merges convolutions that read the same tensor with the same geometry (YOLOv8's box,
     class and mask-coefficient branches and the prototype branch) into one Conv and a
     Split: one im2row and one larger matrix product instead of three or four; the check
     compares the merged graph's outputs with the unmerged one's.
With --input-size WxH it also rewrites
the constants of the YOLOv8 head that depend on the input size (anchor points, strides and
the anchor count in Reshape shapes) for another network input: a constant is rewritten only
when it equals, exactly, what the head computes for the exported size.  Unless --no-check is
given the result is loaded and run with the Python OpenCV (python3-opencv) and its output
shapes are checked against the YOLOv8-seg layout.

usage: prepare_model.py INPUT.onnx OUTPUT.onnx [--input-size WxH] [--config MODEL.yaml]
                        [--class-map NET:CLASS,...] [--no-check]
"""
import argparse
import os
import sys
import time

import numpy as np
import onnx
from onnx import helper, numpy_helper, shape_inference

TARGET_OPSET = 12
TARGET_IR = 7
ELEMENTWISE = {"Add", "Sub", "Mul", "Div"}
# Operators the rewritten graph may hold; anything else is reported instead of being
# written into a model that would fail later inside OpenCV.
SUPPORTED = {
    "Conv", "ConvTranspose", "Add", "Sub", "Mul", "Div", "Sigmoid", "Relu", "Concat",
    "Reshape", "Transpose", "Softmax", "Split", "Slice", "MaxPool", "Resize", "Identity",
    "Squeeze", "Unsqueeze", "Flatten", "Gather", "Cast", "Constant", "Shape", "Pow",
    "Sqrt", "Exp", "Tanh", "LeakyRelu", "BatchNormalization", "AveragePool", "ReduceMean",
    "ReduceMax", "ReduceSum",
}
MAX_EXPANDED_ELEMENTS = 16 * 1024 * 1024
# Strides of YOLOv8's three detection levels.
HEAD_STRIDES = (8, 16, 32)


class PrepareError(RuntimeError):
    pass


class Graph:
    """Index of a graph's producers, consumers and constants for in-place rewriting."""

    def __init__(self, graph):
        self.graph = graph
        self.inits = {i.name: i for i in graph.initializer}
        self.producer = {}
        self.consumers = {}
        for node in graph.node:
            for o in node.output:
                self.producer[o] = node
            for i in node.input:
                self.consumers.setdefault(i, []).append(node)

    def constant(self, name):
        """Value of a tensor that is an initializer or a Reshape/Constant of constants."""
        if name in self.inits:
            return numpy_helper.to_array(self.inits[name])
        node = self.producer.get(name)
        if node is None:
            return None
        if node.op_type == "Constant":
            return numpy_helper.to_array(node.attribute[0].t)
        if node.op_type == "Reshape":
            data, shape = self.constant(node.input[0]), self.constant(node.input[1])
            if data is not None and shape is not None:
                return data.reshape([int(s) for s in shape])
        return None

    def only_consumer(self, name, op_type):
        users = self.consumers.get(name, [])
        if len(users) == 1 and users[0].op_type == op_type:
            return users[0]
        return None


def add_init(graph, name, array):
    graph.initializer.append(numpy_helper.from_array(np.ascontiguousarray(array), name))


def fold_conv_integer(model):
    """Replace each quantised convolution chain with one float Conv; returns the count."""
    g = model.graph
    idx = Graph(g)
    new_nodes = {}
    for node in g.node:
        if node.op_type != "ConvInteger":
            continue
        x_q, w_name = node.input[0], node.input[1]
        dql = idx.producer.get(x_q)
        if dql is None or dql.op_type != "DynamicQuantizeLinear":
            raise PrepareError(f"ConvInteger '{node.name}': input '{x_q}' does not come from "
                               "DynamicQuantizeLinear")
        w_q = idx.constant(w_name)
        w_zp = idx.constant(node.input[3]) if len(node.input) > 3 and node.input[3] else 0
        cast = idx.only_consumer(node.output[0], "Cast")
        mul = idx.only_consumer(cast.output[0], "Mul") if cast is not None else None
        if w_q is None or w_zp is None or mul is None:
            raise PrepareError(f"ConvInteger '{node.name}': not the pattern ConvInteger -> Cast "
                               "-> Mul(scales) with constant weights")
        scales_name = mul.input[1] if mul.input[0] == cast.output[0] else mul.input[0]
        scales = idx.producer.get(scales_name)
        if scales is None or scales.op_type != "Mul":
            raise PrepareError(f"ConvInteger '{node.name}': scale '{scales_name}' is not "
                               "input_scale * weight_scale")
        w_scale = None
        for s in scales.input:
            if s != dql.output[1]:
                w_scale = idx.constant(s)
        if w_scale is None:
            raise PrepareError(f"ConvInteger '{node.name}': weight scale is not a constant")
        out_channels = w_q.shape[0]
        zp = np.asarray(w_zp, np.float32).reshape(-1)
        sc = np.asarray(w_scale, np.float32).reshape(-1)
        if zp.size not in (1, out_channels) or sc.size not in (1, out_channels):
            raise PrepareError(f"ConvInteger '{node.name}': scale/zero point of size "
                               f"{sc.size}/{zp.size} for {out_channels} output channels")
        bshape = (-1,) + (1,) * (w_q.ndim - 1)
        weight = (w_q.astype(np.float32) - zp.reshape(bshape)) * sc.reshape(bshape)

        inputs = [dql.input[0], node.name + "_float_weight"]
        add_init(g, inputs[1], weight.astype(np.float32))
        output = mul.output[0]
        bias_add = idx.only_consumer(mul.output[0], "Add")
        if bias_add is not None:
            other = bias_add.input[1] if bias_add.input[0] == mul.output[0] else bias_add.input[0]
            bias = idx.constant(other)
            if bias is not None and bias.size == out_channels:
                inputs.append(node.name + "_float_bias")
                add_init(g, inputs[2], bias.reshape(-1).astype(np.float32))
                output = bias_add.output[0]
        conv = helper.make_node("Conv", inputs, [output], name=node.name.replace("_quant", ""))
        conv.attribute.extend(node.attribute)
        new_nodes[output] = conv

    if not new_nodes:
        return 0
    nodes = [new_nodes.get(n.output[0], n) for n in g.node]
    del g.node[:]
    g.node.extend(nodes)
    return len(new_nodes)


def remove_dead(model):
    """Drop nodes and initializers that no graph output depends on."""
    g = model.graph
    needed = {o.name for o in g.output}
    keep = []
    for node in reversed(list(g.node)):
        if any(o in needed for o in node.output):
            keep.append(node)
            needed.update(i for i in node.input if i)
    keep.reverse()
    del g.node[:]
    g.node.extend(keep)
    inits = [i for i in g.initializer if i.name in needed]
    del g.initializer[:]
    g.initializer.extend(inits)


def set_attr(node, name, value):
    for a in list(node.attribute):
        if a.name == name:
            node.attribute.remove(a)
    if value is not None:
        node.attribute.extend([helper.make_attribute(name, value)])


def to_opset12(model):
    """Move inputs that became attributes after opset 12 back into attributes."""
    g = model.graph
    idx = Graph(g)
    for node in g.node:
        op = node.op_type
        if op == "Split" and len(node.input) > 1 and node.input[1]:
            sizes = idx.constant(node.input[1])
            if sizes is None:
                raise PrepareError(f"Split '{node.name}': sizes '{node.input[1]}' not constant")
            set_attr(node, "split", [int(s) for s in sizes])
            del node.input[1:]
        elif op in ("Squeeze", "Unsqueeze", "ReduceMean", "ReduceMax", "ReduceSum") \
                and len(node.input) > 1 and node.input[1]:
            axes = idx.constant(node.input[1])
            if axes is None:
                raise PrepareError(f"{op} '{node.name}': axes '{node.input[1]}' not constant")
            set_attr(node, "axes", [int(a) for a in axes])
            del node.input[1:]
        elif op == "Reshape":
            set_attr(node, "allowzero", None)
        elif op == "Conv" and not any(a.name == "kernel_shape" for a in node.attribute):
            weight = idx.constant(node.input[1])
            if weight is None:
                raise PrepareError(f"Conv '{node.name}': no kernel_shape and no constant "
                                   "weights to take it from")
            set_attr(node, "kernel_shape", [int(k) for k in weight.shape[2:]])
        elif op == "Resize":
            # opset 12 requires `roi`; an empty tensor stands for "not used"
            while len(node.input) < 3:
                node.input.append("")
            if node.input[1] == "":
                if "empty_roi" not in idx.inits:
                    add_init(g, "empty_roi", np.zeros((0,), np.float32))
                    idx.inits["empty_roi"] = g.initializer[-1]
                node.input[1] = "empty_roi"
            if len(node.input) > 3 and node.input[3] == "":
                del node.input[3:]
            set_attr(node, "antialias", None)
            set_attr(node, "keep_aspect_ratio_policy", None)
            set_attr(node, "axes", None)
        if op not in SUPPORTED:
            raise PrepareError(f"node '{node.name}': operator {op} is not supported by "
                               "OpenCV 4.6 DNN")
    del model.opset_import[:]
    model.opset_import.extend([helper.make_opsetid("", TARGET_OPSET)])
    model.ir_version = TARGET_IR


def shapes_of(model):
    del model.graph.value_info[:]
    inferred = shape_inference.infer_shapes(model)
    shapes = {}
    for vi in list(inferred.graph.value_info) + list(inferred.graph.output) + \
            list(inferred.graph.input):
        dims = vi.type.tensor_type.shape.dim
        if dims and all(d.HasField("dim_value") for d in dims):
            shapes[vi.name] = tuple(d.dim_value for d in dims)
    return shapes


def expand_broadcast_constants(model):
    """Give every broadcast constant operand of Add/Sub/Mul/Div the full result shape."""
    g = model.graph
    shapes = shapes_of(model)
    inits = {i.name: i for i in g.initializer}
    count = 0
    for node in g.node:
        if node.op_type not in ELEMENTWISE or node.output[0] not in shapes:
            continue
        full = shapes[node.output[0]]
        for k, name in enumerate(node.input):
            if name not in inits:
                continue
            value = numpy_helper.to_array(inits[name])
            if value.size <= 1 or tuple(value.shape) == full:
                continue
            if int(np.prod(full)) > MAX_EXPANDED_ELEMENTS:
                raise PrepareError(f"{node.op_type} '{node.name}': constant '{name}' would "
                                   f"expand to {full}, too large")
            expanded = np.broadcast_to(value, full)
            new_name = f"{name}_expanded_{count}"
            add_init(g, new_name, expanded.astype(value.dtype))
            node.input[k] = new_name
            count += 1
    remove_dead(model)
    return count


def softmax_on_last_axis(model):
    """
    Make every Softmax normalise its last axis, between two Transposes when needed.

    Before opset 13 ONNX flattens the input to 2-D around `axis`, so a Softmax over axis 1
    of a 4-D tensor (the YOLOv8 box distributions) would mean something else to a runtime
    that follows the standard; OpenCV normalises the single axis either way.  Over the last
    axis both readings agree.
    """
    g = model.graph
    shapes = shapes_of(model)
    nodes = []
    count = 0
    for node in g.node:
        if node.op_type != "Softmax" or node.input[0] not in shapes:
            nodes.append(node)
            continue
        rank = len(shapes[node.input[0]])
        axis = next((a.i for a in node.attribute if a.name == "axis"), -1)
        axis = axis + rank if axis < 0 else axis
        if axis == rank - 1:
            nodes.append(node)
            continue
        perm = [d for d in range(rank) if d != axis] + [axis]
        back = [perm.index(d) for d in range(rank)]
        moved, normed = node.output[0] + "_to_last", node.output[0] + "_last"
        nodes.append(helper.make_node("Transpose", [node.input[0]], [moved], perm=perm,
                                      name=node.name + "_to_last"))
        nodes.append(helper.make_node("Softmax", [moved], [normed], axis=rank - 1,
                                      name=node.name))
        nodes.append(helper.make_node("Transpose", [normed], [node.output[0]], perm=back,
                                      name=node.name + "_back"))
        count += 1
    del g.node[:]
    g.node.extend(nodes)
    return count


def anchor_grid(width, height):
    """
    Return YOLOv8's anchor points and strides, level by level, for a width x height input.

    Anchor points are cell centres, in cells of their level (x row, y row); one stride a point.
    """
    points, strides = [], []
    for s in HEAD_STRIDES:
        xs, ys = np.meshgrid(np.arange(width // s) + 0.5, np.arange(height // s) + 0.5)
        points.append(np.stack([xs.ravel(), ys.ravel()]))
        strides.append(np.full(xs.size, s))
    return (np.concatenate(points, axis=1).astype(np.float32),
            np.concatenate(strides).astype(np.float32))


def parse_size(text):
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise PrepareError(f"--input-size {text}: not WIDTHxHEIGHT")
    if width < 32 or height < 32 or width % 32 or height % 32:
        raise PrepareError(f"--input-size {text}: width and height must be multiples of 32")
    return width, height


def input_size(model):
    dims = model.graph.input[0].type.tensor_type.shape.dim
    if len(dims) != 4 or not all(d.HasField("dim_value") for d in dims):
        raise PrepareError("the graph input is not a fixed (1, 3, H, W) shape")
    return dims[3].dim_value, dims[2].dim_value


def resize_input(model, width, height):
    """
    Rewrite the head's input-size-dependent constants for a width x height input.

    YOLOv8 exports its anchor points, the stride of each anchor and the anchor count (in the
    Reshape shapes of the box distributions) as constants for the exported size.  Each
    constant holding the anchor count along its last axis must equal the exported size's
    anchor points or strides exactly (repeated along its other axes) to be regenerated;
    anything else stops the tool, so an unfamiliar head is never half-rewritten.  Returns
    the number of constants rewritten.
    """
    w0, h0 = input_size(model)
    old_points, old_strides = anchor_grid(w0, h0)
    new_points, new_strides = anchor_grid(width, height)
    n0, n = old_points.shape[1], new_points.shape[1]
    g = model.graph
    shape_inputs = {node.input[1] for node in g.node
                    if node.op_type == "Reshape" and len(node.input) > 1}
    kinds = {"anchor points": 0, "strides": 0, "reshape shapes": 0}
    rewritten = []
    for init in g.initializer:
        value = numpy_helper.to_array(init)
        if init.name in shape_inputs and value.dtype.kind == "i" and n0 in value.tolist():
            if value.tolist().count(n0) != 1:
                raise PrepareError(f"Reshape shape '{init.name}' {value.tolist()} holds the "
                                   f"anchor count {n0} more than once")
            new = np.where(value == n0, n, value).astype(value.dtype)
            kinds["reshape shapes"] += 1
        elif value.ndim >= 1 and value.shape[-1] == n0 and value.dtype.kind == "f":
            rows = value.reshape(-1, n0)
            lead = value.shape[:-1]
            if rows.shape[0] % 2 == 0 and np.array_equal(
                    rows, np.tile(old_points, (rows.shape[0] // 2, 1))):
                new = np.tile(new_points, (rows.shape[0] // 2, 1))
                kinds["anchor points"] += 1
            elif np.array_equal(rows, np.broadcast_to(old_strides, rows.shape)):
                new = np.broadcast_to(new_strides, (rows.shape[0], n))
                kinds["strides"] += 1
            else:
                raise PrepareError(f"constant '{init.name}' {tuple(value.shape)} spans the "
                                   f"{n0} anchors of a {w0}x{h0} input but is neither the "
                                   "anchor points nor the strides of a YOLOv8 head")
            new = np.ascontiguousarray(new.reshape(lead + (n,))).astype(value.dtype)
        else:
            continue
        rewritten.append((init, new))
    if not kinds["anchor points"] or not kinds["strides"]:
        raise PrepareError(f"no YOLOv8 head anchor points and strides for {w0}x{h0} found: "
                           "--input-size cannot rewrite this graph")
    for init, new in rewritten:
        init.CopyFrom(numpy_helper.from_array(new, init.name))
    dims = g.input[0].type.tensor_type.shape.dim
    dims[2].dim_value, dims[3].dim_value = height, width
    # Output shapes follow from the new input: inferred afresh.
    for out in g.output:
        out.type.tensor_type.ClearField("shape")
    del g.value_info[:]
    inferred = shape_inference.infer_shapes(model)
    by_name = {o.name: o for o in inferred.graph.output}
    for out in g.output:
        out.type.tensor_type.shape.CopyFrom(by_name[out.name].type.tensor_type.shape)
    return len(rewritten), n


def merge_sibling_convs(model):
    """
    Merge Convs that read one input into one Conv whose outputs a Split hands out.

    They need equal attributes (group 1) and constant weights and biases.  Returns
    (merged, groups).
    """
    g = model.graph
    inits = {i.name: i for i in g.initializer}
    groups = {}
    for node in g.node:
        if node.op_type != "Conv" or len(node.input) != 3 or \
                node.input[1] not in inits or node.input[2] not in inits:
            continue
        attrs = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        if attrs.get("group", 1) != 1:
            continue
        # The weights' kernel and input channels too: only those concatenate.
        kernel = tuple(inits[node.input[1]].dims[1:])
        key = (node.input[0], kernel, repr(sorted(attrs.items())))
        groups.setdefault(key, []).append(node)
    replace, drop, merged = {}, set(), 0
    for (source, _, _), convs in groups.items():
        if len(convs) < 2:
            continue
        weights = [numpy_helper.to_array(inits[c.input[1]]) for c in convs]
        biases = [numpy_helper.to_array(inits[c.input[2]]) for c in convs]
        name = convs[0].name + "_merged"
        add_init(g, name + "_weight", np.concatenate(weights))
        add_init(g, name + "_bias", np.concatenate(biases))
        conv = helper.make_node("Conv", [source, name + "_weight", name + "_bias"],
                                [name + "_output"], name=name)
        conv.attribute.extend(convs[0].attribute)
        split = helper.make_node("Split", [name + "_output"], [c.output[0] for c in convs],
                                 name=name + "_split", axis=1,
                                 split=[int(w.shape[0]) for w in weights])
        # The merged Conv stands where the first of them stood: every input is ready there.
        replace[id(convs[0])] = [conv, split]
        drop.update(id(c) for c in convs[1:])
        merged += len(convs)
    if not replace:
        return 0, 0
    nodes = []
    for node in g.node:
        if id(node) not in drop:
            nodes.extend(replace.get(id(node), [node]))
    del g.node[:]
    g.node.extend(nodes)
    remove_dead(model)
    return merged, len(replace)


def one_line(error):
    """Return an exception's message on one line (OpenCV's and onnx's span several)."""
    return " ".join(line.strip(" >") for line in str(error).splitlines() if line.strip(" >"))


def run_opencv(path, blob, names, timed=False):
    """
    Return the outputs of a forward pass and, when timed, its milliseconds.

    The timed pass is a second pass: the first allocates.
    """
    import cv2
    try:
        net = cv2.dnn.readNetFromONNX(path)
        net.setInput(blob)
        outs = net.forward(names)
        if not timed:
            return outs
        start = time.perf_counter()
        net.setInput(blob)
        outs = net.forward(names)
        return outs, (time.perf_counter() - start) * 1000.0
    except cv2.error as e:
        raise PrepareError(f"{path}: OpenCV cannot run it: {one_line(e)}")


# The merged graph must give the unmerged one's outputs to within this (relative to the
# output's magnitude): the same sums, in OpenCV's blocking of a larger matrix product.
MERGE_TOLERANCE = 1e-5


def check_merge(path, unmerged_path, blob, outs):
    """
    Run the unmerged graph on the blob that gave the merged one's outputs `outs`.

    Each output must be within MERGE_TOLERANCE.
    """
    names = [o.name for o in onnx.load(path).graph.output]
    for name, a, b in zip(names, run_opencv(unmerged_path, blob, names), outs):
        scale = max(1.0, float(np.abs(a).max()))
        diff = float(np.abs(a - b).max())
        if not diff <= MERGE_TOLERANCE * scale:
            raise PrepareError(f"{path}: merged convolutions change output '{name}' by {diff} "
                               f"(tolerance {MERGE_TOLERANCE} x {scale})")
        print(f"  {name}: merged graph within {diff:.2g} of the unmerged one")


def check_with_opencv(path):
    """Run the model on a random input; return the input, the outputs and its shape."""
    try:
        import cv2
    except ImportError:
        raise PrepareError("the check needs python3-opencv (apt-get install python3-opencv); "
                           "pass --no-check to skip it")
    model = onnx.load(path)
    in_shape = [d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim]
    names = [o.name for o in model.graph.output]
    blob = np.random.default_rng(0).uniform(0, 1, in_shape).astype(np.float32)
    outs, ms = run_opencv(path, blob, names, timed=True)
    for name, out in zip(names, outs):
        print(f"  {name}: {tuple(out.shape)}")
    if len(outs) != 2 or outs[0].ndim != 3 or outs[1].ndim != 4:
        raise PrepareError(f"{path}: outputs {[o.shape for o in outs]} are not the YOLOv8-seg "
                           "layout (1, 4+nc+nm, N) and (1, nm, H/4, W/4)")
    if not all(np.isfinite(o).all() for o in outs):
        raise PrepareError(f"{path}: OpenCV produced non-finite outputs")
    print(f"OpenCV {cv2.__version__} runs {path}: forward {ms:.1f} ms")
    return blob, outs, in_shape


def parse_class_map(text):
    """Return {network label: class label} of "39:4,41:4"; PrepareError when malformed."""
    try:
        pairs = [item.split(":") for item in text.split(",")]
        mapping = {int(a): int(b) for a, b in pairs}
    except ValueError:
        mapping = None
    if not mapping or any(a < 0 or b < 0 for a, b in mapping.items()) or \
            len(mapping) != len(text.split(",")):
        raise PrepareError(f"--class-map {text!r} is not NETWORK:CLASS[,NETWORK:CLASS...] of "
                           "distinct non-negative labels, e.g. 39:4,41:4")
    return mapping


def write_config(path, model_path, in_shape, outs, class_map):
    nc = outs[0].shape[1] - 4 - outs[1].shape[1]
    if class_map and max(class_map) >= nc:
        raise PrepareError(f"--class-map names network label {max(class_map)}, but the "
                           f"network has {nc} classes (0..{nc - 1})")
    rel = os.path.relpath(os.path.abspath(model_path), os.path.dirname(os.path.abspath(path)))
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Written by prepare_model.py; see velmora_model_zoo/README.md for all keys.\n")
        f.write(f"source: network\nonnx: {rel}\ninput_width: {in_shape[3]}\n")
        f.write(f"input_height: {in_shape[2]}\nnum_classes: {nc}\n")
        f.write("confidence_threshold: 0.25\nnms_threshold: 0.45\nmask_threshold: 0.5\n")
        f.write("backend: cpu\n")
        if class_map:
            f.write("class_map: {" + ", ".join(f"{a}: {b}" for a, b in class_map.items()) + "}\n")
        else:
            f.write("# No class_map: the network's labels are the class list's own. A network\n"
                    "# trained on other classes (COCO's 80) needs --class-map.\n")
    print(f"wrote {path}")


def prepare(src, dst, size=None, merge=True, unmerged=None):
    """
    Write the prepared model; return the anchor count of a resized head, else None.

    With merging and an `unmerged` path, the graph before merging is written there too (for
    check_merge).
    """
    try:
        model = onnx.load(src)
    except Exception as e:  # onnx raises several types for unreadable files
        raise PrepareError(f"{src}: cannot read ONNX model: {one_line(e)}")
    if not model.graph.node:
        raise PrepareError(f"{src}: holds no graph")
    folded = fold_conv_integer(model)
    remove_dead(model)
    to_opset12(model)
    expanded = expand_broadcast_constants(model)
    softmaxes = softmax_on_last_axis(model)
    resized, anchors = "", None
    if size is not None:
        old = input_size(model)
        count, anchors = resize_input(model, *size)
        resized = (f", input {old[0]}x{old[1]} -> {size[0]}x{size[1]} "
                   f"({count} head constants, {anchors} anchors)")
    del model.graph.value_info[:]
    merged = ""
    if merge:
        if unmerged:
            onnx.save(model, unmerged)
        count, into = merge_sibling_convs(model)
        merged = f", {count} sibling convolutions merged into {into}"
    try:
        onnx.checker.check_model(model)
    except onnx.checker.ValidationError as e:
        raise PrepareError(f"{dst}: the rewritten graph is not valid ONNX: {one_line(e)}")
    onnx.save(model, dst)
    print(f"{dst}: {folded} quantised convolutions folded, {expanded} constants expanded, "
          f"{softmaxes} softmax axes moved{resized}{merged}, {len(model.graph.node)} nodes, "
          f"opset {TARGET_OPSET}")
    return anchors


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    ap.add_argument("input")
    ap.add_argument("output")
    ap.add_argument("--input-size", metavar="WxH",
                    help="network input size (multiples of 32) instead of the exported one")
    ap.add_argument("--config", help="also write a model configuration YAML for this model")
    ap.add_argument("--class-map", metavar="NET:CLASS,...",
                    help="with --config: network labels to labels of the class list (39:4,41:4)")
    ap.add_argument("--no-merge", action="store_true",
                    help="keep convolutions that read the same tensor apart")
    ap.add_argument("--no-check", action="store_true", help="do not run the result in OpenCV")
    args = ap.parse_args(argv)
    check = not args.no_check or args.config
    unmerged = args.output + ".unmerged" if check and not args.no_merge else None
    try:
        size = parse_size(args.input_size) if args.input_size else None
        class_map = parse_class_map(args.class_map) if args.class_map else None
        anchors = prepare(args.input, args.output, size, not args.no_merge, unmerged)
        if check:
            blob, outs, in_shape = check_with_opencv(args.output)
            if unmerged:
                check_merge(args.output, unmerged, blob, outs)
            if anchors is not None and (outs[0].shape[2] != anchors or
                                        tuple(outs[1].shape[2:]) != (size[1] // 4, size[0] // 4)):
                raise PrepareError(f"{args.output}: OpenCV's outputs {[o.shape for o in outs]} "
                                   f"do not fit a {size[0]}x{size[1]} input ({anchors} anchors)")
            if args.config:
                write_config(args.config, args.output, in_shape, outs, class_map)
    except PrepareError as e:
        print(f"prepare_model: {one_line(e)}", file=sys.stderr)
        return 1
    except Exception as e:  # onnx's and numpy's own, on a graph unlike any seen so far
        print(f"prepare_model: {args.input}: {type(e).__name__}: {one_line(e)}", file=sys.stderr)
        return 1
    finally:
        if unmerged and os.path.exists(unmerged):
            os.remove(unmerged)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
