# Generates header-only C++ structs from .msg/.srv files with the stand-in's
# generator, under rosidl's names and paths.
#
# ros2_standin_generate_headers(PACKAGE <pkg> OUTPUT_DIR <dir> FILES <files...> OUT_VAR <var>)
#   adds the build rule; <var> receives the generated headers.
# ros2_standin_generate_interfaces(<pkg> <files...> [DEPENDENCIES <pkg>...])
#   creates the INTERFACE library <pkg> (headers <pkg>/msg/*.hpp, <pkg>/srv/*.hpp)
#   and installs the headers under include/.
#
# Needs ROS2_STANDIN_PYTHON and ROS2_STANDIN_GENERATOR (set by the package config).

set(ROS2_STANDIN_MESSAGE_PACKAGES
  builtin_interfaces std_msgs geometry_msgs sensor_msgs visualization_msgs tf2_msgs)

function(ros2_standin_generate_headers)
  cmake_parse_arguments(ARG "" "PACKAGE;OUTPUT_DIR;OUT_VAR" "FILES" ${ARGN})
  set(files)
  foreach(file IN LISTS ARG_FILES)
    get_filename_component(abs "${file}" ABSOLUTE)
    list(APPEND files "${abs}")
  endforeach()
  execute_process(
    COMMAND "${ROS2_STANDIN_PYTHON}" "${ROS2_STANDIN_GENERATOR}"
      --package "${ARG_PACKAGE}" --output-dir "${ARG_OUTPUT_DIR}" --list ${files}
    OUTPUT_VARIABLE headers
    ERROR_VARIABLE error
    RESULT_VARIABLE result
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "ros2_standin: cannot generate interfaces of ${ARG_PACKAGE}: ${error}")
  endif()
  string(REPLACE "\n" ";" headers "${headers}")
  add_custom_command(
    OUTPUT ${headers}
    COMMAND "${ROS2_STANDIN_PYTHON}" "${ROS2_STANDIN_GENERATOR}"
      --package "${ARG_PACKAGE}" --output-dir "${ARG_OUTPUT_DIR}" ${files}
    DEPENDS ${files} "${ROS2_STANDIN_GENERATOR}"
    COMMENT "Generating C++ interfaces of ${ARG_PACKAGE}"
    VERBATIM)
  set(${ARG_OUT_VAR} ${headers} PARENT_SCOPE)
endfunction()

function(ros2_standin_generate_interfaces target)
  cmake_parse_arguments(ARG "" "" "DEPENDENCIES" ${ARGN})
  set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/ros2_standin_interfaces")
  ros2_standin_generate_headers(
    PACKAGE ${target} OUTPUT_DIR "${out_dir}" FILES ${ARG_UNPARSED_ARGUMENTS} OUT_VAR headers)
  add_custom_target(${target}__ros2_standin_headers ALL DEPENDS ${headers})
  add_library(${target} INTERFACE)
  add_dependencies(${target} ${target}__ros2_standin_headers)
  target_include_directories(${target} INTERFACE
    "$<BUILD_INTERFACE:${out_dir}>" "$<INSTALL_INTERFACE:include>")
  target_link_libraries(${target} INTERFACE ros2_standin::messages)
  foreach(dep IN LISTS ARG_DEPENDENCIES)
    if(dep IN_LIST ROS2_STANDIN_MESSAGE_PACKAGES)
      continue()  # part of ros2_standin::messages
    elseif(TARGET ${dep}::${dep})
      target_link_libraries(${target} INTERFACE ${dep}::${dep})
    else()
      message(FATAL_ERROR
        "ros2_standin_generate_interfaces(${target}): dependency '${dep}' is neither one of "
        "the stand-in's message packages (${ROS2_STANDIN_MESSAGE_PACKAGES}) nor a known target ${dep}::${dep}")
    endif()
  endforeach()
  install(DIRECTORY "${out_dir}/" DESTINATION include)
endfunction()
