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

# velmora_check_ros_free(<target> <header folder>)
#
# Stops the configuration when the target, a library meant to run without
# ROS 2, links a ROS 2 library (directly or through what it links) or when one
# of its sources or of the headers in <header folder> includes a ROS 2 header.
# Call it after every target_link_libraries of the target.

# ROS 2's client libraries, middleware, message packages and tools the node uses.
set(VELMORA_ROS_NAME_REGEX
  "^(rclcpp|rclcpp_[a-z_]+|rcl|rcl_[a-z_]+|rcutils|rcpputils|rmw|rmw_[a-z_]+|rosidl_[a-z_]+|\
tracetools|message_filters|tf2|tf2_[a-z_]+|cv_bridge|pcl_conversions|ament_index_cpp|\
[a-z0-9_]+_msgs|builtin_interfaces|velmora_plus_interfaces)$")

# The package a link item names: "rclcpp::rclcpp" -> rclcpp,
# "/opt/ros/humble/lib/librclcpp.so" -> rclcpp, "sensor_msgs__rosidl_typesupport_cpp" -> sensor_msgs.
function(_velmora_link_item_package item out)
  string(REGEX REPLACE "::.*$" "" name "${item}")
  get_filename_component(name "${name}" NAME)
  string(REGEX REPLACE "^lib" "" name "${name}")
  string(REGEX REPLACE "\\.(so|a)(\\..*)?$" "" name "${name}")
  string(REGEX REPLACE "__.*$" "" name "${name}")
  set(${out} "${name}" PARENT_SCOPE)
endfunction()

function(_velmora_collect_links target seen_var found_var)
  set(seen ${${seen_var}})
  set(found ${${found_var}})
  get_target_property(type ${target} TYPE)
  set(items "")
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(direct ${target} LINK_LIBRARIES)
    if(direct)
      list(APPEND items ${direct})
    endif()
  endif()
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  if(interface)
    list(APPEND items ${interface})
  endif()
  foreach(item IN LISTS items)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
    if(item MATCHES "^\\$<" OR item MATCHES "^(optimized|debug|general)$" OR item STREQUAL "")
      continue()
    endif()
    _velmora_link_item_package("${item}" package)
    if(package MATCHES "${VELMORA_ROS_NAME_REGEX}")
      list(APPEND found "${item} (from ${target})")
    endif()
    if(TARGET ${item})
      list(FIND seen ${item} at)
      if(at EQUAL -1)
        list(APPEND seen ${item})
        _velmora_collect_links(${item} seen found)
      endif()
    endif()
  endforeach()
  set(${seen_var} ${seen} PARENT_SCOPE)
  set(${found_var} ${found} PARENT_SCOPE)
endfunction()

function(velmora_check_ros_free target header_folder)
  set(seen ${target})
  set(found "")
  _velmora_collect_links(${target} seen found)
  if(found)
    list(JOIN found "\n  " text)
    message(FATAL_ERROR "${target} must run without ROS 2, but links:\n  ${text}")
  endif()

  get_target_property(sources ${target} SOURCES)
  file(GLOB headers "${header_folder}/*.hpp")
  foreach(file IN LISTS sources headers)
    if(NOT IS_ABSOLUTE "${file}")
      set(file "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    endif()
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^<\"]*[<\"]([^>\"/]+)/.*$" "\\1" package "${line}")
      if(package MATCHES "${VELMORA_ROS_NAME_REGEX}")
        message(FATAL_ERROR "${file}: '${line}' includes a ROS 2 header, "
          "but ${target} must run without ROS 2")
      endif()
    endforeach()
  endforeach()
endfunction()
