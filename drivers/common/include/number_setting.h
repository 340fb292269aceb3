#pragma once

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace tovak::device {

// Reads a numeric setting given as text (an XML attribute or an updateParams
// value). The whole text must be one finite number inside [min, max];
// otherwise std::invalid_argument names the owner ("robot humanoid"), the
// setting, the value and the accepted range. Nothing is clamped.
inline double parseNumberSetting(const std::string& owner, const std::string& name, const std::string& text,
                                 double min, double max) {
  const auto fail = [&](const std::string& why) {
    throw std::invalid_argument(owner + ": setting " + name + " = '" + text + "' " + why + " (accepted: " +
                                std::to_string(min) + " to " + std::to_string(max) + ")");
  };
  if (text.empty()) fail("is empty");
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') fail("is not a number");
  if (!std::isfinite(v)) fail("is not finite");
  if (v < min || v > max) fail("is out of range");
  return v;
}

// As parseNumberSetting for an optional XML attribute: `def` when absent.
template <class Node>
double numberAttr(const Node& node, const std::string& owner, const std::string& name, double def, double min,
                  double max) {
  const auto attrs = node.getAllAttr();
  auto it = attrs.find(name);
  if (it == attrs.end()) return def;
  return parseNumberSetting(owner, name, it->second, min, max);
}

}  // namespace tovak::device
