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
Serialise small ONNX models without the onnx package (numpy only).

The functions mirror onnx.helper and onnx.numpy_helper for the messages a constant test graph
needs, but each returns the message's protobuf encoding as bytes.  Fields go out in
field-number order, repeated scalars unpacked (onnx.proto is proto2), and a field is written
exactly when the onnx helper would set it, so make_model(...) equals
onnx.helper.make_model(...).SerializeToString() byte for byte.
"""
import numbers
import struct

import numpy as np

# TensorProto.DataType
FLOAT = 1
INT64 = 7
_DATA_TYPES = {"f4": FLOAT, "u1": 2, "i1": 3, "i4": 6, "i8": INT64, "b1": 9, "f8": 11}

# AttributeProto.AttributeType
_ATTR_FLOAT, _ATTR_INT, _ATTR_STRING, _ATTR_INTS = 1, 2, 3, 7

_VARINT, _FIXED32, _LEN = 0, 5, 2


def _varint(value):
    value &= (1 << 64) - 1  # a negative int32 or int64 takes ten bytes, as protobuf writes it
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _key(field, wire_type):
    return _varint(field << 3 | wire_type)


def _int(field, value):
    return _key(field, _VARINT) + _varint(int(value))


def _ints(field, values):
    return b"".join(_int(field, v) for v in values)


def _bytes(field, data):
    return _key(field, _LEN) + _varint(len(data)) + data


def _str(field, text):
    return _bytes(field, text.encode("utf-8"))


def _strs(field, texts):
    return b"".join(_str(field, t) for t in texts)


def _messages(field, encoded):
    return b"".join(_bytes(field, m) for m in encoded)


def from_array(array, name):
    """
    Return a TensorProto with the array's bytes in raw_data, as numpy_helper writes it.

    The bytes are little-endian.
    """
    array = np.asarray(array)
    data_type = _DATA_TYPES.get(f"{array.dtype.kind}{array.dtype.itemsize}")
    if data_type is None:
        raise TypeError(f"tensor '{name}': numpy type {array.dtype} has no ONNX type here")
    raw = np.ascontiguousarray(array, array.dtype.newbyteorder("<")).tobytes()
    return _ints(1, array.shape) + _int(2, data_type) + _str(8, name) + _bytes(9, raw)


def _attribute(name, value):
    if isinstance(value, numbers.Integral):
        body, attr_type = _int(3, value), _ATTR_INT
    elif isinstance(value, numbers.Real):
        body, attr_type = _key(2, _FIXED32) + struct.pack("<f", value), _ATTR_FLOAT
    elif isinstance(value, str):
        body, attr_type = _bytes(4, value.encode("utf-8")), _ATTR_STRING
    elif isinstance(value, (list, tuple)) and value \
            and all(isinstance(v, numbers.Integral) for v in value):
        body, attr_type = _ints(8, value), _ATTR_INTS
    else:
        raise TypeError(f"attribute '{name}': {value!r} is not an int, a float, a string "
                        "or a list of ints")
    return _str(1, name) + body + _int(20, attr_type)


def make_node(op_type, inputs, outputs, name=None, **attributes):
    """Return a NodeProto; attributes sorted by name, as onnx.helper.make_node adds them."""
    return (_strs(1, inputs) + _strs(2, outputs) + (_str(3, name) if name else b"")
            + _str(4, op_type)
            + _messages(5, (_attribute(k, v) for k, v in sorted(attributes.items())
                            if v is not None)))


def make_tensor_value_info(name, elem_type, shape):
    """Return the ValueInfoProto of a tensor of that shape; a None in it is an unknown size."""
    dims = _messages(1, (b"" if d is None else _int(1, d) for d in shape))
    tensor_type = _int(1, elem_type) + _bytes(2, dims)
    return _str(1, name) + _bytes(2, _bytes(1, tensor_type))


def make_graph(nodes, name, inputs, outputs, initializer):
    return (_messages(1, nodes) + _str(2, name) + _messages(5, initializer)
            + _messages(11, inputs) + _messages(12, outputs))


def make_model(graph, opset, producer_name, ir_version):
    """Return a ModelProto importing the default domain at the given opset version."""
    opset_id = _str(1, "") + _int(2, opset)
    return _int(1, ir_version) + _str(2, producer_name) + _bytes(7, graph) + _bytes(8, opset_id)
