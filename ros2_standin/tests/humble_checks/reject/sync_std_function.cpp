// humble's Synchronizer calls a plain callable with nine arguments: a two-argument
// std::function does not take them.
// expect humble: no matching function for call to 'message_filters::Signal9<.*>::addCallback
// expect stand-in: no match for call to '\(const std::function<void\(
#include <functional>
#include <message_filters/subscriber.h>
#include <message_filters/sync_policies/approximate_time.h>
#include <message_filters/synchronizer.h>
#include <sensor_msgs/msg/image.hpp>
using Image = sensor_msgs::msg::Image;
using Policy = message_filters::sync_policies::ApproximateTime<Image, Image>;
void f(message_filters::Subscriber<Image> & a, message_filters::Subscriber<Image> & b)
{
  message_filters::Synchronizer<Policy> sync(Policy(10), a, b);
  const std::function<void(const Image::ConstSharedPtr &, const Image::ConstSharedPtr &)> cb =
    [](const Image::ConstSharedPtr &, const Image::ConstSharedPtr &) {};
  sync.registerCallback(cb);
}
