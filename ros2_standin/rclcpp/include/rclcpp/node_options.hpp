#ifndef RCLCPP__NODE_OPTIONS_HPP_
#define RCLCPP__NODE_OPTIONS_HPP_

#include <string>
#include <vector>

#include "rclcpp/context.hpp"

namespace rclcpp
{

// Node options; the stand-in has no parameters, so the parameter-related
// settings are only recorded.
class NodeOptions
{
public:
  NodeOptions() = default;

  rclcpp::Context::SharedPtr context() const {return context_;}
  NodeOptions & context(rclcpp::Context::SharedPtr context)
  {
    context_ = context;
    return *this;
  }
  const std::vector<std::string> & arguments() const {return arguments_;}
  NodeOptions & arguments(const std::vector<std::string> & arguments)
  {
    arguments_ = arguments;
    return *this;
  }
  bool use_intra_process_comms() const {return use_intra_process_comms_;}
  NodeOptions & use_intra_process_comms(bool use)
  {
    use_intra_process_comms_ = use;
    return *this;
  }
  bool allow_undeclared_parameters() const {return allow_undeclared_parameters_;}
  NodeOptions & allow_undeclared_parameters(bool allow)
  {
    allow_undeclared_parameters_ = allow;
    return *this;
  }
  bool automatically_declare_parameters_from_overrides() const
  {
    return automatically_declare_parameters_from_overrides_;
  }
  NodeOptions & automatically_declare_parameters_from_overrides(bool declare)
  {
    automatically_declare_parameters_from_overrides_ = declare;
    return *this;
  }

private:
  rclcpp::Context::SharedPtr context_ = contexts::get_global_default_context();
  std::vector<std::string> arguments_;
  bool use_intra_process_comms_ = false;
  bool allow_undeclared_parameters_ = false;
  bool automatically_declare_parameters_from_overrides_ = false;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_OPTIONS_HPP_
