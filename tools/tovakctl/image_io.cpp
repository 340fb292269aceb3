#include "image_io.h"

#include <opencv2/imgcodecs.hpp>

#include <cstring>

#include "cli.h"
#include "client.h"

namespace tovakctl {

using tovak::api::FrameData;

std::string frameTypeText(FrameData::FrameType t) {
  switch (t) {
    case FrameData::U8C1: return "U8C1 (8-bit, 1 channel)";
    case FrameData::U16C1: return "U16C1 (16-bit, 1 channel)";
    case FrameData::U8C3: return "U8C3 (8-bit, 3 channels)";
    case FrameData::U16C3: return "U16C3 (16-bit, 3 channels)";
    case FrameData::F16C1: return "F16C1 (16-bit float, 1 channel)";
    case FrameData::F32C1: return "F32C1 (32-bit float, 1 channel)";
    default: return "type " + std::to_string(static_cast<int>(t));
  }
}

int bytesPerPixel(FrameData::FrameType t) {
  switch (t) {
    case FrameData::U8C1: return 1;
    case FrameData::U16C1: return 2;
    case FrameData::U8C3: return 3;
    case FrameData::U16C3: return 6;
    case FrameData::F16C1: return 2;
    case FrameData::F32C1: return 4;
    default: return 0;
  }
}

static int cvType(FrameData::FrameType t) {
  switch (t) {
    case FrameData::U8C1: return CV_8UC1;
    case FrameData::U16C1: return CV_16UC1;
    case FrameData::U8C3: return CV_8UC3;
    case FrameData::U16C3: return CV_16UC3;
    case FrameData::F16C1: return CV_16FC1;
    case FrameData::F32C1: return CV_32FC1;
    default: return -1;
  }
}

cv::Mat toMat(const FrameData& f) {
  const int bpp = bytesPerPixel(f.type());
  const int type = cvType(f.type());
  if (bpp == 0 || type < 0) throw CallFailed("the server sent an image of unknown type " + std::to_string(f.type()));
  if (f.width() < 0 || f.height() < 0) throw CallFailed(fmt("the server sent an image of size %dx%d", f.width(), f.height()));
  const size_t expected = static_cast<size_t>(f.width()) * static_cast<size_t>(f.height()) * static_cast<size_t>(bpp);
  if (f.data().size() != expected)
    throw CallFailed(fmt("the server sent %zu bytes for a %dx%d %s image, expected %zu", f.data().size(), f.width(),
                         f.height(), frameTypeText(f.type()).c_str(), expected));
  cv::Mat m(f.height(), f.width(), type);
  if (expected) std::memcpy(m.data, f.data().data(), expected);
  return m;
}

void writeImage(const std::string& path, const cv::Mat& src, bool swap_rb) {
  if (src.empty()) throw LocalError("the image is empty; nothing written to " + path);
  if (!cv::haveImageWriter(path)) throw LocalError("cannot write images of the kind " + path + " names");
  cv::Mat m = src;
  if (m.depth() == CV_16F) m.convertTo(m, CV_32F);
  if (swap_rb && m.channels() == 3) {
    cv::Mat swapped;
    const int from_to[] = {0, 2, 1, 1, 2, 0};
    swapped.create(m.size(), m.type());
    cv::mixChannels(&m, 1, &swapped, 1, from_to, 3);
    m = swapped;
  }
  const auto dot = path.find_last_of('.');
  const std::string ext = dot == std::string::npos ? "" : lower(path.substr(dot));
  if (m.depth() == CV_32F && ext != ".tif" && ext != ".tiff" && ext != ".exr" && ext != ".pfm")
    throw LocalError("a float image cannot be stored in " + path + "; use a .tiff or .pfm file name");
  try {
    if (!cv::imwrite(path, m)) throw LocalError("cannot write " + path);
  } catch (const cv::Exception& e) {
    throw LocalError("cannot write " + path + ": " + e.err);
  }
}

std::string siblingPath(const std::string& path, const std::string& tag) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + "-" + tag;
  return path.substr(0, dot) + "-" + tag + path.substr(dot);
}

}  // namespace tovakctl
