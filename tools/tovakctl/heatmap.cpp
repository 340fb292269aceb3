#include "heatmap.h"

#include <algorithm>
#include <vector>

#include "client.h"

namespace tovakctl {

using tovak::api::SensorData;

namespace {

// xterm-256 colours from cold to hot: blue, cyan, green, yellow, red.
constexpr int kRamp[] = {17, 18, 19, 20, 21, 27, 33, 39, 45, 51, 50, 49, 48, 47, 46,
                         82, 118, 154, 190, 226, 220, 214, 208, 202, 196};
constexpr int kRampSize = sizeof kRamp / sizeof kRamp[0];
constexpr int kZero = 236;  // dark grey: a cell that reads nothing

int colour(int v, int scale) {
  if (v <= 0) return kZero;
  const int i = static_cast<int>(static_cast<long>(v) * (kRampSize - 1) / std::max(scale, 1));
  return kRamp[std::clamp(i, 0, kRampSize - 1)];
}

std::string fingerName(SensorData::FingerType f) {
  switch (f) {
    case SensorData::PINKY: return "pinky";
    case SensorData::RING: return "ring";
    case SensorData::MIDDLE_FINGER: return "middle";
    case SensorData::INDEX: return "index";
    case SensorData::THUMB: return "thumb";
    case SensorData::PALM: return "palm";
    default: return "?";
  }
}

std::string shortPart(SensorData::PartType p) {
  switch (p) {
    case SensorData::TIP: return "tip";
    case SensorData::FINGER: return "finger";
    case SensorData::PAD: return "pad";
    case SensorData::THUMB_MIDDLE: return "middle";
    case SensorData::PALM_PAD: return "pad";
    default: return "?";
  }
}

// A piece of text and how many terminal cells it takes.
struct Cell {
  std::string text;
  int width = 0;
};

int cellAt(const SensorData& s, int r, int c) {
  if (r >= s.data_size()) return -1;
  const auto& row = s.data(r);
  return c < row.values_size() ? row.values(c) : -1;
}

}  // namespace

std::string partName(const SensorData& s) {
  return fingerName(s.finger_type()) + " " + shortPart(s.part_type());
}

std::string HeatMap::render(const google::protobuf::RepeatedPtrField<SensorData>& sensors, long frame) {
  int peak = 0;
  for (const auto& s : sensors)
    for (const auto& row : s.data())
      for (int v : row.values()) peak = std::max(peak, v);
  scale_ = std::max(scale_, peak);

  // Columns in the order the fingers first appear.
  std::vector<SensorData::FingerType> order;
  for (const auto& s : sensors)
    if (std::find(order.begin(), order.end(), s.finger_type()) == order.end()) order.push_back(s.finger_type());

  std::vector<std::vector<Cell>> columns;
  for (auto f : order) {
    std::vector<Cell> col;
    col.push_back({fingerName(f), static_cast<int>(fingerName(f).size())});
    for (const auto& s : sensors) {
      if (s.finger_type() != f) continue;
      const int rows = std::max(s.rows(), s.data_size());
      int cols = s.cols();
      for (const auto& row : s.data()) cols = std::max(cols, row.values_size());
      col.push_back({shortPart(s.part_type()) + fmt(" %dx%d", s.rows(), s.cols()), 0});
      col.back().width = static_cast<int>(col.back().text.size());
      for (int r = 0; r < rows; r += 2) {
        Cell line;
        for (int c = 0; c < cols; ++c) {
          const int top = cellAt(s, r, c);
          const int bottom = r + 1 < rows ? cellAt(s, r + 1, c) : -2;
          line.text += fmt("\x1b[38;5;%dm", top < 0 ? kZero : colour(top, scale_));
          line.text += bottom == -2 ? std::string("\x1b[49m") : fmt("\x1b[48;5;%dm", bottom < 0 ? kZero : colour(bottom, scale_));
          line.text += "\u2580";
        }
        line.text += "\x1b[0m";
        line.width = cols;
        col.push_back(line);
      }
    }
    columns.push_back(std::move(col));
  }

  std::string out = fmt("frame %ld   peak %d   scale 0 ", frame, peak);
  for (int i = 0; i < kRampSize; ++i) out += fmt("\x1b[38;5;%dm\u2588", kRamp[i]);
  out += fmt("\x1b[0m %d\x1b[K\n", scale_);
  size_t height = 0;
  std::vector<int> widths;
  for (const auto& col : columns) {
    height = std::max(height, col.size());
    int w = 0;
    for (const auto& c : col) w = std::max(w, c.width);
    widths.push_back(w);
  }
  for (size_t l = 0; l < height; ++l) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const Cell blank;
      const Cell& cell = l < columns[c].size() ? columns[c][l] : blank;
      out += cell.text + std::string(static_cast<size_t>(widths[c] - cell.width + 2), ' ');
    }
    out += "\x1b[K\n";
  }
  return out;
}

}  // namespace tovakctl
