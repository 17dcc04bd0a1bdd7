// Copyright 2026 Velmora robotics team
//
// Licensed under the Apache License, Version 2.0 (the "License");
// you may not use this file except in compliance with the License.
// You may obtain a copy of the License at
//
//     http://www.apache.org/licenses/LICENSE-2.0
//
// Unless required by applicable law or agreed to in writing, software
// distributed under the License is distributed on an "AS IS" BASIS,
// WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
// See the License for the specific language governing permissions and
// limitations under the License.

#include "velmoraplus_trash_pose/pass/pass_pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include <Eigen/Geometry>
#include <opencv2/imgproc.hpp>

#include "velmoraplus_trash_pose/core/class_tables.hpp"

namespace velmora
{

const char * OutcomeName(ObjectOutcome outcome)
{
  switch (outcome) {
    case ObjectOutcome::kAccepted: return "accepted";
    case ObjectOutcome::kTooFewPoints: return "too few points";
    case ObjectOutcome::kTooFewAfterFilter: return "too few points after filtering";
    case ObjectOutcome::kOutsideWorkspace: return "outside the workspace";
    case ObjectOutcome::kUnhandledAxis: return "main axis not handled";
    case ObjectOutcome::kNotWhitelisted: return "not on a whitelisted place";
    case ObjectOutcome::kError: return "error";
    case ObjectOutcome::kNotTrash: return "not trash";
    case ObjectOutcome::kAtEdge: return "at the edge";
    case ObjectOutcome::kUnmapped: return "unmapped";
  }
  return "unknown";
}

namespace
{

constexpr double kPi = 3.141592653589793;
constexpr double kAxisLength = 0.06;  // metres drawn for each gripper axis

// BGR drawing colours.
const cv::Scalar kAccepted(60, 200, 60);
const cv::Scalar kRefused(40, 40, 230);
const cv::Scalar kOther(170, 170, 170);
const cv::Scalar kToolX(40, 40, 255);
const cv::Scalar kToolZ(255, 120, 30);
const cv::Scalar kText(255, 255, 255);

std::string LabelName(const PictureGeometry & geometry, int label)
{
  if (label >= 0 && static_cast<std::size_t>(label) < geometry.class_names.size()) {
    return geometry.class_names[static_cast<std::size_t>(label)];
  }
  const std::string name = ClassNameById(label + 1);
  return name.empty() ? "label " + std::to_string(label) : name;
}

void PutLabel(cv::Mat & image, const std::string & text, cv::Point at, const cv::Scalar & colour)
{
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.45, 1, &baseline);
  at.x = std::clamp(at.x, 0, std::max(0, image.cols - size.width - 2));
  at.y = std::clamp(at.y, size.height + 2, std::max(size.height + 2, image.rows - 2));
  cv::rectangle(
    image, cv::Point(at.x, at.y - size.height - 2), cv::Point(
      at.x + size.width + 2,
      at.y + baseline),
    colour, cv::FILLED);
  cv::putText(
    image, text, cv::Point(at.x + 1, at.y - 1), cv::FONT_HERSHEY_SIMPLEX, 0.45, kText, 1,
    cv::LINE_AA);
}

std::optional<cv::Point2d> Project(
  const Eigen::Vector3d & base_point, const PictureGeometry & geometry)
{
  const Eigen::Matrix4d camera_from_base = geometry.base2camera.cast<double>().inverse();
  const Eigen::Vector3d p = (camera_from_base * base_point.homogeneous()).head<3>();
  if (p.z() <= 1e-6) {
    return std::nullopt;
  }
  const auto & k = geometry.intrinsics;
  return cv::Point2d(k.fx * p.x() / p.z() + k.cx, k.fy * p.y() / p.z() + k.cy);
}

std::string Metres(double v)
{
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", v);
  return text;
}

}  // namespace

cv::Mat DrawPassImage(const PassReport & report, const PictureGeometry & geometry)
{
  cv::Mat image;
  if (report.image_rgb.empty()) {
    image = cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
  } else {
    cv::cvtColor(report.image_rgb, image, cv::COLOR_RGB2BGR);
  }

  for (const auto & detection : report.detections) {
    cv::rectangle(image, detection.rect, kOther, 1);
  }
  for (const auto & object : report.objects) {
    const bool accepted = object.outcome == ObjectOutcome::kAccepted;
    const cv::Scalar colour = accepted ? kAccepted : kRefused;
    const auto & rect = object.detection.rect;
    const det::Object & d = object.detection;
    if (!d.mask.empty() && d.mask.size() == d.mask_box.size() &&
      (d.mask_box & cv::Rect(cv::Point(), image.size())) == d.mask_box)
    {
      std::vector<std::vector<cv::Point>> contours;
      // The mask with a background margin, placed where its box lies.
      cv::Mat padded;
      cv::copyMakeBorder(d.mask, padded, 1, 1, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
      cv::findContours(
        padded, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE,
        d.mask_box.tl() - cv::Point(1, 1));
      cv::drawContours(image, contours, -1, colour, 1);
    }
    cv::rectangle(image, rect, colour, 2);
    char score[16];
    std::snprintf(score, sizeof(score), "%.2f", static_cast<double>(object.detection.score));
    const std::string title = "#" + std::to_string(object.index) + " " +
      LabelName(geometry, object.detection.label) + " " + score +
      (object.transparent ? " transparent" : "");
    PutLabel(
      image, title, cv::Point(static_cast<int>(rect.x), static_cast<int>(rect.y) - 2),
      colour);
    const std::string verdict = accepted ? "grab" : object.reason;
    PutLabel(
      image, verdict,
      cv::Point(static_cast<int>(rect.x), static_cast<int>(rect.y + rect.height) + 16), colour);

    if (!accepted) {
      continue;
    }
    const Eigen::Matrix3d axes = object.grab_orientation.toRotationMatrix();
    const auto centre = Project(object.grab_position, geometry);
    if (!centre) {
      continue;
    }
    const auto x_tip = Project(object.grab_position + axes.col(0) * kAxisLength, geometry);
    const auto z_tip = Project(object.grab_position + axes.col(2) * kAxisLength, geometry);
    if (x_tip) {
      cv::arrowedLine(image, *centre, *x_tip, kToolX, 2, cv::LINE_AA, 0, 0.2);
    }
    if (z_tip) {
      cv::arrowedLine(image, *centre, *z_tip, kToolZ, 2, cv::LINE_AA, 0, 0.2);
    }
    cv::circle(image, *centre, 5, kAccepted, cv::FILLED);
    cv::circle(image, *centre, 5, kText, 1);
  }
  std::string header = "cam " + std::to_string(report.cam_id) + ": " +
    std::to_string(report.detections.size()) + " detections, " +
    std::to_string(
    std::count_if(
      report.objects.begin(), report.objects.end(),
      [](const ObjectReport & o) {return o.outcome == ObjectOutcome::kAccepted;})) +
    " to grab   (tool x red, tool z blue)";
  if (!report.dropped.empty()) {
    header = "cam " + std::to_string(report.cam_id) + ": pass dropped: " + report.dropped;
  }
  PutLabel(image, header, cv::Point(4, 18), cv::Scalar(60, 60, 60));
  return image;
}

cv::Mat DrawTopView(const PassReport & report, const PictureGeometry & geometry)
{
  // Screen: the arm's front (-x) up, +y to the right, 1 px = 2 mm.
  constexpr int kSize = 800;
  constexpr double kScale = 500.0;
  constexpr double kTopX = -1.2;        // x shown at the top edge
  constexpr double kLeftY = -0.8;       // y shown at the left edge
  const auto to_screen = [&](double x, double y) {
      return cv::Point(
        static_cast<int>(std::lround((y - kLeftY) * kScale)),
        static_cast<int>(std::lround((x - kTopX) * kScale)));
    };
  cv::Mat view(kSize, kSize, CV_8UC3, cv::Scalar(250, 250, 250));

  for (int i = -12; i <= 4; ++i) {
    const double x = i * 0.1;
    cv::line(view, to_screen(x, kLeftY), to_screen(x, -kLeftY), cv::Scalar(225, 225, 225), 1);
  }
  for (int i = -8; i <= 8; ++i) {
    const double y = i * 0.1;
    cv::line(view, to_screen(kTopX, y), to_screen(0.4, y), cv::Scalar(225, 225, 225), 1);
  }

  // Workspace bounds at floor height: distance from the workspace origin, angle from -x.
  const auto & ws = geometry.workspace;
  const double dz = ws.floor_z - ws.origin_z;
  const auto horizontal = [&](double distance) {
      const double squared = distance * distance - dz * dz;
      return ws.origin_r + (squared > 0.0 ? std::sqrt(squared) : 0.0);
    };
  // The configuration bounds these; clamped here as well, so that no geometry
  // can make the outline loop long or leave the screen's integer range.
  // A lower limit of 0 or less is no limit: the inner bound is the origin.
  const double r_in = std::min(horizontal(std::max(ws.r_min, 0.0)), 100.0);
  const double r_out = std::min(horizontal(ws.r_max), 100.0);
  const double angle_min = std::max(ws.angle_min_deg, -360.0);
  const double angle_max = std::min(ws.angle_max_deg, 360.0);
  std::vector<cv::Point> outline;
  for (double a = angle_min; a <= angle_max + 1e-9; a += 2.0) {
    const double rad = a * kPi / 180.0;
    outline.push_back(to_screen(-r_out * std::cos(rad), r_out * std::sin(rad)));
  }
  for (double a = angle_max; a >= angle_min - 1e-9; a -= 2.0) {
    const double rad = a * kPi / 180.0;
    outline.push_back(to_screen(-r_in * std::cos(rad), r_in * std::sin(rad)));
  }
  cv::polylines(view, outline, true, cv::Scalar(200, 150, 90), 2, cv::LINE_AA);
  cv::putText(
    view, "workspace at floor height", to_screen(-r_out - 0.05, -0.3),
    cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(200, 150, 90), 1, cv::LINE_AA);

  // Robot base origin and camera.
  cv::drawMarker(view, to_screen(0.0, 0.0), cv::Scalar(0, 0, 0), cv::MARKER_CROSS, 16, 2);
  cv::putText(
    view, "base", to_screen(0.03, 0.02), cv::FONT_HERSHEY_SIMPLEX, 0.45,
    cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  const Eigen::Vector3f camera = geometry.base2camera.block<3, 1>(0, 3);
  cv::drawMarker(
    view, to_screen(camera.x(), camera.y()), cv::Scalar(
      120, 0,
      120), cv::MARKER_TRIANGLE_UP, 14,
    2);
  cv::putText(
    view, "camera", to_screen(camera.x() + 0.03, camera.y() + 0.02),
    cv::FONT_HERSHEY_SIMPLEX, 0.45, cv::Scalar(120, 0, 120), 1, cv::LINE_AA);

  int legend_line = 0;
  for (const auto & object : report.objects) {
    const bool accepted = object.outcome == ObjectOutcome::kAccepted;
    const cv::Scalar colour = accepted ? kAccepted : kRefused;
    for (const auto & p : object.cloud.points) {
      if (std::isfinite(p.x) && std::isfinite(p.y)) {
        const cv::Point q = to_screen(p.x, p.y);
        if (q.inside(cv::Rect(0, 0, kSize, kSize))) {
          view.at<cv::Vec3b>(q) = cv::Vec3b(
            static_cast<unsigned char>(colour[0]), static_cast<unsigned char>(colour[1]),
            static_cast<unsigned char>(colour[2]));
        }
      }
    }
    // The cloud carries its index; the legend says what became of it.
    std::string text = "#" + std::to_string(object.index) + " " +
      LabelName(geometry, object.detection.label) + ": " +
      (accepted ? std::string("grab") : object.reason);
    if (accepted) {
      text += " at (" + Metres(object.grab_position.x()) + ", " + Metres(object.grab_position.y()) +
        ", " + Metres(object.grab_position.z()) + ")";
    }
    cv::putText(
      view, text, cv::Point(8, 44 + 20 * legend_line++), cv::FONT_HERSHEY_SIMPLEX, 0.5,
      colour, 1, cv::LINE_AA);
    if (!object.cloud.empty()) {
      Eigen::Vector3d lowest_x(1e9, 0.0, 0.0);
      for (const auto & p : object.cloud.points) {
        if (p.x < lowest_x.x()) {
          lowest_x = Eigen::Vector3d(p.x, p.y, p.z);
        }
      }
      cv::putText(
        view, "#" + std::to_string(object.index), to_screen(lowest_x.x() - 0.01, lowest_x.y()),
        cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1, cv::LINE_AA);
    }
    if (!accepted) {
      continue;
    }
    // Box footprint: hull of the eight corners seen from above.
    std::vector<cv::Point> corners;
    const Eigen::Matrix3d r = object.box_orientation.toRotationMatrix();
    for (int c = 0; c < 8; ++c) {
      const Eigen::Vector3d offset(
        (c & 1 ? 0.5 : -0.5) * object.box_size.x(), (c & 2 ? 0.5 : -0.5) * object.box_size.y(),
        (c & 4 ? 0.5 : -0.5) * object.box_size.z());
      const Eigen::Vector3d corner = object.box_centre + r * offset;
      corners.push_back(to_screen(corner.x(), corner.y()));
    }
    std::vector<cv::Point> hull;
    cv::convexHull(corners, hull);
    cv::polylines(view, hull, true, colour, 1, cv::LINE_AA);
    const Eigen::Matrix3d axes = object.grab_orientation.toRotationMatrix();
    const cv::Point centre = to_screen(object.grab_position.x(), object.grab_position.y());
    const Eigen::Vector3d x_tip = object.grab_position + axes.col(0) * kAxisLength;
    const Eigen::Vector3d z_tip = object.grab_position + axes.col(2) * kAxisLength;
    cv::arrowedLine(view, centre, to_screen(x_tip.x(), x_tip.y()), kToolX, 2, cv::LINE_AA, 0, 0.2);
    cv::arrowedLine(view, centre, to_screen(z_tip.x(), z_tip.y()), kToolZ, 2, cv::LINE_AA, 0, 0.2);
    cv::circle(view, centre, 4, colour, cv::FILLED);
  }
  cv::putText(
    view, "cam " + std::to_string(
      report.cam_id) + " top view, base frame: -x up, +y right, grid 0.1 m",
    cv::Point(8, 20), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  return view;
}

}  // namespace velmora
