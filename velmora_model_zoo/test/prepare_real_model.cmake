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

# Prepares the third-party YOLOv8n-seg model for OpenCV when it is present; skipping is not
# an error (the model tests then skip themselves).
if(DEFINED ENV{VELMORA_SHARED_DATA})
  set(DATA $ENV{VELMORA_SHARED_DATA})
endif()
set(src ${DATA}/yolov8n_seg_int8_320/yolov8n-seg_int8.onnx)
if(NOT EXISTS ${src})
  message(STATUS "no ${src}: real-model tests will skip")
  return()
endif()
# python3-onnx is no rosdep key: a robot's workspace may lack it.
execute_process(COMMAND ${PYTHON} -c "import onnx" RESULT_VARIABLE no_onnx OUTPUT_QUIET ERROR_QUIET)
if(NOT no_onnx EQUAL 0)
  message(STATUS "python3-onnx missing, the model cannot be prepared: real-model tests will skip")
  return()
endif()
execute_process(COMMAND ${PYTHON} -c "import cv2" RESULT_VARIABLE no_cv2 OUTPUT_QUIET ERROR_QUIET)
if(NOT no_cv2 EQUAL 0)
  message(STATUS "python3-opencv missing, the preparation cannot be checked: real-model tests will skip")
  return()
endif()
file(MAKE_DIRECTORY ${OUT})
# The graph the tests run, with its configuration; the same without merged convolutions,
# as the tool prepared it before (its detections are the merge test's reference); the same
# for a 320x256 input (the size trade-off's accuracy test).
set(yolov8n_seg_320_options --config ${OUT}/yolov8n_seg_320.yaml)
set(yolov8n_seg_320_unmerged_options --no-merge)
set(yolov8n_seg_320x256_options --input-size 320x256)
foreach(name yolov8n_seg_320 yolov8n_seg_320_unmerged yolov8n_seg_320x256)
  execute_process(
    COMMAND ${PYTHON} ${TOOL} ${src} ${OUT}/${name}.onnx ${${name}_options}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " options "${${name}_options}")
    message(FATAL_ERROR "prepare_model.py ${options} failed for ${src}")
  endif()
endforeach()
