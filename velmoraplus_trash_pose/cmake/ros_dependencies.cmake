# Finds the ROS 2 client libraries. On a robot with ROS 2 humble sourced they
# are the real packages; elsewhere the in-process stand-in of the workspace
# provides the same headers and symbols. Sources never know which.
#
# Defines velmora_target_ros_dependencies(<target> <PUBLIC|PRIVATE>).

set(VELMORA_ROS_PACKAGES
  rclcpp message_filters tf2_ros cv_bridge pcl_conversions
  sensor_msgs geometry_msgs visualization_msgs tf2_msgs std_msgs builtin_interfaces)

find_package(rclcpp QUIET)
if(rclcpp_FOUND)
  set(VELMORA_ROS_MODE "humble")
  foreach(dep IN LISTS VELMORA_ROS_PACKAGES)
    find_package(${dep} REQUIRED)
  endforeach()
else()
  set(VELMORA_ROS_MODE "standin")
  find_package(ros2_standin REQUIRED)
endif()
find_package(velmora_plus_interfaces REQUIRED)
find_package(ament_index_cpp REQUIRED)
message(STATUS "ROS 2 client libraries: ${VELMORA_ROS_MODE}")

function(velmora_target_ros_dependencies target scope)
  if(VELMORA_ROS_MODE STREQUAL "humble")
    ament_target_dependencies(${target} ${scope} ${VELMORA_ROS_PACKAGES} velmora_plus_interfaces ament_index_cpp)
  else()
    target_link_libraries(${target} ${scope}
      ros2_standin::ros2_standin
      velmora_plus_interfaces::velmora_plus_interfaces)
    ament_target_dependencies(${target} ${scope} ament_index_cpp)
  endif()
endfunction()
