# Included first by every package of the stand-in. The stand-in exists only
# where ROS 2 is not installed: built next to a sourced ROS 2 it would shadow
# the real packages of the same names.
if(DEFINED ENV{ROS_DISTRO})
  message(FATAL_ERROR
    "${PROJECT_NAME} here is the workspace's in-process ROS 2 stand-in, but ROS 2 "
    "'$ENV{ROS_DISTRO}' is sourced: build without ros2_standin/ (colcon skips it by itself)")
endif()
# ament's and rosidl's CMake code runs Python modules that only Debian's own
# interpreter has (not a pyenv one that may come first on PATH).
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
