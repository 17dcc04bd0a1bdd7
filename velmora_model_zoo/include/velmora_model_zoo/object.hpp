#pragma once

#include <opencv2/core.hpp>

namespace det {

// One detection of the segmentation model.
struct Object {
  cv::Rect_<float> rect;  // box in pixels of the input image, clipped to it
  int label = 0;          // index into the class-name list
  float score = 0.0F;     // confidence
  cv::Mat mask;           // CV_8UC1 of the input image size, 1 = object, 0 = background
};

}  // namespace det
