#include "drivers/camera_sim/include/scene_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace tovak::device::sim {

Rs2Intrinsics pinholeIntrinsics(int width, int height, double hfov_deg) {
  Rs2Intrinsics k;
  const double f = width / (2.0 * std::tan(hfov_deg * M_PI / 360.0));
  k.fx = static_cast<float>(f);
  k.fy = static_cast<float>(f);
  k.cx = static_cast<float>((width - 1) / 2.0);
  k.cy = static_cast<float>((height - 1) / 2.0);
  return k;
}

SceneRenderer::SceneRenderer(int width, int height, const Rs2Intrinsics& intrinsics)
    : width_(width), height_(height), k_(intrinsics) {}

namespace {

struct Ball {
  double x, y, z, r;
  double b, g, rd;  // colour, BGR 0..1
};

// Positions at time t: each ball circles on the floor and bounces.
std::vector<Ball> ballsAt(double t) {
  const double h = SceneRenderer::kCameraHeight;
  std::vector<Ball> balls;
  struct Path {
    double x0, z0, ax, az, w, phase, r, bounce, bw;
    double b, g, rd;
  };
  static const Path paths[] = {
      {-0.6, 3.4, 0.7, 0.8, 0.9, 0.0, 0.30, 0.35, 3.1, 0.15, 0.20, 0.95},
      {0.7, 3.8, 0.5, 0.6, -0.6, 1.7, 0.40, 0.15, 2.3, 0.25, 0.85, 0.25},
      {0.0, 2.9, 1.1, 0.3, 0.4, 3.1, 0.22, 0.55, 4.0, 0.95, 0.45, 0.15},
  };
  for (const auto& p : paths) {
    Ball b;
    b.r = p.r;
    b.x = p.x0 + p.ax * std::sin(p.w * t + p.phase);
    b.z = p.z0 + p.az * std::cos(p.w * t + p.phase);
    b.y = h - p.r - p.bounce * std::fabs(std::sin(p.bw * t + p.phase));
    b.b = p.b;
    b.g = p.g;
    b.rd = p.rd;
    balls.push_back(b);
  }
  return balls;
}

inline uint16_t toMm(double z) {
  const double mm = std::round(z * 1000.0);
  return static_cast<uint16_t>(std::clamp(mm, 0.0, 65535.0));
}

}  // namespace

void SceneRenderer::render(double t, cv::Mat& color, cv::Mat* depth_mm) const {
  color.create(height_, width_, CV_8UC3);
  // The z-buffer is needed for occlusion even when no depth image is wanted.
  std::vector<float> zbuf(static_cast<size_t>(width_) * height_);
  const double h = kCameraHeight;
  const double zw = kWallDistance;
  const double light[3] = {-0.45, -0.8, -0.4};  // towards the light, normalised below
  const double ln = std::sqrt(light[0] * light[0] + light[1] * light[1] + light[2] * light[2]);

  // Background: floor below the horizon, wall behind.
  for (int v = 0; v < height_; ++v) {
    const double dy = (v - k_.cy) / k_.fy;
    const double t_floor = dy > 0 ? h / dy : std::numeric_limits<double>::infinity();
    auto* row = color.ptr<cv::Vec3b>(v);
    float* zrow = zbuf.data() + static_cast<size_t>(v) * width_;
    for (int u = 0; u < width_; ++u) {
      const double dx = (u - k_.cx) / k_.fx;
      if (t_floor < zw) {
        const double x = dx * t_floor;
        const double z = t_floor;
        const int cell = static_cast<int>(std::floor(x / 0.5)) + static_cast<int>(std::floor(z / 0.5));
        const double base = (cell & 1) ? 0.85 : 0.35;
        const double fog = 1.0 - 0.08 * z;
        const auto c = static_cast<uchar>(std::clamp(255.0 * base * fog, 0.0, 255.0));
        row[u] = cv::Vec3b(c, static_cast<uchar>(c * 0.95), static_cast<uchar>(c * 0.9));
        zrow[u] = static_cast<float>(z);
      } else {
        const double y = dy * zw;  // height on the wall
        const double s = std::clamp(0.55 + 0.15 * y, 0.0, 1.0);
        row[u] = cv::Vec3b(static_cast<uchar>(230 * s), static_cast<uchar>(190 * s), static_cast<uchar>(150 * s));
        zrow[u] = static_cast<float>(zw);
      }
    }
  }

  // Balls: analytic ray-sphere intersection inside each ball's screen box.
  for (const Ball& b : ballsAt(t)) {
    const double zn = b.z - b.r;
    if (zn <= 0.05) continue;
    const double us[4] = {(b.x - b.r) / zn, (b.x - b.r) / (b.z + b.r), (b.x + b.r) / zn, (b.x + b.r) / (b.z + b.r)};
    const double vs[4] = {(b.y - b.r) / zn, (b.y - b.r) / (b.z + b.r), (b.y + b.r) / zn, (b.y + b.r) / (b.z + b.r)};
    const int u0 = std::max(0, static_cast<int>(std::floor(k_.cx + k_.fx * *std::min_element(us, us + 4))));
    const int u1 = std::min(width_ - 1, static_cast<int>(std::ceil(k_.cx + k_.fx * *std::max_element(us, us + 4))));
    const int v0 = std::max(0, static_cast<int>(std::floor(k_.cy + k_.fy * *std::min_element(vs, vs + 4))));
    const int v1 = std::min(height_ - 1, static_cast<int>(std::ceil(k_.cy + k_.fy * *std::max_element(vs, vs + 4))));
    const double cc = b.x * b.x + b.y * b.y + b.z * b.z - b.r * b.r;
    for (int v = v0; v <= v1; ++v) {
      const double dy = (v - k_.cy) / k_.fy;
      auto* row = color.ptr<cv::Vec3b>(v);
      float* zrow = zbuf.data() + static_cast<size_t>(v) * width_;
      for (int u = u0; u <= u1; ++u) {
        const double dx = (u - k_.cx) / k_.fx;
        // Ray o + s*d with d = (dx, dy, 1): s is the z distance itself.
        const double a = dx * dx + dy * dy + 1.0;
        const double bb = -2.0 * (dx * b.x + dy * b.y + b.z);
        const double disc = bb * bb - 4.0 * a * cc;
        if (disc < 0) continue;
        const double s = (-bb - std::sqrt(disc)) / (2.0 * a);
        if (s <= 0 || s >= zrow[u]) continue;
        zrow[u] = static_cast<float>(s);
        const double n[3] = {(dx * s - b.x) / b.r, (dy * s - b.y) / b.r, (s - b.z) / b.r};
        const double lambert = std::max(0.0, (n[0] * light[0] + n[1] * light[1] + n[2] * light[2]) / ln);
        const double shade = 0.25 + 0.75 * lambert;
        row[u] = cv::Vec3b(static_cast<uchar>(255 * b.b * shade), static_cast<uchar>(255 * b.g * shade),
                           static_cast<uchar>(255 * b.rd * shade));
      }
    }
  }

  // A clock in the corner: a viewer sees time pass even when nothing moves.
  char label[64];
  std::snprintf(label, sizeof label, "t=%.2fs", t);
  const double font = std::max(0.3, width_ / 1280.0);
  cv::putText(color, label, cv::Point(8, static_cast<int>(20 * font / 0.5)), cv::FONT_HERSHEY_SIMPLEX, font,
              cv::Scalar(20, 20, 20), 1, cv::LINE_AA);

  if (depth_mm) {
    depth_mm->create(height_, width_, CV_16UC1);
    for (int v = 0; v < height_; ++v) {
      auto* drow = depth_mm->ptr<uint16_t>(v);
      const float* zrow = zbuf.data() + static_cast<size_t>(v) * width_;
      for (int u = 0; u < width_; ++u) drow[u] = toMm(zrow[u]);
    }
  }
}

}  // namespace tovak::device::sim
