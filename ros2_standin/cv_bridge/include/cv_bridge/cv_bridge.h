#ifndef CV_BRIDGE__CV_BRIDGE_H_
#define CV_BRIDGE__CV_BRIDGE_H_

#include <memory>
#include <stdexcept>
#include <string>

#include <opencv2/core/core.hpp>

#include "sensor_msgs/image_encodings.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "std_msgs/msg/header.hpp"

namespace cv_bridge
{

class Exception : public std::runtime_error
{
public:
  explicit Exception(const std::string & description)
  : std::runtime_error(description) {}
};

class CvImage;
using CvImagePtr = std::shared_ptr<CvImage>;
using CvImageConstPtr = std::shared_ptr<CvImage const>;

// An OpenCV image with the header and encoding of the message it came from or goes to.
class CvImage
{
public:
  std_msgs::msg::Header header;
  std::string encoding;
  cv::Mat image;

  CvImage() = default;
  CvImage(const std_msgs::msg::Header & header_, const std::string & encoding_, const cv::Mat & image_ = cv::Mat())
  : header(header_), encoding(encoding_), image(image_) {}

  sensor_msgs::msg::Image::SharedPtr toImageMsg() const;
  void toImageMsg(sensor_msgs::msg::Image & ros_image) const;
};

// Copies the image data; with an encoding different from the source's it
// converts (rgb8/bgr8/rgba8/bgra8/mono8 among each other, and between
// encodings of identical layout such as mono16 and 16UC1). Throws
// cv_bridge::Exception for unknown encodings, impossible conversions and
// malformed messages (data size other than height * step, step shorter than a row).
CvImagePtr toCvCopy(
  const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding = std::string());
CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source, const std::string & encoding = std::string());

// Same as toCvCopy here: the stand-in never shares the message's buffer.
CvImageConstPtr toCvShare(
  const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding = std::string());

// OpenCV type (CV_8UC3, ...) of an encoding; throws cv_bridge::Exception when unknown.
int getCvType(const std::string & encoding);

}  // namespace cv_bridge

#endif  // CV_BRIDGE__CV_BRIDGE_H_
