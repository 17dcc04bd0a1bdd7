#ifndef RCLCPP__DETAIL__CALLBACK_FORM_HPP_
#define RCLCPP__DETAIL__CALLBACK_FORM_HPP_

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace rclcpp
{
namespace detail
{

template<typename Form>
struct form_parameters;

template<typename ... Parameters>
struct form_parameters<void(Parameters...)>
{
  using type = std::tuple<Parameters...>;
};

// Whether a callback taking Arguments can be called with a form's parameters,
// passed as std::function passes them (by-value ones as rvalues).
template<typename Arguments, typename Form>
struct callable_as;

template<typename ... Arguments, typename ... Parameters>
struct callable_as<std::tuple<Arguments...>, void(Parameters...)>
  : std::is_invocable<void (*)(Arguments...), Parameters...> {};

// Which of Forms (void(...) types) a callback with the deduced argument list
// Arguments (a std::tuple) is taken as. rclcpp turns the callback into a
// std::function of its own arguments and stores it in a std::variant of its
// forms: a form with exactly those arguments wins; otherwise exactly one form
// must be able to call it. None, or more than one, does not compile in humble
// ("no match for operator="): `index` is then sizeof...(Forms).
template<typename Arguments, typename ... Forms>
struct callback_form
{
private:
  static constexpr std::size_t count = sizeof...(Forms);

  static constexpr std::size_t pick()
  {
    constexpr bool exact[] = {std::is_same_v<Arguments, typename form_parameters<Forms>::type>...};
    constexpr bool callable[] = {callable_as<Arguments, Forms>::value...};
    for (std::size_t i = 0; i < count; ++i) {
      if (exact[i]) {
        return i;
      }
    }
    std::size_t picked = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (callable[i]) {
        if (picked != count) {
          return count;  // ambiguous
        }
        picked = i;
      }
    }
    return picked;
  }

public:
  static constexpr std::size_t index = pick();
  static constexpr bool found = index < count;
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__CALLBACK_FORM_HPP_
