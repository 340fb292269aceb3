#pragma once

// The 17 tactile matrices of a hand as a compact ANSI heat map: one column
// per finger (and the palm), its parts stacked, two matrix rows per text line
// (upper-half blocks with foreground and background colours).

#include <google/protobuf/repeated_field.h>

#include <string>

#include "tovak/api/dexhand_command.pb.h"

namespace tovakctl {

class HeatMap {
 public:
  // Returns the picture, every line ending in "\x1b[K\n" so that it can be
  // redrawn in place. The colour scale grows with the largest reading seen.
  std::string render(const google::protobuf::RepeatedPtrField<tovak::api::SensorData>& sensors, long frame);

 private:
  int scale_ = 100;
};

// "index tip" for a part.
std::string partName(const tovak::api::SensorData& s);

}  // namespace tovakctl
