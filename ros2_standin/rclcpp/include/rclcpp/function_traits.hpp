#ifndef RCLCPP__FUNCTION_TRAITS_HPP_
#define RCLCPP__FUNCTION_TRAITS_HPP_

#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>

namespace rclcpp
{
namespace function_traits
{

// Argument and return types of a callable, as rclcpp deduces them to tell its
// callback forms apart. Deduction goes through the one `const` call operator of
// a functor, so a generic lambda, a mutable lambda or an overloaded functor has
// none: rclcpp rejects those as subscription, service and client callbacks, and
// so must this stand-in.
template<typename T>
struct drop_first;

template<typename First, typename ... Rest>
struct drop_first<std::tuple<First, Rest...>>
{
  using type = std::tuple<Rest...>;
};

template<typename FunctionT>
struct function_traits
{
  // The call operator's traits list the object first: drop it.
  using arguments = typename drop_first<
    typename function_traits<decltype(&FunctionT::operator())>::arguments>::type;
  static constexpr std::size_t arity = std::tuple_size<arguments>::value;
  template<std::size_t N>
  using argument_type = typename std::tuple_element<N, arguments>::type;
  using return_type = typename function_traits<decltype(&FunctionT::operator())>::return_type;
};

template<typename ReturnT, typename ... Args>
struct function_traits<ReturnT(Args...)>
{
  using arguments = std::tuple<Args...>;
  static constexpr std::size_t arity = sizeof...(Args);
  template<std::size_t N>
  using argument_type = typename std::tuple_element<N, arguments>::type;
  using return_type = ReturnT;
};

template<typename ReturnT, typename ... Args>
struct function_traits<ReturnT (*)(Args...)>: function_traits<ReturnT(Args...)> {};

// A const call operator: the functor's own type first.
template<typename ClassT, typename ReturnT, typename ... Args>
struct function_traits<ReturnT (ClassT::*)(Args...) const>
  : function_traits<ReturnT(ClassT &, Args...)> {};

#if defined(__GLIBCXX__)
// std::bind of a member or free function: that function's arguments (libstdc++'s
// bind type, as rclcpp spells it for GNU's library).
template<typename ClassT, typename ReturnT, typename ... Args, typename ... FArgs>
struct function_traits<std::_Bind<ReturnT (ClassT::* (FArgs...))(Args...)>>
  : function_traits<ReturnT(Args...)> {};

template<typename ClassT, typename ReturnT, typename ... Args, typename ... FArgs>
struct function_traits<std::_Bind<ReturnT (ClassT::* (FArgs...))(Args...) const>>
  : function_traits<ReturnT(Args...)> {};

template<typename ReturnT, typename ... Args, typename ... FArgs>
struct function_traits<std::_Bind<ReturnT (*(FArgs...))(Args...)>>
  : function_traits<ReturnT(Args...)> {};
#endif

template<typename FunctionT>
struct function_traits<FunctionT &>: function_traits<FunctionT> {};

template<typename FunctionT>
struct function_traits<FunctionT &&>: function_traits<FunctionT> {};

template<typename FunctorA, typename FunctorB>
struct same_arguments : std::is_same<
    typename function_traits<FunctorA>::arguments,
    typename function_traits<FunctorB>::arguments>
{};

}  // namespace function_traits
}  // namespace rclcpp

#endif  // RCLCPP__FUNCTION_TRAITS_HPP_
