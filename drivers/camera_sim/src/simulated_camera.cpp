#include "drivers/camera_sim/include/simulated_camera.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include <glog/logging.h>

#include "drivers/camera_sim/include/depth_video.h"
#include "drivers/camera_sim/include/pixel_types.h"
#include "drivers/camera_sim/include/scene_renderer.h"

namespace tovak::device::sim {

namespace {

bool parseInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && !text.empty();
}

bool parseDouble(const std::string& text, double& out) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    out = std::stod(text, &used);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size() && std::isfinite(out);
}

const char* const kSettingNames[] = {"width", "height", "fps", "gop", "hfov", "device", "serial"};

}  // namespace

CameraSettings SimulatedCamera::defaults(const CameraTraits& traits) {
  CameraSettings s;
  s.hfov = traits.default_hfov;
  return s;
}

SimulatedCamera::SimulatedCamera(const XmlNode& cfg, CameraTraits traits)
    : AbstractCamera(cfg), traits_(traits), settings_(defaults(traits)) {
  const auto attrs = cfg.getAllAttr();
  CameraSettings s = settings_;
  for (const char* name : kSettingNames) {
    auto it = attrs.find(name);
    if (it == attrs.end()) continue;
    if (!applySetting_(s, name, it->second)) {
      throw std::invalid_argument(who_() + ": attribute " + std::string(name) + " is not a setting of this camera");
    }
  }
  settings_ = s;
  refreshState_();
}

SimulatedCamera::SimulatedCamera(const std::string& id, CameraTraits traits, const CameraSettings& settings)
    : traits_(traits), settings_(settings) {
  id_ = id;
  validate_(settings_);
  refreshState_();
}

SimulatedCamera::~SimulatedCamera() {
  std::lock_guard<std::mutex> life(life_mtx_);
  try {
    stop_();
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SimulatedCamera] " << who_() << ": " << e.what();
  }
}

// ---------------------------------------------------------------- settings

bool SimulatedCamera::applySetting_(CameraSettings& s, const std::string& name, const std::string& value) const {
  auto bad = [&](const std::string& expected) {
    return std::invalid_argument(who_() + ": " + name + " '" + value + "' is invalid: expected " + expected);
  };
  auto intIn = [&](int lo, int hi, bool even, int& field) {
    int v = 0;
    const std::string expected = std::string(even ? "an even integer" : "an integer") + " from " +
                                 std::to_string(lo) + " to " + std::to_string(hi);
    if (!parseInt(value, v) || v < lo || v > hi || (even && v % 2 != 0)) throw bad(expected);
    field = v;
  };
  if (name == "width") {
    intIn(16, 3840, true, s.width);
  } else if (name == "height") {
    intIn(16, 2160, true, s.height);
  } else if (name == "fps") {
    intIn(1, 120, false, s.fps);
  } else if (name == "gop") {
    intIn(1, 1000, false, s.gop);
  } else if (name == "hfov") {
    double v = 0;
    if (!parseDouble(value, v) || v < 20.0 || v > 150.0) throw bad("degrees from 20 to 150");
    s.hfov = v;
  } else if (name == "device" && traits_.device_setting) {
    s.device = value;
  } else if (name == "serial" && traits_.serial_setting) {
    s.serial = value;
  } else {
    return false;
  }
  return true;
}

void SimulatedCamera::validate_(const CameraSettings& s) const {
  CameraSettings copy = s;
  applySetting_(copy, "width", std::to_string(s.width));
  applySetting_(copy, "height", std::to_string(s.height));
  applySetting_(copy, "fps", std::to_string(s.fps));
  applySetting_(copy, "gop", std::to_string(s.gop));
  if (!(s.hfov >= 20.0 && s.hfov <= 150.0)) {
    throw std::invalid_argument(who_() + ": hfov " + std::to_string(s.hfov) +
                                " is invalid: expected degrees from 20 to 150");
  }
}

CameraSettings SimulatedCamera::settings() {
  std::lock_guard<std::mutex> lk(mtx_);
  return settings_;
}

void SimulatedCamera::updateParams(const std::pair<std::string, std::string>& param) {
  if (faults_.handleParam(param, id_)) return;
  const auto& [name, value] = param;
  if (name == "color_pixel_type" || (name == "depth_pixel_type" && traits_.has_depth)) {
    int type = -1;
    try {
      type = parsePixelType(value);
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(who_() + ": " + name + ": " + e.what());
    }
    std::lock_guard<std::mutex> lk(mtx_);
    (name == "color_pixel_type" ? color_type_ : depth_type_) = type;
    return;
  }
  if (name == "empty_image") {
    int e = -1;
    if (value == "none") e = kEmptyNone;
    if (value == "color") e = kEmptyColor;
    if (traits_.has_depth && value == "depth") e = kEmptyDepth;
    if (traits_.has_depth && value == "both") e = kEmptyColor | kEmptyDepth;
    if (e < 0) {
      throw std::invalid_argument(who_() + ": empty_image '" + value + "' is invalid: expected " +
                                  (traits_.has_depth ? "none, color, depth or both" : "none or color"));
    }
    std::lock_guard<std::mutex> lk(mtx_);
    empty_ = e;
    return;
  }
  std::lock_guard<std::mutex> life(life_mtx_);
  CameraSettings s = settings();
  if (!applySetting_(s, name, value)) {
    std::string accepted = "fault, color_pixel_type, empty_image, width, height, fps, gop, hfov";
    if (traits_.has_depth) accepted += ", depth_pixel_type";
    if (traits_.device_setting) accepted += ", device";
    if (traits_.serial_setting) accepted += ", serial";
    throw std::invalid_argument(who_() + " has no parameter '" + name + "' (accepted: " + accepted + ")");
  }
  std::lock_guard<std::mutex> lk(mtx_);
  // The source, the encoders and every open stream depend on these: they
  // change only between stop() and start().
  if (opened_ && name != "serial") {
    throw std::runtime_error(who_() + ": cannot change " + name + " while the camera is started; stop it first");
  }
  settings_ = s;
  refreshState_();
}

// ---------------------------------------------------------------- lifecycle

void SimulatedCamera::init() {
  faults_.check("init");
  std::lock_guard<std::mutex> lk(mtx_);
  initialized_ = true;
  state_.is_initialized = true;
}

void SimulatedCamera::start() {
  faults_.check("start");
  std::lock_guard<std::mutex> life(life_mtx_);
  CameraSettings s;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!initialized_) throw std::runtime_error(who_() + " is not initialised");
    if (opened_) return;
    s = settings_;
  }
  std::unique_ptr<FrameSource> src;
  try {
    if (!s.device.empty()) {
      src = std::make_unique<V4l2Source>(who_(), s.device, s.width, s.height, s.fps);
    } else {
      src = std::make_unique<SceneSource>(s.width, s.height, pinholeIntrinsics(s.width, s.height, s.hfov));
    }
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_error = true;
    state_.error_message = e.what();
    throw;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  source_ = std::move(src);
  width_ = source_->width();
  height_ = source_->height();
  fps_ = s.fps;
  gop_ = s.gop;
  intrinsics_ = pinholeIntrinsics(width_, height_, s.hfov);
  latest_.reset();
  ring_.clear();
  key_requested_ = false;
  source_error_.clear();
  stopping_ = false;
  opened_ = true;
  clear_error_();
  refreshState_();
  thread_ = std::thread(&SimulatedCamera::sourceLoop_, this);
}

void SimulatedCamera::stop() {
  faults_.check("stop");
  std::lock_guard<std::mutex> life(life_mtx_);
  stop_();
}

void SimulatedCamera::stop_() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!opened_ && !thread_.joinable()) return;
    stopping_ = true;
    opened_ = false;
    refreshState_();
    tick_cv_.notify_all();
    frame_cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::string finish_error;
  {
    std::lock_guard<std::mutex> rl(rec_mtx_);
    if (recorder_) {
      try {
        recorder_->finish();
      } catch (const std::exception& e) {
        finish_error = e.what();
      }
      recorder_.reset();
    }
    rec_paused_ = false;
  }
  color_enc_.reset();
  depth_enc_.reset();
  source_.reset();
  std::lock_guard<std::mutex> lk(mtx_);
  latest_.reset();
  ring_.clear();
  key_requested_ = false;
  state_.is_recording = false;
  if (!finish_error.empty()) {
    LOG(ERROR) << "[SimulatedCamera] " << finish_error;
    state_.is_error = true;
    state_.error_message = finish_error;
  }
  refreshState_();
}

void SimulatedCamera::refreshState_() {
  state_.is_opened = opened_;
  state_.is_streaming = opened_ && streams_ > 0;
  state_.fps = opened_ ? fps_ : settings_.fps;
  state_.width = opened_ ? width_ : settings_.width;
  state_.height = opened_ ? height_ : settings_.height;
}

CameraState SimulatedCamera::lockedState() {
  std::lock_guard<std::mutex> lk(mtx_);
  return state_;
}

void SimulatedCamera::requireOpen_() const {
  if (!opened_) throw std::runtime_error(who_() + " is not started");
  if (!source_error_.empty()) throw std::runtime_error(source_error_);
}

void SimulatedCamera::requireDepth_() const {
  if (!traits_.has_depth) throw std::runtime_error(who_() + " has no depth sensor (colour-only UVC camera)");
}

// ---------------------------------------------------------------- source thread

void SimulatedCamera::sourceLoop_() {
  int fps = 0;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    fps = fps_;
  }
  const auto period = std::chrono::nanoseconds(1'000'000'000LL / fps);
  const auto t0 = std::chrono::steady_clock::now();
  auto next = t0;
  while (true) {
    {
      std::unique_lock<std::mutex> lk(mtx_);
      if (!source_->paced()) {
        if (tick_cv_.wait_until(lk, next, [&] { return stopping_; })) break;
      } else if (stopping_) {
        break;
      }
    }
    const auto now = std::chrono::steady_clock::now();
    // Keep the rhythm, but never try to catch up on frames missed while busy.
    next += period;
    if (now - next > period) next = now + period;
    const double t = std::chrono::duration<double>(now - t0).count();

    auto raw = std::make_shared<RawFrame>();
    try {
      source_->grab(t, raw->color, traits_.has_depth ? &raw->depth : nullptr);
    } catch (const std::exception& e) {
      LOG(ERROR) << "[SimulatedCamera] " << e.what();
      std::lock_guard<std::mutex> lk(mtx_);
      source_error_ = e.what();
      state_.is_error = true;
      state_.error_message = e.what();
      frame_cv_.notify_all();
      return;
    }
    uint64_t seq = 0;
    bool encode = false;
    bool force_key = false;
    {
      std::lock_guard<std::mutex> lk(mtx_);
      raw->intrinsics = intrinsics_;
      latest_ = raw;
      seq = next_seq_++;
      encode = streams_ > 0;
      if (encode) {
        force_key = key_requested_;
        key_requested_ = false;
      } else {
        ring_.clear();
      }
      frame_cv_.notify_all();
    }
    if (encode) encodeAndPublish_(*raw, seq, force_key);
    record_(raw->color);
  }
}

void SimulatedCamera::encodeAndPublish_(const RawFrame& raw, uint64_t seq, bool force_key) {
  auto set = std::make_shared<EncodedSet>();
  set->seq = seq;
  try {
    H264Encoder::Options opt;
    opt.width = raw.color.cols;
    opt.height = raw.color.rows;
    opt.fps = fps_;  // written only by start() before this thread began
    opt.gop = gop_;
    if (!color_enc_) color_enc_ = std::make_unique<H264Encoder>(opt);
    set->rgb_key = color_enc_->encodeToBytes(raw.color, force_key, set->rgb);
    if (traits_.has_depth) {
      if (!depth_enc_) {
        // Depth errors grow with coding loss: spend more bits on it.
        opt.crf = 12;
        depth_enc_ = std::make_unique<H264Encoder>(opt);
      }
      set->depth_key = depth_enc_->encodeToBytes(depthToLuma(raw.depth), force_key, set->depth);
    }
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SimulatedCamera] " << who_() << ": " << e.what();
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_error = true;
    state_.error_message = who_() + ": " + e.what();
    return;
  }
  std::lock_guard<std::mutex> lk(mtx_);
  ring_.push_back(std::move(set));
  while (ring_.size() > kRingFrames) ring_.pop_front();
  frame_cv_.notify_all();
}

void SimulatedCamera::record_(const cv::Mat& color) {
  std::lock_guard<std::mutex> rl(rec_mtx_);
  if (!recorder_ || rec_paused_) return;
  try {
    const auto t = std::chrono::steady_clock::now() - rec_start_ - paused_total_;
    recorder_->write(color, std::chrono::duration<double>(t).count());
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SimulatedCamera] " << e.what() << "; recording stopped";
    recorder_.reset();
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_recording = false;
    state_.is_error = true;
    state_.error_message = e.what();
  }
}

// ---------------------------------------------------------------- images

std::shared_ptr<const SimulatedCamera::RawFrame> SimulatedCamera::latestFrame_() {
  std::unique_lock<std::mutex> lk(mtx_);
  requireOpen_();
  if (!frame_cv_.wait_for(lk, kFirstFrameWait, [&] { return latest_ || !opened_ || !source_error_.empty(); })) {
    throw std::runtime_error(who_() + " delivered no frame within 2 s");
  }
  requireOpen_();
  return latest_;
}

cv::Mat SimulatedCamera::colorImage_(const RawFrame& f) {
  int type = -1;
  bool empty = false;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    type = color_type_;
    empty = (empty_ & kEmptyColor) != 0;
  }
  if (empty) return cv::Mat();
  return type < 0 ? f.color.clone() : convertColor(f.color, type);
}

cv::Mat SimulatedCamera::depthImage_(const RawFrame& f) {
  int type = -1;
  bool empty = false;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    type = depth_type_;
    empty = (empty_ & kEmptyDepth) != 0;
  }
  if (empty) return cv::Mat();
  return type < 0 ? f.depth.clone() : convertDepth(f.depth, type);
}

void SimulatedCamera::getRGBImage(cv::Mat& image, Rs2Intrinsics& intrinsics) {
  faults_.check("getRGBImage");
  auto f = latestFrame_();
  image = colorImage_(*f);
  intrinsics = f->intrinsics;
}

void SimulatedCamera::getDepthImage(cv::Mat& image, Rs2Intrinsics& intrinsics) {
  faults_.check("getDepthImage");
  requireDepth_();
  auto f = latestFrame_();
  image = depthImage_(*f);
  intrinsics = f->intrinsics;
}

void SimulatedCamera::getRGBDImages(cv::Mat& color_image, cv::Mat& depth_image, Rs2Intrinsics& intrinsics) {
  faults_.check("getRGBDImages");
  requireDepth_();
  auto f = latestFrame_();
  color_image = colorImage_(*f);
  depth_image = depthImage_(*f);
  intrinsics = f->intrinsics;
}

Eigen::Vector3f SimulatedCamera::get3DPointFromPixel(int u, int v) {
  faults_.check("get3DPointFromPixel");
  requireDepth_();
  auto f = latestFrame_();
  const int w = f->depth.cols;
  const int h = f->depth.rows;
  if (u < 0 || u >= w) {
    throw std::invalid_argument(who_() + ": pixel column " + std::to_string(u) + " is outside 0.." +
                                std::to_string(w - 1));
  }
  if (v < 0 || v >= h) {
    throw std::invalid_argument(who_() + ": pixel row " + std::to_string(v) + " is outside 0.." +
                                std::to_string(h - 1));
  }
  const Rs2Intrinsics& k = f->intrinsics;
  const float z = f->depth.at<uint16_t>(v, u) * 0.001f;
  return Eigen::Vector3f((u - k.cx) * z / k.fx, (v - k.cy) * z / k.fy, z);
}

// ---------------------------------------------------------------- recording

void SimulatedCamera::startRecording(const std::string& path) {
  faults_.check("startRecording");
  std::lock_guard<std::mutex> life(life_mtx_);
  int w = 0, h = 0, fps = 0, gop = 0;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    requireOpen_();
    w = width_;
    h = height_;
    fps = fps_;
    gop = gop_;
  }
  std::lock_guard<std::mutex> rl(rec_mtx_);
  if (recorder_) throw std::runtime_error(who_() + " is already recording to " + recorder_->path());
  recorder_ = std::make_unique<VideoRecorder>(who_(), path, w, h, fps, gop);
  rec_paused_ = false;
  rec_start_ = std::chrono::steady_clock::now();
  paused_total_ = {};
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_recording = true;
}

void SimulatedCamera::stopRecording() {
  faults_.check("stopRecording");
  std::lock_guard<std::mutex> life(life_mtx_);
  std::unique_ptr<VideoRecorder> rec;
  {
    std::lock_guard<std::mutex> rl(rec_mtx_);
    if (!recorder_) throw std::runtime_error(who_() + " is not recording");
    rec = std::move(recorder_);
    rec_paused_ = false;
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_recording = false;
  }
  rec->finish();
}

void SimulatedCamera::pauseRecording() {
  faults_.check("pauseRecording");
  std::lock_guard<std::mutex> life(life_mtx_);
  std::lock_guard<std::mutex> rl(rec_mtx_);
  if (!recorder_) throw std::runtime_error(who_() + " is not recording");
  if (rec_paused_) throw std::runtime_error("recording of " + who_() + " is already paused");
  rec_paused_ = true;
  pause_start_ = std::chrono::steady_clock::now();
}

void SimulatedCamera::resumeRecording() {
  faults_.check("resumeRecording");
  std::lock_guard<std::mutex> life(life_mtx_);
  std::lock_guard<std::mutex> rl(rec_mtx_);
  if (!recorder_) throw std::runtime_error(who_() + " is not recording");
  if (!rec_paused_) throw std::runtime_error("recording of " + who_() + " is not paused");
  rec_paused_ = false;
  paused_total_ += std::chrono::steady_clock::now() - pause_start_;
}

// ---------------------------------------------------------------- streaming

bool SimulatedCamera::startStreaming() {
  faults_.check("startStreaming");
  std::lock_guard<std::mutex> lk(mtx_);
  requireOpen_();
  ++streams_;
  refreshState_();
  return true;
}

void SimulatedCamera::stopStreaming() {
  {
    // The reference is released even when an injected fault then throws, so
    // is_streaming never outlives the streams.
    std::lock_guard<std::mutex> lk(mtx_);
    if (streams_ > 0) --streams_;
    if (streams_ == 0) ring_.clear();
    refreshState_();
  }
  faults_.check("stopStreaming");
}

void SimulatedCamera::getEncodedFrame(StreamFrameData& frame_data, size_t& index) {
  faults_.check("getEncodedFrame");
  std::unique_lock<std::mutex> lk(mtx_);
  const auto deadline = std::chrono::steady_clock::now() + kFrameWait;
  uint64_t join_from = 0;
  std::shared_ptr<const EncodedSet> found;
  while (true) {
    requireOpen_();
    if (streams_ == 0) throw std::runtime_error(who_() + " is not streaming: call startStreaming first");
    if (index == 0) {
      if (join_from == 0) {
        join_from = next_seq_;
        key_requested_ = true;
      }
      for (const auto& s : ring_) {
        if (s->seq >= join_from && s->rgb_key) {
          found = s;
          break;
        }
      }
    } else {
      for (const auto& s : ring_) {
        if (s->seq >= index) {
          found = s;
          break;
        }
      }
      if (found && found->seq != index && !found->rgb_key) {
        // Frames this stream never saw are gone: a decoder can only go on
        // from a key frame, so join again.
        found.reset();
        index = 0;
        continue;
      }
    }
    if (found) break;
    if (frame_cv_.wait_until(lk, deadline) == std::cv_status::timeout) return;
  }
  index = found->seq + 1;
  const int w = width_;
  const int h = height_;
  const int fps = fps_;
  const Rs2Intrinsics k = intrinsics_;
  lk.unlock();
  frame_data.rgbFrame = found->rgb;
  frame_data.depthFrame = found->depth;
  frame_data.bKey = found->rgb_key;
  frame_data.depthKey = found->depth_key;
  frame_data.codec = ".h264";
  frame_data.intrinsics = k;
  frame_data.width = w;
  frame_data.height = h;
  frame_data.fps = fps;
}

}  // namespace tovak::device::sim
