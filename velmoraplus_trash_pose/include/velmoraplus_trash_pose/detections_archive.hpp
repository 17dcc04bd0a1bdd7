#ifndef VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_
#define VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_

#include <string>
#include <vector>

#include "velmora_model_zoo/object.hpp"

namespace velmora
{

// Writes `detections` as a recording of the model library (one frame):
// "<stem><stamp>[detections].yaml" and one "<stem><stamp>[det<k>][mask].png"
// per detection, so a model configuration with `source: recorded` replays
// them exactly. Names are archive files (ClaimArchiveFile): a name already
// taken gets "_<n>" after the stamp, and the index names the masks as
// written. False when a file cannot be written.
bool SaveDetections(
  const std::string & stem, const std::string & stamp,
  const std::vector<det::Object> & detections);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_
