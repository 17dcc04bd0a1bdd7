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
execute_process(COMMAND ${PYTHON} -c "import cv2" RESULT_VARIABLE no_cv2 OUTPUT_QUIET ERROR_QUIET)
if(NOT no_cv2 EQUAL 0)
  message(STATUS "python3-opencv missing, the preparation cannot be checked: real-model tests will skip")
  return()
endif()
file(MAKE_DIRECTORY ${OUT})
execute_process(
  COMMAND ${PYTHON} ${TOOL} ${src} ${OUT}/yolov8n_seg_320.onnx
          --config ${OUT}/yolov8n_seg_320.yaml
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "prepare_model.py failed for ${src}")
endif()
# Without the merged convolutions, as the tool prepared it before: the detections of
# today's graph, the reference of the tests.
execute_process(
  COMMAND ${PYTHON} ${TOOL} ${src} ${OUT}/yolov8n_seg_320_unmerged.onnx --no-merge
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "prepare_model.py --no-merge failed for ${src}")
endif()
# The same network for a 320x256 input: the size trade-off's accuracy test.
execute_process(
  COMMAND ${PYTHON} ${TOOL} ${src} ${OUT}/yolov8n_seg_320x256.onnx --input-size 320x256
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "prepare_model.py --input-size 320x256 failed for ${src}")
endif()
