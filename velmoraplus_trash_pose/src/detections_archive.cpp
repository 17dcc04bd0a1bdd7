#include "velmoraplus_trash_pose/detections_archive.hpp"

#include <filesystem>
#include <fstream>
#include <iomanip>

#include "velmoraplus_trash_pose/debug_archive.hpp"

namespace velmora
{

bool SaveDetections(const std::string & stem, const std::vector<det::Object> & detections)
{
  const std::string index_path = stem + "[detections].yaml";
  std::ofstream index(index_path);
  index << std::setprecision(9);
  index << "# Detections of one pass, replayable with a model configuration\n"
        << "# {source: recorded, recording: <this file>}.\n"
        << "frames:\n  - objects:" << (detections.empty() ? " []" : "") << "\n";
  bool written = true;
  for (std::size_t k = 0; k < detections.size(); ++k) {
    const det::Object & d = detections[k];
    const std::string mask_path = stem + "[det" + std::to_string(k) + "][mask].png";
    cv::Mat mask = d.mask.empty() ? cv::Mat() : cv::Mat(d.mask != 0);
    written = SaveImage(mask_path, mask) && written;
    index << "      - label: " << d.label << "\n"
          << "        score: " << d.score << "\n"
          << "        box: [" << d.rect.x << ", " << d.rect.y << ", " << d.rect.width << ", " <<
      d.rect.height << "]\n"
          << "        mask: \"" << std::filesystem::path(mask_path).filename().string() << "\"\n";
  }
  index.flush();
  return written && static_cast<bool>(index);
}

}  // namespace velmora
