#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "cv_bridge/cv_bridge.h"
#include "sensor_msgs/msg/image.hpp"

namespace
{
// A 2x1 rgb8 image: a red pixel then a blue one, with 2 bytes of row padding.
sensor_msgs::msg::Image red_blue_rgb8()
{
  sensor_msgs::msg::Image m;
  m.header.frame_id = "cam";
  m.header.stamp.sec = 7;
  m.height = 1;
  m.width = 2;
  m.encoding = "rgb8";
  m.step = 8;
  m.data = {255, 0, 0, 0, 0, 255, 9, 9};
  return m;
}
}  // namespace

TEST(CvBridge, ColourConversionsAndCopies)
{
  const auto msg = std::make_shared<const sensor_msgs::msg::Image>(red_blue_rgb8());

  auto same = cv_bridge::toCvCopy(msg, "rgb8");
  ASSERT_EQ(CV_8UC3, same->image.type());
  EXPECT_EQ(cv::Vec3b(255, 0, 0), same->image.at<cv::Vec3b>(0, 0));
  EXPECT_EQ("rgb8", same->encoding);
  EXPECT_EQ("cam", same->header.frame_id);
  EXPECT_EQ(7, same->header.stamp.sec);

  auto bgr = cv_bridge::toCvCopy(*msg, "bgr8");
  EXPECT_EQ("bgr8", bgr->encoding);
  EXPECT_EQ(cv::Vec3b(0, 0, 255), bgr->image.at<cv::Vec3b>(0, 0));
  EXPECT_EQ(cv::Vec3b(255, 0, 0), bgr->image.at<cv::Vec3b>(0, 1));

  auto mono = cv_bridge::toCvCopy(msg, "mono8");
  ASSERT_EQ(CV_8UC1, mono->image.type());
  EXPECT_EQ(76, mono->image.at<uint8_t>(0, 0));  // 0.299 * 255, OpenCV's fixed-point rounding

  // A copy owns its pixels: changing it leaves the message alone.
  same->image.at<cv::Vec3b>(0, 0) = cv::Vec3b(1, 2, 3);
  EXPECT_EQ(255, msg->data[0]);

  // Default encoding: the source's.
  EXPECT_EQ("rgb8", cv_bridge::toCvCopy(msg)->encoding);
}

TEST(CvBridge, SixteenBitDepthKeepsItsValues)
{
  cv::Mat depth(2, 3, CV_16UC1);
  for (int i = 0; i < 6; ++i) {
    depth.at<uint16_t>(i / 3, i % 3) = static_cast<uint16_t>(1000 * i + 1);
  }
  std_msgs::msg::Header header;
  header.frame_id = "depth";
  auto msg = cv_bridge::CvImage(header, "16UC1", depth).toImageMsg();
  EXPECT_EQ(2u, msg->height);
  EXPECT_EQ(3u, msg->width);
  EXPECT_EQ(6u, msg->step);
  EXPECT_EQ(0, msg->is_bigendian);
  ASSERT_EQ(12u, msg->data.size());
  uint16_t last = 0;
  std::memcpy(&last, &msg->data[10], 2);
  EXPECT_EQ(5001, last);

  auto as_mono16 = cv_bridge::toCvCopy(msg, "mono16");
  EXPECT_EQ("mono16", as_mono16->encoding);
  EXPECT_EQ(0, cv::countNonZero(as_mono16->image != depth));

  // Big-endian data is turned into host order.
  sensor_msgs::msg::Image big;
  big.height = 1;
  big.width = 1;
  big.encoding = "16UC1";
  big.is_bigendian = 1;
  big.step = 2;
  big.data = {0x12, 0x34};
  EXPECT_EQ(0x1234, cv_bridge::toCvCopy(big)->image.at<uint16_t>(0, 0));
}

TEST(CvBridge, ToImageMsgForms)
{
  cv::Mat rgb(1, 2, CV_8UC3, cv::Scalar(1, 2, 3));
  cv_bridge::CvImage image(std_msgs::msg::Header(), "rgb8", rgb);
  sensor_msgs::msg::Image out;
  image.toImageMsg(out);
  EXPECT_EQ("rgb8", out.encoding);
  EXPECT_EQ(6u, out.step);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 1, 2, 3}), out.data);
  EXPECT_EQ(out, *image.toImageMsg());
  EXPECT_EQ(0, out.header.stamp.sec);
  EXPECT_EQ("", out.header.frame_id);
}

TEST(CvBridge, MalformedImagesAndImpossibleConversionsThrow)
{
  auto msg = red_blue_rgb8();
  EXPECT_THROW(cv_bridge::toCvCopy(msg, "yuv422_odd"), cv_bridge::Exception);
  EXPECT_THROW(cv_bridge::toCvCopy(msg, "16UC1"), cv_bridge::Exception);
  EXPECT_THROW(cv_bridge::toCvCopy(msg, "mono16"), cv_bridge::Exception);

  auto short_data = msg;
  short_data.data.pop_back();  // height * step != size
  EXPECT_THROW(cv_bridge::toCvCopy(short_data, "rgb8"), cv_bridge::Exception);

  auto short_step = msg;
  short_step.step = 5;  // smaller than 2 pixels * 3 bytes
  short_step.data.resize(5);
  EXPECT_THROW(cv_bridge::toCvCopy(short_step, "rgb8"), cv_bridge::Exception);

  auto unknown = msg;
  unknown.encoding = "weird";
  EXPECT_THROW(cv_bridge::toCvCopy(unknown), cv_bridge::Exception);
  EXPECT_THROW(cv_bridge::toCvCopy(sensor_msgs::msg::Image::ConstSharedPtr()), cv_bridge::Exception);
}
