#include <cmath>
#include <iostream>

#include "calls.h"
#include "tovak/api/humanoid_robot_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kDefaultVel = 0.5;
constexpr double kDefaultAcc = 1.0;
constexpr double kDegPerRad = 180.0 / M_PI;
// Jogs stop by themselves shortly after the last call (the robot's dead-man
// window); --hold repeats the call well inside that window.
constexpr auto kJogRepeat = std::chrono::milliseconds(100);

// An angle in radians, or in degrees with a "deg" suffix ("30deg").
double parseAngle(const std::string& text, const std::string& context) {
  if (text.size() > 3 && lower(text.substr(text.size() - 3)) == "deg")
    return parseDouble(text.substr(0, text.size() - 3), context) / kDegPerRad;
  return parseDouble(text, context);
}

std::vector<OptionDef> motionOpts() {
  return {{"vel", "V", fmt("overall velocity (default %g)", kDefaultVel)},
          {"acc", "A", fmt("overall acceleration (default %g)", kDefaultAcc)}};
}

std::vector<OptionDef> jogOpts(bool cartesian) {
  std::vector<OptionDef> o = {{"vel", "V", "jog velocity (required)"},
                            {"acc", "A", fmt("acceleration (default %g)", kDefaultAcc)},
                            {"dir", "DIR", "direction: " + enumNames(api::RobotJointIndexDirection_descriptor()) +
                                               " (default forward)"},
                            {"hold", "S", "repeat the jog for S seconds (Ctrl-C stops); one call moves only briefly"}};
  if (cartesian) o.insert(o.begin(), {"cart", "AXIS", "axis: x, y, z, rx, ry, rz (required)"});
  return o;
}

// Runs a jog once, or repeatedly for --hold seconds.
template <class Req, class Resp, class Fn>
void jog(Context& ctx, const Args& a, const std::string& rpc, const Req& req, Fn fn) {
  api::HumanoidRobotService::Stub stub(ctx.channel());
  const double hold = a.getDouble("hold", 0);
  if (a.has("hold") && hold <= 0) throw UsageError("--hold must be more than 0 seconds");
  auto once = [&] {
    Resp r;
    grpc::ClientContext c;
    ctx.prepare(c);
    checkStatus(fn(stub, &c, req, &r), rpc);
    if (!r.header().success()) throw CallFailed(rpc + " failed: " + r.header().error_message());
    return r;
  };
  if (hold <= 0) {
    Resp r = once();
    if (ctx.json) printJson(r);
    printOk(ctx, "ok: jogging (stops by itself unless repeated)");
    return;
  }
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(hold));
  Interrupt stop([] {}, end);
  long calls = 0;
  for (auto next = Clock::now(); Clock::now() < end && !stop.cancelled(); next += kJogRepeat) {
    Resp r = once();
    ++calls;
    if (ctx.json) printJson(r);
    if (!stop.sleepUntil(std::min(next + kJogRepeat, end))) break;
  }
  printOk(ctx, fmt("ok: jogged with %ld calls%s", calls, stop.interrupted() ? " (interrupted)" : ""));
}

void getPose(Context& ctx, const std::string& id, const std::string& base, const std::string& ee,
             api::GetPose_Response& r) {
  api::HumanoidRobotService::Stub stub(ctx.channel());
  api::GetPose_Request req;
  req.mutable_header()->set_device_id(id);
  req.set_base_link(base);
  req.set_ee_link(ee);
  grpc::ClientContext c;
  ctx.prepare(c);
  checkStatus(stub.getPose(&c, req, &r), "getPose");
  if (!r.header().success()) throw CallFailed("getPose failed: " + r.header().error_message());
}

std::string poseText(const api::Pose3D& p) {
  return fmt("x %.4f  y %.4f  z %.4f m   rx %.4f  ry %.4f  rz %.4f rad (%.1f, %.1f, %.1f deg)", p.x(), p.y(), p.z(),
             p.rx(), p.ry(), p.rz(), p.rx() * kDegPerRad, p.ry() * kDegPerRad, p.rz() * kDegPerRad);
}

template <bool kOn>
void torque(Context& ctx, const Args& a) {
  api::CommandHeader_Request req;
  req.set_device_id(a.need(0, "<device-id>"));
  a.atMost(1);
  api::HumanoidRobotService::Stub stub(ctx.channel());
  api::CommandHeader_Feedback r;
  const char* rpc = kOn ? "torqueOn" : "torqueOff";
  if (unary(ctx, rpc, r, [&](auto* c, auto* o) { return kOn ? stub.torqueOn(c, req, o) : stub.torqueOff(c, req, o); }))
    printOk(ctx, kOn ? "ok: torque on" : "ok: torque off (joints are not driven)");
}

}  // namespace

Service robotService() {
  Service s{"robot", {"humanoid"}, "the humanoid body: torque, joint and Cartesian moves, jogging, joint states, poses",
            {}};
  s.calls.push_back(Call{"torque-on", "torqueOn", "<device-id>", "drives every joint again (needed after torque-off)",
                         "", "tovakctl robot torque-on humanoid", {}, torque<true>});
  s.calls.push_back(Call{"torque-off", "torqueOff", "<device-id>", "leaves every joint without drive", "",
                         "tovakctl robot torque-off humanoid", {}, torque<false>});
  s.calls.push_back(Call{
      "movej", "moveJ", "<device-id> JOINT=RAD[@VEL]... [--vel V] [--acc A]",
      "joint-space move of the named joints (others hold); returns when the move is accepted",
      "Angles are radians, or degrees with a deg suffix (L_SHOULDER_P=30deg). @VEL sets\n"
      "the joint's own velocity field (sent as 0 when not given). The move runs on the\n"
      "robot after the call returns; `robot joints` shows its progress.",
      "tovakctl robot movej humanoid L_SHOULDER_P=0.5 L_ELBOW_P=-0.8 --vel 0.3", motionOpts(),
      [](Context& ctx, const Args& a) {
        api::MoveJ_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        if (a.pos.size() < 2) throw UsageError("missing JOINT=RAD");
        for (size_t i = 1; i < a.pos.size(); ++i) {
          auto [name, value] = splitKeyValue(a.pos[i], "JOINT=RAD[@VEL]");
          auto* cmd = req.add_cmds();
          cmd->set_joint_name(name);
          if (auto at = value.find('@'); at != std::string::npos) {
            cmd->set_vel(parseDouble(value.substr(at + 1), a.pos[i]));
            value.resize(at);
          }
          cmd->set_rad(parseAngle(value, a.pos[i]));
        }
        req.set_vel(a.getDouble("vel", kDefaultVel));
        req.set_acc(a.getDouble("acc", kDefaultAcc));
        api::HumanoidRobotService::Stub stub(ctx.channel());
        api::MoveJ_Response r;
        if (unary(ctx, "moveJ", r, [&](auto* c, auto* o) { return stub.moveJ(c, req, o); }))
          printOk(ctx, fmt("ok: moving %d joint(s)", req.cmds_size()));
      }});
  s.calls.push_back(Call{
      "movel", "moveL", "<device-id> EE_LINK [x=M] [y=M] [z=M] [rx=RAD] [ry=RAD] [rz=RAD] [--vel V] [--acc A]",
      "linear move of an end-effector link to a pose in the base frame PELVIS_S",
      "Coordinates not given keep the link's current value (read with getPose first),\n"
      "so `z=0.3` moves straight up or down only. Metres and radians (or deg suffix).",
      "tovakctl robot movel humanoid L_HAND z=0.25 --vel 0.1", motionOpts(), [](Context& ctx, const Args& a) {
        const std::string id = a.need(0, "<device-id>");
        api::MoveL_Request req;
        req.mutable_header()->set_device_id(id);
        req.set_ee_link(a.need(1, "EE_LINK"));
        if (a.pos.size() < 3) throw UsageError("missing a coordinate such as z=0.3");
        api::Pose3D target;
        std::vector<std::pair<std::string, double>> given;
        for (size_t i = 2; i < a.pos.size(); ++i) {
          auto [k, v] = splitKeyValue(a.pos[i], "AXIS=VALUE");
          const std::string key = lower(k);
          if (key == "x" || key == "y" || key == "z") given.push_back({key, parseDouble(v, a.pos[i])});
          else if (key == "rx" || key == "ry" || key == "rz") given.push_back({key, parseAngle(v, a.pos[i])});
          else throw UsageError("'" + k + "' is not one of x, y, z, rx, ry, rz");
        }
        if (given.size() < 6) {
          api::GetPose_Response now;
          getPose(ctx, id, "PELVIS_S", req.ee_link(), now);
          target = now.pose();
        }
        for (const auto& [k, v] : given) setFieldByPath(target, k, fmt("%.17g", v));
        *req.mutable_targetpose() = target;
        req.set_vel(a.getDouble("vel", kDefaultVel));
        req.set_acc(a.getDouble("acc", kDefaultAcc));
        api::HumanoidRobotService::Stub stub(ctx.channel());
        api::MoveL_Response r;
        if (unary(ctx, "moveL", r, [&](auto* c, auto* o) { return stub.moveL(c, req, o); }))
          printOk(ctx, "ok: moving " + req.ee_link() + " to " + poseText(target));
      }});
  s.calls.push_back(Call{
      "speedj", "speedJ", "<device-id> JOINT --vel V [--dir forward|backward] [--acc A] [--hold S]",
      "jogs one joint; the jog stops by itself shortly after the last call", "",
      "tovakctl robot speedj humanoid L_ELBOW_P --vel 0.2 --dir backward --hold 2", jogOpts(false),
      [](Context& ctx, const Args& a) {
        api::SpeedJ_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        req.set_joint_name(a.need(1, "JOINT"));
        a.atMost(2);
        if (!a.has("vel")) throw UsageError("missing --vel");
        req.set_vel(a.getDouble("vel", 0));
        req.set_acc(a.getDouble("acc", kDefaultAcc));
        req.set_dir(static_cast<api::RobotJointIndexDirection>(
            parseEnum(api::RobotJointIndexDirection_descriptor(), a.get("dir").value_or("forward"), "--dir")));
        jog<api::SpeedJ_Request, api::SpeedJ_Response>(
            ctx, a, "speedJ", req, [](auto& st, auto* c, auto& q, auto* o) { return st.speedJ(c, q, o); });
      }});
  s.calls.push_back(Call{
      "speedl", "speedL", "<device-id> EE_LINK --cart AXIS --vel V [--dir DIR] [--acc A] [--hold S]",
      "jogs an end-effector link along or about one axis; stops by itself shortly after the last call",
      "The link becomes the robot's tool frame for later jogs.",
      "tovakctl robot speedl humanoid R_HAND --cart z --vel 0.05 --hold 1", jogOpts(true),
      [](Context& ctx, const Args& a) {
        api::SpeedL_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        req.set_ee_link(a.need(1, "EE_LINK"));
        a.atMost(2);
        if (!a.has("vel")) throw UsageError("missing --vel");
        if (!a.has("cart")) throw UsageError("missing --cart");
        req.set_vel(a.getDouble("vel", 0));
        req.set_acc(a.getDouble("acc", kDefaultAcc));
        req.set_dir(static_cast<api::RobotJointIndexDirection>(
            parseEnum(api::RobotJointIndexDirection_descriptor(), a.get("dir").value_or("forward"), "--dir")));
        req.set_cart(static_cast<api::RobotCartesian>(parseEnum(api::RobotCartesian_descriptor(), *a.get("cart"), "--cart")));
        jog<api::SpeedL_Request, api::SpeedL_Response>(
            ctx, a, "speedL", req, [](auto& st, auto* c, auto& q, auto* o) { return st.speedL(c, q, o); });
      }});
  s.calls.push_back(Call{
      "joints", "getJointState", "<device-id>", "position and velocity of every joint (waist joints are left out)", "",
      "tovakctl robot joints humanoid", {}, [](Context& ctx, const Args& a) {
        api::JointRequest req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        a.atMost(1);
        api::HumanoidRobotService::Stub stub(ctx.channel());
        api::JointResponse r;
        if (!unary(ctx, "getJointState", r, [&](auto* c, auto* o) { return stub.getJointState(c, req, o); }))
          return;
        Table t({"JOINT", "POSITION (rad)", "(deg)", "VELOCITY (rad/s)"}, {false, true, true, true});
        for (const auto& j : r.state()) {
          const std::string name = j.name_size() ? j.name(0) : "?";
          const double p = j.position_size() ? j.position(0) : NAN;
          const double v = j.velocity_size() ? j.velocity(0) : NAN;
          t.row({name, fmt("%.4f", p), fmt("%.1f", p * kDegPerRad), fmt("%.4f", v)});
        }
        t.print(std::cout);
      }});
  s.calls.push_back(Call{"pose", "getPose", "<device-id> [BASE_LINK] EE_LINK",
                         "pose of a link in a base frame (default base PELVIS_S)", "",
                         "tovakctl robot pose humanoid L_HAND", {}, [](Context& ctx, const Args& a) {
                           const std::string id = a.need(0, "<device-id>");
                           a.need(1, "EE_LINK");
                           a.atMost(3);
                           const std::string base = a.pos.size() == 3 ? a.pos[1] : "PELVIS_S";
                           const std::string ee = a.pos.back();
                           api::GetPose_Response r;
                           getPose(ctx, id, base, ee, r);
                           if (ctx.json) return printJson(r);
                           std::cout << ee << " in " << base << ": " << poseText(r.pose()) << '\n';
                         }});
  return s;
}

}  // namespace tovakctl
