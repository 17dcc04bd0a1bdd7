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
Write a tiny YOLOv8-seg-shaped ONNX model whose outputs are known in advance.

The model ignores its input: output0 (1, 4+nc+32, N) and output1 (1, 32, H/4, W/4) are
constants, wired to the input through zero-weight convolutions so that OpenCV 4.5/4.6 DNN
imports and runs the graph (Conv, Reshape and Add of full-shape constants only).  With it,
tests and synthetic scenes get exactly the detections described, through the real decoding,
NMS and mask code.

Description (JSON or YAML), all lengths in pixels:

    name: scene                  # output files <out_dir>/<name>.onnx and <name>.yaml
    input_size: 640              # network input, or [width, height]; multiples of 32
    num_classes: 16
    image_size: [640, 480]       # optional: boxes and masks are given in pixels of an image of
                                 # this size and mapped through the letterbox; else input pixels
    detections:
      - class: 4
        score: 0.9
        box: [x, y, width, height]
        mask: rectangle          # rectangle (default) | ellipse | none, or a mapping
                                 # {shape: rectangle|ellipse, rect: [x, y, width, height]}
                                 # for a shape smaller than the box
    fillers:                     # optional extra candidates
      per_detection: 400         # jittered copies of each detection (NMS removes them)
      score: 0.3                 # their score (below each detection's own)
      jitter: 2.0                # largest shift of their box edges
      seed: 1
    config:                      # optional keys written into the model configuration YAML
      confidence_threshold: 0.25

Mask precision: each detection with a mask owns one of the 32 prototype channels, holding the
signed distance (in prototype pixels, clipped to +-1, times 16) from each prototype pixel's
centre to the shape's outline.  The library samples the prototypes bilinearly at image pixel
centres and keeps pixels whose logit is above logit(mask_threshold), so with
mask_threshold 0.5 a pixel is in the mask exactly when its centre lies inside the shape, for
straight edges; near corners (within about one prototype pixel, 4 input pixels) and along
curved outlines the error stays below one prototype pixel.  The mask is also cut to the box.
At most 32 detections can carry masks.
"""
import argparse
import json
import math
import os
import sys

import numpy as np

from onnx_writer import FLOAT, from_array, make_graph, make_model, make_node, \
    make_tensor_value_info

try:  # only to check the written model where the onnx package happens to be installed
    from onnx import checker as onnx_checker
except ImportError:
    onnx_checker = None

NUM_PROTOS = 32
PROTO_RATIO = 4
MASK_GAIN = 16.0


class DescriptionError(ValueError):
    pass


def load_description(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if path.endswith(".json"):
        return json.loads(text)
    import yaml
    return yaml.safe_load(text)


def size_pair(value, key):
    if isinstance(value, int):
        return value, value
    if isinstance(value, (list, tuple)) and len(value) == 2:
        return int(value[0]), int(value[1])
    raise DescriptionError(f"'{key}' must be an integer or [width, height], not {value!r}")


class Letterbox:
    """Same placement as the library's Letterbox::fit."""

    def __init__(self, image, net):
        r = min(net[0] / image[0], net[1] / image[1])
        sw = min(net[0], max(1, int(math.floor(image[0] * r + 0.5))))
        sh = min(net[1], max(1, int(math.floor(image[1] * r + 0.5))))
        self.left, self.top = (net[0] - sw) // 2, (net[1] - sh) // 2
        self.sx, self.sy = sw / image[0], sh / image[1]

    def rect(self, r):
        x, y, w, h = r
        return [x * self.sx + self.left, y * self.sy + self.top, w * self.sx, h * self.sy]


def anchor_count(width, height):
    return sum((width // s) * (height // s) for s in (8, 16, 32))


def signed_distance(shape, rect, pw, ph):
    """Distance in prototype pixels from each prototype centre to the shape's outline."""
    # prototype pixel centre j sits at input coordinate PROTO_RATIO * (j + 0.5)
    x0, y0 = rect[0] / PROTO_RATIO - 0.5, rect[1] / PROTO_RATIO - 0.5
    x1, y1 = (rect[0] + rect[2]) / PROTO_RATIO - 0.5, (rect[1] + rect[3]) / PROTO_RATIO - 0.5
    ys, xs = np.mgrid[0:ph, 0:pw].astype(np.float64)
    if shape == "rectangle":
        return np.minimum(np.minimum(xs - x0, x1 - xs), np.minimum(ys - y0, y1 - ys))
    if shape == "ellipse":
        cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
        a, b = max((x1 - x0) / 2, 1e-6), max((y1 - y0) / 2, 1e-6)
        f = 1.0 - ((xs - cx) / a) ** 2 - ((ys - cy) / b) ** 2
        grad = np.hypot(2 * (xs - cx) / a ** 2, 2 * (ys - cy) / b ** 2)
        return np.where(grad > 1e-9, f / np.maximum(grad, 1e-9), 1.0)
    raise DescriptionError(f"unknown mask shape {shape!r} (rectangle, ellipse, none)")


def build_outputs(desc):
    net_w, net_h = size_pair(desc.get("input_size", 640), "input_size")
    if net_w % 32 or net_h % 32:
        raise DescriptionError(f"input_size {net_w}x{net_h} is not a multiple of 32")
    nc = int(desc["num_classes"])
    n = anchor_count(net_w, net_h)
    pw, ph = net_w // PROTO_RATIO, net_h // PROTO_RATIO
    lb = Letterbox(size_pair(desc["image_size"], "image_size"), (net_w, net_h)) \
        if "image_size" in desc else None
    to_input = lb.rect if lb else (lambda r: [float(v) for v in r])

    det = np.zeros((1, 4 + nc + NUM_PROTOS, n), np.float32)
    protos = np.full((1, NUM_PROTOS, ph, pw), -MASK_GAIN, np.float32)
    detections = desc.get("detections", [])
    fill = desc.get("fillers", {}) or {}
    per_det = int(fill.get("per_detection", 0))
    if len(detections) * (1 + per_det) > n:
        raise DescriptionError(f"{len(detections) * (1 + per_det)} candidates do not fit "
                               f"{n} anchors")
    rng = np.random.default_rng(int(fill.get("seed", 1)))
    # Spread the anchors used so that the decoder cannot rely on their order.
    anchors = iter(rng.permutation(n))
    channel = 0

    def put(anchor, box, cls, score, coef):
        x, y, w, h = box
        det[0, 0:4, anchor] = [x + w / 2, y + h / 2, w, h]
        det[0, 4 + cls, anchor] = score
        det[0, 4 + nc:, anchor] = coef

    for k, d in enumerate(detections):
        cls, score = int(d["class"]), float(d["score"])
        if not 0 <= cls < nc:
            raise DescriptionError(f"detection {k}: class {cls} outside 0..{nc - 1}")
        box = to_input(d["box"])
        mask = d.get("mask", "rectangle")
        shape, rect = (mask.get("shape", "rectangle"), mask.get("rect", d["box"])) \
            if isinstance(mask, dict) else (mask, d["box"])
        coef = np.zeros(NUM_PROTOS, np.float32)
        if shape != "none":
            if channel >= NUM_PROTOS:
                raise DescriptionError(f"detection {k}: more than {NUM_PROTOS} masks")
            dist = signed_distance(shape, to_input(rect), pw, ph)
            protos[0, channel] = np.clip(dist, -1.0, 1.0) * MASK_GAIN
            coef[channel] = 1.0
            channel += 1
        put(next(anchors), box, cls, score, coef)
        jitter = float(fill.get("jitter", 2.0))
        for _ in range(per_det):
            shifted = np.array(box) + rng.uniform(-jitter, jitter, 4)
            shifted[2:] = np.maximum(shifted[2:], 1.0)
            put(next(anchors), shifted, cls, float(fill.get("score", 0.3)), coef)
    return det, protos, (net_w, net_h), nc


def build_model(det, protos, net_size):
    net_w, net_h = net_size
    channels, n = det.shape[1], det.shape[2]
    inits = [
        from_array(np.zeros((channels, 3, 1, 1), np.float32), "zero_w0"),
        from_array(np.zeros((channels, channels, 1, 1), np.float32), "zero_w1"),
        from_array(np.array([1, channels, n], np.int64), "det_shape"),
        from_array(det, "det_values"),
        from_array(np.zeros((NUM_PROTOS, 3, 1, 1), np.float32), "zero_wp"),
        from_array(protos, "proto_values"),
    ]
    nodes = [
        # (1,3,H,W) -> (1,C,1,1) zeros -> padded to (1,C,1,N) -> (1,C,N) -> + constant
        make_node("Conv", ["images", "zero_w0"], ["z0"], kernel_shape=[1, 1],
                  strides=[net_h, net_w]),
        make_node("Conv", ["z0", "zero_w1"], ["z1"], kernel_shape=[1, 1],
                  pads=[0, 0, 0, n - 1]),
        make_node("Reshape", ["z1", "det_shape"], ["z2"]),
        make_node("Add", ["z2", "det_values"], ["output0"]),
        make_node("Conv", ["images", "zero_wp"], ["z3"], kernel_shape=[1, 1],
                  strides=[PROTO_RATIO, PROTO_RATIO]),
        make_node("Add", ["z3", "proto_values"], ["output1"]),
    ]
    graph = make_graph(
        nodes, "yolov8_seg_test",
        [make_tensor_value_info("images", FLOAT, [1, 3, net_h, net_w])],
        [make_tensor_value_info("output0", FLOAT, list(det.shape)),
         make_tensor_value_info("output1", FLOAT, list(protos.shape))],
        inits)
    model = make_model(graph, opset=12, producer_name="velmora_model_zoo make_test_model",
                       ir_version=7)
    if onnx_checker is not None:
        onnx_checker.check_model(model)
    return model


def yaml_value(v):
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k}: {yaml_value(x)}" for k, x in v.items()) + "}"
    return json.dumps(v)


def write_config(path, onnx_name, net_size, nc, extra):
    keys = {"source": "network", "onnx": onnx_name, "input_width": net_size[0],
            "input_height": net_size[1], "num_classes": nc, "confidence_threshold": 0.25,
            "nms_threshold": 0.45, "mask_threshold": 0.5, "backend": "cpu"}
    keys.update(extra or {})
    with open(path, "w", encoding="utf-8") as f:
        f.write("# Written by make_test_model.py: a synthetic model with fixed detections.\n")
        for k, v in keys.items():
            f.write(f"{k}: {yaml_value(v)}\n")


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    ap.add_argument("description", help="JSON or YAML description")
    ap.add_argument("out_dir")
    ap.add_argument("--name", help="overrides the description's name")
    args = ap.parse_args(argv)
    try:
        desc = load_description(args.description)
        name = args.name or desc.get("name", "test_model")
        det, protos, net_size, nc = build_outputs(desc)
        model = build_model(det, protos, net_size)
    except (DescriptionError, KeyError, TypeError, ValueError) as e:
        print(f"make_test_model: {args.description}: {e!r}", file=sys.stderr)
        return 1
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, name + ".onnx"), "wb") as f:
        f.write(model)
    write_config(os.path.join(args.out_dir, name + ".yaml"), name + ".onnx", net_size, nc,
                 desc.get("config"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
