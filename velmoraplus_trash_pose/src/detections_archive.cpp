#include "velmoraplus_trash_pose/detections_archive.hpp"

#include <filesystem>
#include <fstream>
#include <iomanip>

#include "velmoraplus_trash_pose/debug_archive.hpp"
#include "velmoraplus_trash_pose/yaml_quote.hpp"

namespace velmora
{

bool SaveDetections(
  const std::string & stem, const std::string & stamp,
  const std::vector<det::Object> & detections)
{
  const ArchiveFile index_file = ClaimArchiveFile(stem, stamp, "[detections].yaml");
  if (index_file.path.empty()) {
    return false;
  }
  std::ofstream index(index_file.path);
  index << std::setprecision(9);
  index << "# Detections of one pass, replayable with a model configuration\n"
        << "# {source: recorded, recording: <this file>}.\n"
        << "frames:\n  - objects:" << (detections.empty() ? " []" : "") << "\n";
  bool written = true;
  for (std::size_t k = 0; k < detections.size(); ++k) {
    const det::Object & d = detections[k];
    const std::string tail = "[det" + std::to_string(k) + "][mask].png";
    cv::Mat mask = d.mask.empty() ? cv::Mat() : cv::Mat(d.mask != 0);
    std::string mask_stamp = index_file.stamp;
    written = SaveArchiveImage(stem, index_file.stamp, tail, mask, &mask_stamp) && written;
    index << "      - label: " << d.label << "\n"
          << "        score: " << d.score << "\n"
          << "        box: [" << d.rect.x << ", " << d.rect.y << ", " << d.rect.width << ", " <<
      d.rect.height << "]\n"
          << "        mask: " <<
      YamlQuoted(std::filesystem::path(stem + mask_stamp + tail).filename().string()) << "\n";
  }
  index.flush();
  return written && static_cast<bool>(index);
}

}  // namespace velmora
