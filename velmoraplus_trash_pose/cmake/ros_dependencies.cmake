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

# Finds the ROS 2 packages the node uses: a robot's humble installation, or
# here the workspace's in-process stand-in of the same packages. Sources and
# CMake code never know which.
#
# Defines velmora_target_ros_dependencies(<target> <PUBLIC|PRIVATE>).

set(VELMORA_ROS_PACKAGES
  rclcpp message_filters tf2_ros cv_bridge pcl_conversions
  sensor_msgs geometry_msgs visualization_msgs tf2_msgs std_msgs builtin_interfaces
  velmora_plus_interfaces ament_index_cpp)
foreach(dep IN LISTS VELMORA_ROS_PACKAGES)
  find_package(${dep} REQUIRED)
endforeach()

function(velmora_target_ros_dependencies target scope)
  ament_target_dependencies(${target} ${scope} ${VELMORA_ROS_PACKAGES})
endfunction()
