#ifndef VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_
#define VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_

#include <string>
#include <vector>

#include "velmora_model_zoo/object.hpp"

namespace velmora
{

// Writes `detections` as a recording of the model library (one frame):
// "<stem>[detections].yaml" and one "<stem>[det<k>][mask].png" per detection,
// so a model configuration with `source: recorded` replays them exactly.
// False when a file cannot be written.
bool SaveDetections(const std::string & stem, const std::vector<det::Object> & detections);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__DETECTIONS_ARCHIVE_HPP_
