# The body of every message package of the stand-in: humble's definitions of the
# messages the workspace uses (msg/*.msg), by the real generators.
#   standin_interfaces([<package this one's messages use>...])
# A macro, not a function: what rosidl_generate_interfaces and
# ament_export_dependencies record must reach ament_package() in the caller's scope.
macro(standin_interfaces)
  find_package(ament_cmake REQUIRED)
  find_package(rosidl_default_generators REQUIRED)
  foreach(standin_dependency ${ARGN})
    find_package(${standin_dependency} REQUIRED)
  endforeach()
  file(GLOB standin_interface_files RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}" CONFIGURE_DEPENDS msg/*.msg)
  if("${ARGN}" STREQUAL "")
    rosidl_generate_interfaces(${PROJECT_NAME} ${standin_interface_files})
  else()
    rosidl_generate_interfaces(${PROJECT_NAME} ${standin_interface_files} DEPENDENCIES ${ARGN})
  endif()
  ament_export_dependencies(rosidl_default_runtime)
endmacro()
