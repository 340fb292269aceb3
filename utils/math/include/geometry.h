#pragma once

// Plain geometry records shared by the device interfaces. Angles are radians,
// lengths metres, unless a driver documents otherwise.
namespace tovak::math {

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

struct Pose2d {
  double x = 0.0;
  double y = 0.0;
  double theta = 0.0;
};

// Rotation as a unit quaternion, scalar part first.
struct Quat {
  double w = 1.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

struct Position {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

// Rotation as three angles about x, y and z.
struct Euler {
  double rx = 0.0;
  double ry = 0.0;
  double rz = 0.0;
};

// A pose that carries its rotation twice: as quaternion and as Euler angles.
struct Pose3d {
  Position position;
  Quat quaternion;
  Euler euler;
};

}  // namespace tovak::math
