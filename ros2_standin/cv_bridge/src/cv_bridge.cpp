#include "cv_bridge/cv_bridge.h"

#include <algorithm>
#include <cstring>
#include <map>

#include <opencv2/imgproc/imgproc.hpp>

namespace cv_bridge
{
namespace
{

bool host_is_big_endian()
{
  const uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

// Encodings that name a colour layout, as opposed to plain OpenCV types.
enum class Layout {Rgb, Bgr, Rgba, Bgra, Mono, None};

Layout layout_of(const std::string & encoding)
{
  static const std::map<std::string, Layout> layouts = {
    {"rgb8", Layout::Rgb}, {"bgr8", Layout::Bgr}, {"rgba8", Layout::Rgba},
    {"bgra8", Layout::Bgra}, {"mono8", Layout::Mono},
  };
  auto it = layouts.find(encoding);
  return it == layouts.end() ? Layout::None : it->second;
}

// cv::cvtColor code from one 8-bit colour layout to another; -1 if the layouts are equal.
int conversion_code(Layout from, Layout to)
{
  static const std::map<std::pair<Layout, Layout>, int> codes = {
    {{Layout::Rgb, Layout::Bgr}, cv::COLOR_RGB2BGR}, {{Layout::Bgr, Layout::Rgb}, cv::COLOR_BGR2RGB},
    {{Layout::Rgb, Layout::Rgba}, cv::COLOR_RGB2RGBA}, {{Layout::Rgb, Layout::Bgra}, cv::COLOR_RGB2BGRA},
    {{Layout::Bgr, Layout::Rgba}, cv::COLOR_BGR2RGBA}, {{Layout::Bgr, Layout::Bgra}, cv::COLOR_BGR2BGRA},
    {{Layout::Rgba, Layout::Rgb}, cv::COLOR_RGBA2RGB}, {{Layout::Rgba, Layout::Bgr}, cv::COLOR_RGBA2BGR},
    {{Layout::Bgra, Layout::Rgb}, cv::COLOR_BGRA2RGB}, {{Layout::Bgra, Layout::Bgr}, cv::COLOR_BGRA2BGR},
    {{Layout::Rgba, Layout::Bgra}, cv::COLOR_RGBA2BGRA}, {{Layout::Bgra, Layout::Rgba}, cv::COLOR_BGRA2RGBA},
    {{Layout::Rgb, Layout::Mono}, cv::COLOR_RGB2GRAY}, {{Layout::Bgr, Layout::Mono}, cv::COLOR_BGR2GRAY},
    {{Layout::Rgba, Layout::Mono}, cv::COLOR_RGBA2GRAY}, {{Layout::Bgra, Layout::Mono}, cv::COLOR_BGRA2GRAY},
    {{Layout::Mono, Layout::Rgb}, cv::COLOR_GRAY2RGB}, {{Layout::Mono, Layout::Bgr}, cv::COLOR_GRAY2BGR},
    {{Layout::Mono, Layout::Rgba}, cv::COLOR_GRAY2RGBA}, {{Layout::Mono, Layout::Bgra}, cv::COLOR_GRAY2BGRA},
  };
  if (from == to) {
    return -1;
  }
  return codes.at({from, to});
}

// "16UC1", "8UC3": a plain OpenCV type without a colour meaning.
bool is_generic(const std::string & encoding)
{
  return !encoding.empty() && encoding[0] >= '0' && encoding[0] <= '9';
}

cv::Mat matrix_from_message(const sensor_msgs::msg::Image & source)
{
  const int type = getCvType(source.encoding);
  const size_t row_bytes = static_cast<size_t>(source.width) * CV_ELEM_SIZE(type);
  if (source.step < row_bytes) {
    throw Exception(
            "Image is wrongly formed: step (" + std::to_string(source.step) + ") is smaller than a row of " +
            std::to_string(source.width) + " " + source.encoding + " pixels (" + std::to_string(row_bytes) +
            " bytes)");
  }
  if (static_cast<size_t>(source.step) * source.height != source.data.size()) {
    throw Exception(
            "Image is wrongly formed: step * height != size  or  " + std::to_string(source.step) + " * " +
            std::to_string(source.height) + " != " + std::to_string(source.data.size()));
  }
  cv::Mat wrapped(
    static_cast<int>(source.height), static_cast<int>(source.width), type,
    const_cast<uint8_t *>(source.data.data()), source.step);
  cv::Mat copy = wrapped.clone();
  if ((source.is_bigendian != 0) != host_is_big_endian() && copy.elemSize1() > 1) {
    // Swap each channel value's bytes to the host's order.
    const size_t width = copy.elemSize1();
    for (int r = 0; r < copy.rows; ++r) {
      uint8_t * row = copy.ptr<uint8_t>(r);
      for (size_t i = 0; i + width <= copy.cols * copy.elemSize(); i += width) {
        std::reverse(row + i, row + i + width);
      }
    }
  }
  return copy;
}

}  // namespace

int getCvType(const std::string & encoding)
{
  static const std::map<std::string, int> types = {
    {"rgb8", CV_8UC3}, {"bgr8", CV_8UC3}, {"rgba8", CV_8UC4}, {"bgra8", CV_8UC4},
    {"rgb16", CV_16UC3}, {"bgr16", CV_16UC3}, {"rgba16", CV_16UC4}, {"bgra16", CV_16UC4},
    {"mono8", CV_8UC1}, {"mono16", CV_16UC1},
    {"8UC1", CV_8UC1}, {"8UC2", CV_8UC2}, {"8UC3", CV_8UC3}, {"8UC4", CV_8UC4},
    {"8SC1", CV_8SC1}, {"16UC1", CV_16UC1}, {"16UC3", CV_16UC3}, {"16SC1", CV_16SC1},
    {"32SC1", CV_32SC1}, {"32FC1", CV_32FC1}, {"32FC3", CV_32FC3}, {"64FC1", CV_64FC1},
  };
  auto it = types.find(encoding);
  if (it == types.end()) {
    throw Exception("Unrecognized image encoding [" + encoding + "]");
  }
  return it->second;
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image & source, const std::string & encoding)
{
  cv::Mat image = matrix_from_message(source);
  auto result = std::make_shared<CvImage>(source.header, source.encoding);
  if (encoding.empty() || encoding == source.encoding) {
    result->image = image;
    return result;
  }
  const int target_type = getCvType(encoding);  // throws for an unknown target
  const Layout from = layout_of(source.encoding);
  const Layout to = layout_of(encoding);
  if (from != Layout::None && to != Layout::None) {
    cv::cvtColor(image, result->image, conversion_code(from, to));
  } else if (target_type == image.type() && (is_generic(source.encoding) || is_generic(encoding))) {
    // Same memory layout under another name (mono16 <-> 16UC1, rgb8 <-> 8UC3).
    result->image = image;
  } else {
    throw Exception("Unsupported conversion from [" + source.encoding + "] to [" + encoding + "]");
  }
  result->encoding = encoding;
  return result;
}

CvImagePtr toCvCopy(const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding)
{
  if (!source) {
    throw Exception("toCvCopy: the image message is null");
  }
  return toCvCopy(*source, encoding);
}

CvImageConstPtr toCvShare(const sensor_msgs::msg::Image::ConstSharedPtr & source, const std::string & encoding)
{
  return toCvCopy(source, encoding);
}

void CvImage::toImageMsg(sensor_msgs::msg::Image & ros_image) const
{
  ros_image.header = header;
  ros_image.height = static_cast<uint32_t>(image.rows);
  ros_image.width = static_cast<uint32_t>(image.cols);
  ros_image.encoding = encoding;
  ros_image.is_bigendian = host_is_big_endian() ? 1 : 0;
  ros_image.step = static_cast<uint32_t>(image.cols * image.elemSize());
  const size_t size = static_cast<size_t>(ros_image.step) * image.rows;
  ros_image.data.resize(size);
  if (image.isContinuous()) {
    if (size > 0) {
      std::memcpy(ros_image.data.data(), image.data, size);
    }
  } else {
    for (int r = 0; r < image.rows; ++r) {
      std::memcpy(ros_image.data.data() + r * ros_image.step, image.ptr(r), ros_image.step);
    }
  }
}

sensor_msgs::msg::Image::SharedPtr CvImage::toImageMsg() const
{
  auto ros_image = std::make_shared<sensor_msgs::msg::Image>();
  toImageMsg(*ros_image);
  return ros_image;
}

}  // namespace cv_bridge
