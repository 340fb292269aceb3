#include "drivers/rh56dftp_dexhand/include/rh56dftp_dexhand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "drivers/common/include/fault_injector.h"

namespace tovak::device {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

XmlNode element(const std::string& xml) {
  std::istringstream in(xml);
  return XmlNode(in);
}

std::unique_ptr<RH56DFTPDexhand> makeHand(const std::string& attrs = "") {
  auto hand = std::make_unique<RH56DFTPDexhand>(element("<RH56DFTPDexhand id=\"hand\" " + attrs + "/>"));
  hand->init();
  return hand;
}

DexHandState stateOf(RH56DFTPDexhand& hand) {
  DexHandState s;
  hand.getState(s);
  return s;
}

// Polls the state until `done` holds; the last state seen either way.
DexHandState waitState(RH56DFTPDexhand& hand, const std::function<bool(const DexHandState&)>& done,
                       std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  DexHandState s = stateOf(hand);
  while (!done(s) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    s = stateOf(hand);
  }
  return s;
}

bool atRest(const DexHandState& s) {
  return std::all_of(s.hands.begin(), s.hands.end(), [](const auto& d) { return d.speed == 0; });
}

// Every DOF at rest after the motion a command started (which begins on the
// driver's next tick; a command that moves nothing costs the first wait).
DexHandState waitSettled(RH56DFTPDexhand& hand) {
  waitState(hand, [](const DexHandState& s) { return !atRest(s); }, 1s);
  return waitState(hand, atRest);
}

template <class P>
int peak(const P& part) {
  int m = 0;
  for (const auto& row : part.data) {
    for (auto v : row) m = std::max<int>(m, v);
  }
  return m;
}

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(RH56DFTPDexhand, StartsOpenAndIdleWithAnElementHoldingOnlyItsId) {
  auto hand = makeHand();
  const DexHandState s = stateOf(*hand);
  EXPECT_TRUE(s.is_initialized);
  for (const auto& d : s.hands) {
    EXPECT_EQ(d.angle, 1000);
    EXPECT_EQ(d.position, 0);
    EXPECT_EQ(d.speed, 0);
    EXPECT_EQ(d.force, 0);
    EXPECT_EQ(d.current, 0);
    EXPECT_EQ(d.temperature, 30);
    EXPECT_EQ(d.error, 0);
    EXPECT_TRUE(d.error_message.empty());
  }
  const HandTactileSensors t = hand->sensorSnapshot();
  EXPECT_EQ(t.index.finger.rows, 12);
  EXPECT_EQ(peak(t.index.finger), 0);
  EXPECT_EQ(peak(t.palm), 0);
}

TEST(RH56DFTPDexhand, ConstructorsRefuseInvalidSettings) {
  struct Case {
    std::string attrs;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"side=\"middle\"", "setting side value 'middle' is not \"left\" or \"right\""},
      {"update_rate_hz=\"0\"", "setting update_rate_hz value '0' is not an integer in 1-1000"},
      {"update_rate_hz=\"fast\"", "setting update_rate_hz value 'fast'"},
      {"baudrate=\"1234\"", "setting baudrate value '1234' is not one of 9600"},
      {"default_speed=\"1001\"", "setting default_speed value '1001' is not an integer in 0-1000"},
      {"default_force=\"-5\"", "setting default_force value '-5' is not an integer in 0-3000"},
      {"object=\"maybe\"", "setting object value 'maybe' is not a boolean"},
      {"object_position=\"2001\"", "setting object_position value '2001'"},
      {"object_stiffness=\"0\"", "setting object_stiffness value '0' is not an integer in 1-1000"},
      {"tactile_noise=\"12x\"", "setting tactile_noise value '12x'"},
      {"serial_port=\"\"", "setting serial_port value '' is not a device path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attrs);
    const std::string msg = messageOf([&] { RH56DFTPDexhand h(element("<H id=\"hand7\" " + c.attrs + "/>")); });
    EXPECT_THAT(msg, HasSubstr("hand hand7: " + c.expected));
  }
  EXPECT_THROW(RH56DFTPDexhand(element("<H id=\"h\" side=\"up\"/>")), std::invalid_argument);
}

TEST(RH56DFTPDexhand, ConfigRecordUsesDefaultsForZeroAndRefusesBadValues) {
  tovak::config::RH56DFTPDexHandConfig cfg;
  cfg.set_id("left_hand");
  {
    RH56DFTPDexhand hand(cfg);  // every other field 0 or empty
    hand.init();
    EXPECT_EQ(hand.id(), "left_hand");
    EXPECT_TRUE(stateOf(hand).is_initialized);
  }
  cfg.set_side("left");
  cfg.set_update_rate_hz(50);
  cfg.set_baudrate(921600);
  EXPECT_NO_THROW(RH56DFTPDexhand{cfg});
  cfg.set_update_rate_hz(-3);
  EXPECT_THAT(messageOf([&] { RH56DFTPDexhand h(cfg); }),
              HasSubstr("hand left_hand: setting update_rate_hz value '-3'"));
  cfg.set_update_rate_hz(0);
  cfg.set_side("both");
  EXPECT_THROW(RH56DFTPDexhand{cfg}, std::invalid_argument);
}

TEST(RH56DFTPDexhand, CommandsAreRefusedBeforeInit) {
  RH56DFTPDexhand hand(element("<H id=\"cold\"/>"));
  EXPECT_FALSE(stateOf(hand).is_initialized);
  EXPECT_THAT(messageOf([&] { hand.setAngles(std::vector<int>(6, 500)); }),
              HasSubstr("setAngles: hand cold is not initialised"));
  EXPECT_THAT(messageOf([&] { hand.setPresetAct(1); }), HasSubstr("hand cold is not initialised"));
  EXPECT_THAT(messageOf([&] { hand.start(); }), HasSubstr("hand cold is not initialised"));
  hand.init();
  EXPECT_THAT(messageOf([&] { hand.init(); }), HasSubstr("hand cold is already initialised"));
}

TEST(RH56DFTPDexhand, OutOfRangeValuesAreRefusedAndChangeNothing) {
  auto hand = makeHand("object=\"off\"");
  using Op = std::function<void(RH56DFTPDexhand&, const std::vector<int>&)>;
  struct Case {
    const char* name;
    Op op;
    std::vector<int> values;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"angle high", [](auto& h, auto& v) { h.setAngles(v); }, {0, -1, 1001, -1, -1, -1},
       "angle 1001 for DOF 2 is outside 0-1000 on hand hand (-1 leaves a DOF unchanged)"},
      {"angle -2", [](auto& h, auto& v) { h.setAngles(v); }, {0, -2, -1, -1, -1, -1},
       "angle -2 for DOF 1 is outside 0-1000"},
      {"position", [](auto& h, auto& v) { h.setPositions(v); }, {0, -1, -1, -1, -1, 2001},
       "position 2001 for DOF 5 is outside 0-2000"},
      {"speed", [](auto& h, auto& v) { h.setVelocities(v); }, {0, -300, -1, -1, -1, -1},
       "speed -300 for DOF 1 is outside 0-1000"},
      {"force", [](auto& h, auto& v) { h.setForce(v); }, {0, -1, -1, 3001, -1, -1},
       "force 3001 for DOF 3 is outside 0-3000"},
      {"too few", [](auto& h, auto& v) { h.setAngles(v); }, {0, 0, 0, 0, 0},
       "setAngles on hand hand needs 6 values (one per DOF), got 5"},
      {"too many", [](auto& h, auto& v) { h.setForce(v); }, std::vector<int>(7, 0), "got 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(messageOf([&] { c.op(*hand, c.values); }), HasSubstr(c.expected));
  }
  // DOF 0 was named with a valid value in every refused command: it never moved,
  // and its speed and force limit were not changed (a later close runs normally).
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stateOf(*hand).hands[0].position, 0);
  hand->setAngles({0, -1, -1, -1, -1, -1});
  const auto s = waitState(*hand, [](auto& st) { return st.hands[0].position == 2000; });
  EXPECT_EQ(s.hands[0].position, 2000);
  EXPECT_EQ(s.hands[1].position, 0);  // -1: unchanged
}

TEST(RH56DFTPDexhand, DofsMoveOnTheDriversThreadAtTheCommandedSpeed) {
  auto hand = makeHand("object=\"false\"");
  hand->setVelocities({100, 1000, -1, -1, -1, -1});
  hand->setAngles({0, 0, -1, -1, -1, 500});
  // The call returns at once; the motion takes time.
  DexHandState s = stateOf(*hand);
  EXPECT_LT(s.hands[1].position, 2000);
  s = waitState(*hand, [](auto& st) { return st.hands[1].position == 2000; });
  EXPECT_EQ(s.hands[1].angle, 0);
  // DOF 0 at a tenth of the speed has covered a small part of the stroke (it
  // reports its speed while moving); loose bound for a slow machine.
  EXPECT_LT(s.hands[0].position, 1000);
  EXPECT_GT(s.hands[0].position, 0);
  EXPECT_EQ(s.hands[0].speed, 100);
  EXPECT_GT(s.hands[0].current, 0);  // moving draws current
  s = waitState(*hand, [](auto& st) { return st.hands[5].position == 1000; });
  EXPECT_EQ(s.hands[5].angle, 500);
  EXPECT_EQ(s.hands[5].speed, 0);
  EXPECT_EQ(s.hands[5].current, 0);
}

TEST(RH56DFTPDexhand, ClosingOnTheObjectRaisesForceCurrentAndTheTouchingPartsReadings) {
  auto hand = makeHand();  // object on by default, at stroke 1000, 20 gf per unit
  hand->setForce({-1, -1, -1, 200, -1, -1});
  hand->setPresetAct(2);  // fist
  const DexHandState s = waitSettled(*hand);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const auto& d = s.hands[static_cast<size_t>(i)];
    const int limit = i == 3 ? 200 : 1000;
    // Stopped at the object where the force reached its limit.
    EXPECT_EQ(d.position, 1000 + limit / 20);
    EXPECT_EQ(d.force, limit);
    EXPECT_EQ(d.current, static_cast<int>(std::lround(0.3 * limit)));
    EXPECT_EQ(d.speed, 0);
  }
  // The thumb rotation turns past the object.
  EXPECT_EQ(s.hands[5].position, 2000);
  EXPECT_EQ(s.hands[5].force, 0);

  const HandTactileSensors t = hand->sensorSnapshot();
  for (const auto* f : {&t.pinky, &t.ring, &t.middle}) {
    EXPECT_GT(peak(f->tip), 0);
    EXPECT_GT(peak(f->finger), peak(f->pad));  // inner sections press hardest
    EXPECT_GT(peak(f->pad), peak(f->tip));
    EXPECT_NEAR(peak(f->finger), 1000, 1);
  }
  EXPECT_NEAR(peak(t.index.finger), 200, 1);  // its lower limit shows
  EXPECT_GT(peak(t.thumb.middle), 0);
  EXPECT_GT(peak(t.thumb.pad), 0);
  EXPECT_GT(peak(t.palm), 0);

  // Opening releases the object: every reading falls back to 0.
  hand->setPresetAct(1);
  waitSettled(*hand);
  std::this_thread::sleep_for(50ms);
  const HandTactileSensors open = hand->sensorSnapshot();
  EXPECT_EQ(peak(open.middle.finger), 0);
  EXPECT_EQ(peak(open.palm), 0);
  EXPECT_EQ(stateOf(*hand).hands[2].force, 0);
}

TEST(RH56DFTPDexhand, PalmPressureSitsTowardTheThumb) {
  for (const char* side : {"right", "left"}) {
    SCOPED_TRACE(side);
    auto hand = makeHand(std::string("side=\"") + side + "\"");
    hand->setPresetAct(2);
    waitSettled(*hand);
    std::this_thread::sleep_for(50ms);
    const auto palm = hand->sensorSnapshot().palm;
    const int left_edge = palm.data[4][0];
    const int right_edge = palm.data[4][13];
    if (std::string(side) == "right") {
      EXPECT_GT(right_edge, left_edge);
    } else {
      EXPECT_GT(left_edge, right_edge);
    }
  }
}

TEST(RH56DFTPDexhand, WithoutTheObjectTheHandClosesFullyAndFeelsNothing) {
  auto hand = makeHand("object=\"off\"");
  hand->setPresetAct(2);
  const DexHandState s = waitSettled(*hand);
  for (const auto& d : s.hands) {
    EXPECT_EQ(d.position, 2000);
    EXPECT_EQ(d.force, 0);
  }
  EXPECT_EQ(peak(hand->sensorSnapshot().index.finger), 0);
}

TEST(RH56DFTPDexhand, PresetsSetTheirTargetAnglesAndUnknownNumbersAreRefused) {
  auto hand = makeHand("object=\"off\"");
  for (const auto& [number, angles] : RH56DFTPDexhand::presets()) {
    SCOPED_TRACE(number);
    hand->execPresetAct(number);
    const DexHandState s = waitSettled(*hand);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(s.hands[i].angle, angles[i]);
  }
  for (int bad : {0, 7, -1}) {
    EXPECT_THAT(messageOf([&] { hand->setPresetAct(bad); }),
                HasSubstr("preset action " + std::to_string(bad) + " is not one of 1-6 on hand hand"));
  }
}

TEST(RH56DFTPDexhand, InjectedDofErrorsAreReportedAndHoldTheDof) {
  auto hand = makeHand("object=\"off\"");
  hand->updateParams({"dof_error", "2:3"});
  hand->updateParams({"dof_error", "4:16"});
  hand->setAngles({0, -1, 0, -1, -1, -1});
  DexHandState s = waitSettled(*hand);
  EXPECT_EQ(s.hands[0].position, 2000);
  EXPECT_EQ(s.hands[2].position, 0);  // faulted: holds
  EXPECT_EQ(s.hands[2].error, 3);
  EXPECT_EQ(s.hands[2].error_message, (std::vector<std::string>{"locked rotor", "over temperature"}));
  EXPECT_EQ(s.hands[4].error_message, (std::vector<std::string>{"communication error"}));
  EXPECT_TRUE(s.hands[1].error_message.empty());

  hand->updateParams({"dof_error", "2:0"});
  s = waitState(*hand, [](auto& st) { return st.hands[2].position == 2000; });
  EXPECT_EQ(s.hands[2].position, 2000);
  EXPECT_EQ(s.hands[2].error, 0);
  EXPECT_TRUE(s.hands[2].error_message.empty());

  for (const char* bad : {"6:1", "2:32", "2", "x:1", "2:-1"}) {
    EXPECT_THAT(messageOf([&] { hand->updateParams({"dof_error", bad}); }),
                HasSubstr(std::string("hand hand: dof_error value '") + bad + "' is not <dof 0-5>:<error bits 0-31>"));
  }
  EXPECT_EQ(RH56DFTPDexhand::errorTexts(31).size(), 5u);
}

TEST(RH56DFTPDexhand, SettingsChangeThroughUpdateParams) {
  auto hand = makeHand();
  hand->updateParams({"object_stiffness", "100"});
  hand->updateParams({"default_force", "500"});
  hand->setPresetAct(2);
  DexHandState s = waitSettled(*hand);
  EXPECT_EQ(s.hands[1].position, 1005);  // 1000 + 500 gf / 100 gf per unit
  EXPECT_EQ(s.hands[1].force, 500);

  hand->updateParams({"object", "off"});  // the object is taken away: the fist closes
  s = waitSettled(*hand);
  EXPECT_EQ(s.hands[1].position, 2000);
  EXPECT_EQ(s.hands[1].force, 0);

  hand->updateParams({"update_rate_hz", "20"});
  hand->updateParams({"side", "left"});
  EXPECT_THAT(messageOf([&] { hand->updateParams({"update_rate_hz", "5000"}); }),
              HasSubstr("hand hand: setting update_rate_hz value '5000' is not an integer in 1-1000"));
  EXPECT_THAT(messageOf([&] { hand->updateParams({"colour", "red"}); }),
              HasSubstr("hand hand has no parameter colour"));
}

TEST(RH56DFTPDexhand, FaultInjectionFailsTheNamedOperationOnce) {
  auto hand = makeHand();
  for (const char* op : {"getState", "setAngles", "setPositions", "setVelocities", "setForce", "setPresetAct",
                         "getSensorData"}) {
    SCOPED_TRACE(op);
    hand->updateParams({"fault", std::string(op) + ":injected " + op});
    auto call = [&, name = std::string(op)] {
      DexHandState s;
      const std::vector<int> v(6, -1);
      if (name == "getState") hand->getState(s);
      if (name == "setAngles") hand->setAngles(v);
      if (name == "setPositions") hand->setPositions(v);
      if (name == "setVelocities") hand->setVelocities(v);
      if (name == "setForce") hand->setForce(v);
      if (name == "setPresetAct") hand->setPresetAct(1);
      if (name == "getSensorData") hand->sensorSnapshot();
    };
    EXPECT_EQ(messageOf(call), std::string("injected ") + op);
    EXPECT_NO_THROW(call());
  }
  hand->updateParams({"fault", "getState:!nonstd"});
  DexHandState s;
  EXPECT_THROW(hand->getState(s), NonStandardFault);
}

TEST(RH56DFTPDexhand, StopHaltsEveryDofAndTheHandStaysUsable) {
  auto hand = makeHand("object=\"off\" default_speed=\"200\"");
  hand->setPresetAct(2);
  std::this_thread::sleep_for(200ms);
  hand->stop();
  hand->stop();  // idempotent
  const DexHandState halted = stateOf(*hand);
  std::this_thread::sleep_for(100ms);
  const DexHandState later = stateOf(*hand);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_GT(halted.hands[i].position, 0);
    EXPECT_LT(halted.hands[i].position, 2000);
    EXPECT_EQ(later.hands[i].position, halted.hands[i].position);
  }
  EXPECT_NO_THROW(hand->start());
  hand->setVelocities(std::vector<int>(6, 1000));
  hand->setPresetAct(1);
  const auto s = waitSettled(*hand);
  EXPECT_EQ(s.hands[0].position, 0);
}

TEST(RH56DFTPDexhand, DestroyedWhileMovingJoinsItsThread) {
  auto hand = makeHand("update_rate_hz=\"1000\"");
  hand->setPresetAct(2);
  std::this_thread::sleep_for(20ms);
  hand.reset();  // no stop(): the destructor ends the thread
  SUCCEED();
}

// Readers on other threads copy the readings while the driver's thread keeps
// refreshing them: each copy must be one refresh, never a mix of two.
TEST(RH56DFTPDexhand, SnapshotsStayConsistentWhileTheDriverUpdates) {
  // A soft object: the contact force ramps up over most of the stroke, so
  // consecutive refreshes differ.
  auto hand = makeHand("update_rate_hz=\"1000\" default_speed=\"300\" object_stiffness=\"1\"");
  std::atomic<bool> stop{false};
  std::atomic<int> copies{0};
  std::atomic<int> torn{0};
  auto reader = [&] {
    while (!stop) {
      const HandTactileSensors t = hand->sensorSnapshot();
      DexHandState s;
      hand->getState(s);
      // Within one refresh the finger section reads 1.25 times the pad
      // (gains 1.0 and 0.8 of the same force).
      const int f = peak(t.middle.finger);
      const int p = peak(t.middle.pad);
      if (std::abs(p - std::lround(f * 0.8)) > 1 || t.palm.data.size() != 8u) ++torn;
      ++copies;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  hand->setPresetAct(2);
  std::this_thread::sleep_for(1000ms);
  hand->setPresetAct(1);
  std::this_thread::sleep_for(300ms);
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(copies.load(), 10);
}

TEST(RH56DFTPDexhand, TactileNoiseAddsBoundedReadings) {
  auto hand = makeHand("tactile_noise=\"20\" object=\"off\"");
  std::this_thread::sleep_for(50ms);
  const auto t = hand->sensorSnapshot();
  EXPECT_GT(peak(t.palm), 0);
  EXPECT_LE(peak(t.palm), 20);
  EXPECT_LE(peak(t.index.finger), 20);
}

}  // namespace
}  // namespace tovak::device
