#ifndef ROSIDL_RUNTIME_CPP__MESSAGE_INITIALIZATION_HPP_
#define ROSIDL_RUNTIME_CPP__MESSAGE_INITIALIZATION_HPP_

namespace rosidl_runtime_cpp
{

// How a generated message constructor fills its fields. The stand-in's
// messages always use their default member initializers, whatever is asked.
enum class MessageInitialization
{
  ALL,
  SKIP,
  ZERO,
  DEFAULTS_ONLY,
};

}  // namespace rosidl_runtime_cpp

#endif  // ROSIDL_RUNTIME_CPP__MESSAGE_INITIALIZATION_HPP_
