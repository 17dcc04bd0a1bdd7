#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/object.hpp"

namespace det {

// Draws each object's box and "name score" caption into `out`, a new copy of `image` (the
// input is never written).  `image` is RGB 8-bit 3-channel; `colors` holds RGB triples
// indexed by label (modulo its size).  A label outside `class_names` is captioned with its
// number.  Throws std::invalid_argument for an empty or non-CV_8UC3 image, an empty colour
// table or a colour with fewer than three values.
void draw_objects(const cv::Mat& image, cv::Mat& out, const std::vector<Object>& objects,
                  const std::vector<std::string>& class_names,
                  const std::vector<std::vector<unsigned int>>& colors);

// As draw_objects, after blending each object's mask at half opacity in
// `mask_colors[label % mask_colors.size()]`.  Masks that are not CV_8UC1 of the image size
// are not blended (their boxes are still drawn).
void draw_objects_masks(const cv::Mat& image, cv::Mat& out, const std::vector<Object>& objects,
                        const std::vector<std::string>& class_names,
                        const std::vector<std::vector<unsigned int>>& colors,
                        const std::vector<std::vector<unsigned int>>& mask_colors);

}  // namespace det
