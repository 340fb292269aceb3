#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "common/utils/xml_parser/xml_parser.h"
#include "drivers/realsense_camera/include/realsense_camera.h"
#include "drivers/uvc_camera/include/uvc_camera.h"

namespace tovak::test {

inline XmlNode xmlElement(const std::string& text) {
  std::istringstream in(text);
  return XmlNode(in);
}

// An initialised camera built from `<Kind id="..." attrs/>`.
template <class Camera>
std::shared_ptr<Camera> makeCamera(const std::string& id, const std::string& attrs = "") {
  auto cam = std::make_shared<Camera>(xmlElement("<Camera id=\"" + id + "\" " + attrs + "/>"));
  cam->init();
  return cam;
}

// The text of the exception `f` throws ("" when it throws none).
template <class F>
std::string thrownText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace tovak::test
