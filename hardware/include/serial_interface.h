#pragma once

namespace tovak {

// Register addresses of the RH56DFTP hand on its serial link. The order is
// the controller's documentation order (not sorted by address).
struct RegEntry {
  const char* name;
  int address;
};

inline constexpr RegEntry regdict[18] = {
    {"defaultSpeedSet", 1032},  {"defaultForceSet", 1044},  {"posSet", 1474},
    {"angleSet", 1486},         {"forceSet", 1498},         {"speedSet", 1522},
    {"angleAct", 1546},         {"posAct", 1534},           {"forceAct", 1582},
    {"current", 1594},          {"error", 1606},            {"temperature", 1618},
    {"finger_one_touch", 3000}, {"finger_two_touch", 3370}, {"finger_the_touch", 3740},
    {"finger_or_touch", 4110},  {"finger_fiv_touch", 4480}, {"finger_palm_touch", 4900},
};

}  // namespace tovak
