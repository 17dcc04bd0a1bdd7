#ifndef RCLCPP__RATE_HPP_
#define RCLCPP__RATE_HPP_

#include <chrono>
#include <memory>
#include <thread>

#include "rclcpp/macros.hpp"

namespace rclcpp
{

class RateBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(RateBase)
  virtual ~RateBase() = default;
  virtual bool sleep() = 0;
  virtual bool is_steady() const = 0;
  virtual void reset() = 0;
};

// Keeps a fixed period between wake-ups. sleep() returns false, without
// sleeping, when the loop already missed its wake-up time.
template<class Clock = std::chrono::high_resolution_clock>
class GenericRate : public RateBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(GenericRate)

  explicit GenericRate(double rate)
  : GenericRate(std::chrono::nanoseconds(static_cast<int64_t>(1e9 / rate))) {}
  explicit GenericRate(std::chrono::nanoseconds period)
  : period_(period), last_interval_(Clock::now()) {}

  bool sleep() override
  {
    auto now = Clock::now();
    auto next_interval = last_interval_ + period_;
    if (now < last_interval_) {
      // The clock went backwards: start over from now.
      next_interval = now + period_;
    }
    auto time_to_sleep = next_interval - now;
    if (next_interval < now) {
      // Too late for this period; don't try to catch up on missed ones.
      if (now > next_interval + period_) {
        last_interval_ = now + period_;
      } else {
        last_interval_ = next_interval;
      }
      return false;
    }
    std::this_thread::sleep_for(time_to_sleep);
    last_interval_ = next_interval;
    return true;
  }

  bool is_steady() const override {return Clock::is_steady;}
  void reset() override {last_interval_ = Clock::now();}
  std::chrono::nanoseconds period() const {return period_;}

private:
  std::chrono::nanoseconds period_;
  using ClockDurationNano = std::chrono::duration<typename Clock::rep, std::nano>;
  std::chrono::time_point<Clock, ClockDurationNano> last_interval_;
};

using Rate = GenericRate<std::chrono::system_clock>;
using WallRate = GenericRate<std::chrono::steady_clock>;

}  // namespace rclcpp

#endif  // RCLCPP__RATE_HPP_
