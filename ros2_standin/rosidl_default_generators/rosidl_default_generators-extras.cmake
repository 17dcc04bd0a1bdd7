# What find_package(rosidl_default_generators) brings: rosidl_generate_interfaces()
# and the generators it runs. Debian packages the C and C++ generators and the
# introspection type supports; the dispatching and DDS type supports of a robot's
# installation do not exist here (nothing in-process needs them).
# Each generator finds its own dependencies before it registers itself, which
# keeps them in the order rosidl_generate_interfaces() must run them.
find_package(rosidl_cmake REQUIRED)
find_package(rosidl_generator_c REQUIRED)
find_package(rosidl_generator_cpp REQUIRED)
find_package(rosidl_typesupport_introspection_c REQUIRED)
find_package(rosidl_typesupport_introspection_cpp REQUIRED)
