#ifndef RCLCPP__QOS_HPP_
#define RCLCPP__QOS_HPP_

#include <cstddef>

#include "rmw/qos_profiles.h"
#include "rmw/types.h"

namespace rclcpp
{

enum class HistoryPolicy
{
  KeepLast = RMW_QOS_POLICY_HISTORY_KEEP_LAST,
  KeepAll = RMW_QOS_POLICY_HISTORY_KEEP_ALL,
  SystemDefault = RMW_QOS_POLICY_HISTORY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_HISTORY_UNKNOWN,
};

enum class ReliabilityPolicy
{
  BestEffort = RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT,
  Reliable = RMW_QOS_POLICY_RELIABILITY_RELIABLE,
  SystemDefault = RMW_QOS_POLICY_RELIABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_RELIABILITY_UNKNOWN,
};

enum class DurabilityPolicy
{
  Volatile = RMW_QOS_POLICY_DURABILITY_VOLATILE,
  TransientLocal = RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL,
  SystemDefault = RMW_QOS_POLICY_DURABILITY_SYSTEM_DEFAULT,
  Unknown = RMW_QOS_POLICY_DURABILITY_UNKNOWN,
};

struct QoSInitialization
{
  rmw_qos_history_policy_t history_policy;
  size_t depth;

  QoSInitialization(rmw_qos_history_policy_t history_policy_arg, size_t depth_arg)
  : history_policy(history_policy_arg), depth(depth_arg) {}

  static QoSInitialization from_rmw(const rmw_qos_profile_t & rmw_qos)
  {
    return QoSInitialization(rmw_qos.history, rmw_qos.depth);
  }
};

struct KeepAll : public QoSInitialization
{
  KeepAll()
  : QoSInitialization(RMW_QOS_POLICY_HISTORY_KEEP_ALL, 0) {}
};

struct KeepLast : public QoSInitialization
{
  explicit KeepLast(size_t depth)
  : QoSInitialization(RMW_QOS_POLICY_HISTORY_KEEP_LAST, depth) {}
};

// Quality of service of a publisher or subscription. The stand-in honours
// history, depth and durability; reliability is recorded but has no effect
// (in-process delivery never loses a message).
class QoS
{
public:
  explicit QoS(
    const QoSInitialization & qos_initialization,
    const rmw_qos_profile_t & initial_profile = rmw_qos_profile_default)
  : rmw_qos_profile_(initial_profile)
  {
    rmw_qos_profile_.history = qos_initialization.history_policy;
    rmw_qos_profile_.depth = qos_initialization.depth;
  }

  QoS(size_t history_depth)  // NOLINT: an integer depth converts implicitly, as in rclcpp
  : QoS(KeepLast(history_depth)) {}

  rmw_qos_profile_t & get_rmw_qos_profile() {return rmw_qos_profile_;}
  const rmw_qos_profile_t & get_rmw_qos_profile() const {return rmw_qos_profile_;}

  QoS & history(HistoryPolicy history)
  {
    rmw_qos_profile_.history = static_cast<rmw_qos_history_policy_t>(history);
    return *this;
  }
  QoS & keep_last(size_t depth)
  {
    rmw_qos_profile_.history = RMW_QOS_POLICY_HISTORY_KEEP_LAST;
    rmw_qos_profile_.depth = depth;
    return *this;
  }
  QoS & keep_all()
  {
    rmw_qos_profile_.history = RMW_QOS_POLICY_HISTORY_KEEP_ALL;
    rmw_qos_profile_.depth = 0;
    return *this;
  }
  QoS & reliability(ReliabilityPolicy reliability)
  {
    rmw_qos_profile_.reliability = static_cast<rmw_qos_reliability_policy_t>(reliability);
    return *this;
  }
  QoS & reliable() {return reliability(ReliabilityPolicy::Reliable);}
  QoS & best_effort() {return reliability(ReliabilityPolicy::BestEffort);}
  QoS & durability(DurabilityPolicy durability)
  {
    rmw_qos_profile_.durability = static_cast<rmw_qos_durability_policy_t>(durability);
    return *this;
  }
  QoS & durability_volatile() {return durability(DurabilityPolicy::Volatile);}
  QoS & transient_local() {return durability(DurabilityPolicy::TransientLocal);}

  HistoryPolicy history() const {return static_cast<HistoryPolicy>(rmw_qos_profile_.history);}
  size_t depth() const {return rmw_qos_profile_.depth;}
  ReliabilityPolicy reliability() const
  {
    return static_cast<ReliabilityPolicy>(rmw_qos_profile_.reliability);
  }
  DurabilityPolicy durability() const
  {
    return static_cast<DurabilityPolicy>(rmw_qos_profile_.durability);
  }

  bool operator==(const QoS & other) const
  {
    const auto & a = rmw_qos_profile_;
    const auto & b = other.rmw_qos_profile_;
    return a.history == b.history && a.depth == b.depth && a.reliability == b.reliability &&
           a.durability == b.durability;
  }
  bool operator!=(const QoS & other) const {return !(*this == other);}

private:
  rmw_qos_profile_t rmw_qos_profile_;
};

class SensorDataQoS : public QoS
{
public:
  explicit SensorDataQoS(
    const QoSInitialization & qos_initialization = QoSInitialization::from_rmw(rmw_qos_profile_sensor_data))
  : QoS(qos_initialization, rmw_qos_profile_sensor_data) {}
};

class ServicesQoS : public QoS
{
public:
  explicit ServicesQoS(
    const QoSInitialization & qos_initialization = QoSInitialization::from_rmw(rmw_qos_profile_services_default))
  : QoS(qos_initialization, rmw_qos_profile_services_default) {}
};

class SystemDefaultsQoS : public QoS
{
public:
  explicit SystemDefaultsQoS(
    const QoSInitialization & qos_initialization = QoSInitialization::from_rmw(rmw_qos_profile_system_default))
  : QoS(qos_initialization, rmw_qos_profile_system_default) {}
};

}  // namespace rclcpp

#endif  // RCLCPP__QOS_HPP_
