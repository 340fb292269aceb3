#include "common/utils/xml_parser/xml_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Declaration, comment and DOCTYPE come first on purpose: with the default
// parse flags they must not become the root.
constexpr const char* kConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- robot configuration -->
<!DOCTYPE Robot>
<Robot name="pelmo">
  <Logger dir="/var/log/tovak" level="warn"/>
  <gRPCServer port=""/>
  <Device id="first" kind="camera" id="shadowed"/>
  <Device id="second"/>
  <Note lang="en&amp;de">a &lt; b</Note>
</Robot>
)";

struct Output {
  std::string out;
  std::string err;
};

template <class F>
Output captured(F&& f) {
  CaptureStdout();
  CaptureStderr();
  f();
  Output o;
  o.err = GetCapturedStderr();
  o.out = GetCapturedStdout();
  return o;
}

XmlNode parse(const std::string& text) {
  std::istringstream in(text);
  return XmlNode(in);
}

std::vector<std::string> names(const std::vector<XmlNode>& nodes) {
  std::vector<std::string> out;
  for (const XmlNode& n : nodes) out.push_back(n.getNodeName());
  return out;
}

// Everything a reader can observe about a subtree, for structural comparison.
std::string shape(const XmlNode& n) {
  std::string s = "(" + n.getNodeName() + "|" + n.getNodeValue();
  for (const auto& [k, v] : n.getAllAttrMap()) s += " " + k + "=" + v;
  for (const XmlNode& c : n.getChildren()) s += shape(c);
  return s + ")";
}

class XmlNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "xml_parser_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  template <class E>
  static std::string thrownText(const std::function<void()>& f) {
    try {
      f();
    } catch (const E& e) {
      return e.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
  }

  std::string dir_;
};

TEST_F(XmlNodeTest, FileLoadFindsRootElementAndChildrenInOrder) {
  XmlNode root(write("robot.xml", kConfig));
  EXPECT_EQ(root.getNodeName(), "Robot");
  EXPECT_TRUE(root.isRoot());
  EXPECT_EQ(root.getAttrString("name"), "pelmo");
  // Blank text between elements yields no text nodes.
  EXPECT_EQ(names(root.getChildren()),
            (std::vector<std::string>{"Logger", "gRPCServer", "Device", "Device", "Note"}));

  // An element with text has a text child; entities are translated.
  const XmlNode note = root.getChild("Note");
  EXPECT_EQ(note.getNodeValue(), "a < b");
  EXPECT_EQ(note.getAttrString("lang"), "en&de");
  const std::vector<XmlNode> text = note.getChildren();
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0].getNodeName(), "");
  EXPECT_EQ(text[0].getNodeValue(), "a < b");
}

TEST_F(XmlNodeTest, IntAttributeFollowsAtoi) {
  const XmlNode n = parse(R"(<N a="12abc" b="abc" c="-5" d="  42" e="+7" f=""/>)");
  const struct {
    const char* key;
    int expected;
  } cases[] = {{"a", 12}, {"b", 0}, {"c", -5}, {"d", 42}, {"e", 7}, {"f", 0}, {"absent", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(n.getAttrDefault(c.key, 3), c.expected);
  }
}

TEST_F(XmlNodeTest, TextAttributeDistinguishesEmptyFromMissing) {
  const XmlNode root = parse(kConfig);
  const XmlNode server = root.getChild("gRPCServer");  // port=""
  const XmlNode logger = root.getChild("Logger");      // no port
  std::string def = "50051";
  char buf[] = "50051";

  EXPECT_EQ(server.getAttrDefault("port", "50051"), "");
  EXPECT_EQ(logger.getAttrDefault("port", "50051"), "50051");
  EXPECT_EQ(server.getAttrDefault("port", def), "");
  EXPECT_EQ(logger.getAttrDefault("port", def), "50051");
  EXPECT_EQ(server.getAttrDefault("port", buf), "");
  EXPECT_EQ(logger.getAttrDefault("port", buf), "50051");
  EXPECT_EQ(logger.getAttrString("level"), "warn");
  EXPECT_EQ(logger.getAttrString("port"), "");
  EXPECT_EQ(logger.getAttrString("Level"), "");  // names are case-sensitive

  EXPECT_EQ(server.getAttrOrThrow("port"), "");
  EXPECT_EQ(thrownText<std::runtime_error>([&] { logger.getAttrOrThrow("port"); }),
            "attribute 'port' missing on element Logger");
}

TEST_F(XmlNodeTest, FirstAttributeWithRepeatedNameWins) {
  const XmlNode dev = parse(kConfig).getChild("Device");
  EXPECT_EQ(dev.getAttrString("id"), "first");
  EXPECT_EQ(dev.getAttrDefault("id", "x"), "first");
  EXPECT_EQ(dev.getAttrOrThrow("id"), "first");
  const auto all = dev.getAllAttr();
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all.at("id"), "first");
  EXPECT_EQ(all.at("kind"), "camera");
  EXPECT_EQ(dev.getAllAttrMap(),
            (std::map<std::string, std::string>{{"id", "first"}, {"kind", "camera"}}));
}

TEST_F(XmlNodeTest, SameNamedChildrenFirstWinsAndAllAreListed) {
  const XmlNode root = parse(kConfig);
  EXPECT_EQ(root.getChild("Device").getAttrString("id"), "first");
  std::vector<std::string> ids;
  for (const XmlNode& d : root.getChildren("Device")) ids.push_back(d.getAttrString("id"));
  EXPECT_EQ(ids, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(names(root.getChildren("")), names(root.getChildren()));
  EXPECT_TRUE(root.getChildren("Absent").empty());
}

TEST_F(XmlNodeTest, EmptyChildNameMeansAnyChildNode) {
  const XmlNode root = parse(kConfig);
  const struct {
    const char* label;
    XmlNode node;
    bool has;
    const char* firstName;
    const char* firstValue;
  } cases[] = {
      {"elements only", root, true, "Logger", ""},
      {"text only", root.getChild("Note"), true, "", "a < b"},
      {"empty element", root.getChild("gRPCServer"), false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.node.hasChild(""), c.has);
    XmlNode first;
    const Output o = captured([&] { first = c.node.getChild(""); });
    EXPECT_EQ(first.getNodeName(), c.firstName);
    EXPECT_EQ(first.getNodeValue(), c.firstValue);
    EXPECT_EQ(o.err, c.has ? "" : "failed to get child:\n");
    EXPECT_EQ(o.out, c.has ? "" : "xmlparser cannot get node\n");
  }
}

TEST_F(XmlNodeTest, MissingChildReportsOnBothStreamsWhileHasChildIsSilent) {
  const XmlNode root = parse(kConfig);
  for (const char* name : {"Nope", "logger"}) {  // absent, and wrong case
    SCOPED_TRACE(name);
    bool has = true;
    const Output quiet = captured([&] { has = root.hasChild(name); });
    EXPECT_FALSE(has);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");

    XmlNode missing;
    const Output loud = captured([&] { missing = root.getChild(name); });
    EXPECT_EQ(loud.err, std::string("failed to get child:") + name + "\n");
    EXPECT_EQ(loud.out, "xmlparser cannot get node\n");
    EXPECT_EQ(missing.getNodeName(), "");
    EXPECT_FALSE(missing.hasChild(""));
  }
}

TEST_F(XmlNodeTest, CopiesOutliveTheNodeThatLoadedTheFile) {
  struct Holder {  // like a device keeping its configuration element
    XmlNode cfg;
  };
  const std::string path = write("robot.xml", kConfig);
  // Each way of keeping a node is tried alone, so that the kept node is the
  // only owner of its document once the loading node is gone.
  std::unique_ptr<Holder> constructed;
  {
    const auto root = std::make_unique<XmlNode>(path);
    const XmlNode device = root->getChild("Device");
    constructed = std::make_unique<Holder>(Holder{device});
  }
  auto assigned = std::make_unique<Holder>();
  {
    const auto root = std::make_unique<XmlNode>(path);
    assigned->cfg = root->getChild("Logger");
  }
  std::vector<XmlNode> listed;
  {
    const auto root = std::make_unique<XmlNode>(path);
    listed = root->getChildren("Device");
  }
  fs::remove(path);

  EXPECT_EQ(constructed->cfg.getAttrString("id"), "first");
  EXPECT_EQ(constructed->cfg.getAttrDefault("kind", "none"), "camera");
  EXPECT_EQ(constructed->cfg.getParent().getNodeName(), "Robot");
  EXPECT_EQ(assigned->cfg.getAttrDefault("level", "info"), "warn");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].getAttrString("id"), "first");
  EXPECT_EQ(listed[1].getAttrString("id"), "second");

  // The sole owner assigned to itself must keep its document.
  XmlNode& alias = assigned->cfg;
  XmlNode& result = (assigned->cfg = alias);
  EXPECT_EQ(&result, &assigned->cfg);
  EXPECT_EQ(assigned->cfg.getAttrString("dir"), "/var/log/tovak");
}

TEST_F(XmlNodeTest, LoadFailuresReportAndThrow) {
  const std::string missing = dir_ + "/absent.xml";
  std::string what;
  const Output o = captured([&] { what = thrownText<std::runtime_error>([&] { XmlNode n(missing); }); });
  EXPECT_EQ(what, "cannot open file " + missing);
  EXPECT_EQ(o.err, "cannot open xml file: " + missing + "\n");

  EXPECT_EQ(thrownText<std::runtime_error>([&] { XmlNode n(dir_); }), "cannot open file " + dir_);

  for (const char* bad : {"<Robot>", "<Robot x=\"1></Robot>", "plain text", "<Robot a=1/>",
                          "<Robot><a></Robot>", "<Robot/><"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(XmlNode n(write("bad.xml", bad)), rapidxml::parse_error);
  }
}

TEST_F(XmlNodeTest, EmptyFileLeavesRootReferringToNothing) {
  const std::string path = write("empty.xml", "");
  std::optional<XmlNode> root;
  const Output o = captured([&] { root.emplace(path); });
  EXPECT_EQ(o.err, "xml file is empty\n");
  EXPECT_EQ(root->getNodeName(), "");
  EXPECT_FALSE(root->isRoot());
  EXPECT_FALSE(root->hasChild(""));
}

TEST_F(XmlNodeTest, FailedReloadKeepsDocumentAndSuccessfulReloadReplacesIt) {
  XmlNode root(write("robot.xml", kConfig));
  const XmlNode before = root.getChild("Logger");
  EXPECT_THROW(root.load(write("bad.xml", "<Other>")), rapidxml::parse_error);
  captured([&] { EXPECT_THROW(root.load(dir_ + "/absent.xml"), std::runtime_error); });
  EXPECT_EQ(root.getNodeName(), "Robot");
  EXPECT_TRUE(root.hasChild("Device"));

  root.load(write("other.xml", R"(<Other><Logger dir="/elsewhere"/></Other>)"));
  EXPECT_EQ(root.getNodeName(), "Other");
  EXPECT_EQ(root.getChild("Logger").getAttrString("dir"), "/elsewhere");
  EXPECT_EQ(before.getAttrString("dir"), "/var/log/tovak");  // old document still shared
}

TEST_F(XmlNodeTest, LoadsFromStreamsAndPipes) {
  std::istringstream in(kConfig);
  XmlNode root(in);
  EXPECT_EQ(shape(root), shape(XmlNode(write("robot.xml", kConfig))));
  EXPECT_NE(in.flags() & std::ios::skipws, 0);  // the caller's stream keeps its flags

  std::istringstream empty("");
  const Output o = captured([&] { root.load(empty); });
  EXPECT_EQ(o.err, "xml file is empty\n");
  EXPECT_EQ(root.getNodeName(), "");

  std::istringstream failed(kConfig);
  failed.setstate(std::ios::failbit);
  EXPECT_EQ(thrownText<std::runtime_error>([&] { root.load(failed); }), "error reading stream");

  // A pipe cannot be measured by seeking; it is read as a stream.
  const std::string fifo = dir_ + "/config.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo) << kConfig; });
  XmlNode piped(fifo);
  writer.join();
  EXPECT_EQ(shape(piped), shape(parse(kConfig)));
}

TEST_F(XmlNodeTest, NodesReferringToNothingAnswerEverythingSafely) {
  const std::string path = write("robot.xml", kConfig);
  std::vector<std::pair<std::string, XmlNode>> nodes;
  nodes.emplace_back("default", XmlNode());
  captured([&] { nodes.emplace_back("missing child", XmlNode(path).getChild("Nope")); });
  captured([&] { nodes.emplace_back("empty file", XmlNode(write("empty.xml", ""))); });
  XmlNode unloaded(path);
  const XmlNode keptChild = unloaded.getChild("Logger");
  unloaded.unload();
  nodes.emplace_back("unloaded", unloaded);

  for (auto& [label, n] : nodes) {
    SCOPED_TRACE(label);
    EXPECT_FALSE(n.hasChild(""));
    EXPECT_FALSE(n.hasChild("Device"));
    EXPECT_TRUE(n.getChildren().empty());
    EXPECT_TRUE(n.getChildren("Device").empty());
    EXPECT_EQ(n.getAttrString("id"), "");
    EXPECT_EQ(n.getAttrDefault("id", "d"), "d");
    EXPECT_EQ(n.getAttrDefault("id", 3), 3);
    EXPECT_TRUE(n.getAttrDefault("id", true));
    EXPECT_EQ(n.getAttrDefault("id", 1.5f), 1.5f);
    EXPECT_TRUE(n.getAllAttr().empty());
    EXPECT_TRUE(n.getAllAttrMap().empty());
    EXPECT_EQ(n.getNodeName(), "");
    EXPECT_EQ(n.getNodeValue(), "");
    EXPECT_EQ(n.print(), "");
    EXPECT_FALSE(n.isRoot());
    EXPECT_EQ(n.getRoot().getNodeName(), "");
    EXPECT_EQ(n.getParent().getNodeName(), "");
    EXPECT_EQ(n.getValueDefault("Note", "d"), "d");
    EXPECT_EQ(n.getValueDefault("Note", 4), 4);
    EXPECT_THROW(n.getAttrOrThrow("id"), std::runtime_error);
    EXPECT_THROW(n.appendChild("X"), std::runtime_error);
    EXPECT_THROW(n.appendAttr("k", "v"), std::runtime_error);
    XmlNode child;
    const Output o = captured([&] { child = n.getChild("Device"); });
    EXPECT_EQ(child.getNodeName(), "");
    EXPECT_EQ(o.err, "failed to get child:Device\n");
    EXPECT_EQ(o.out, "xmlparser cannot get node\n");
  }
  EXPECT_EQ(keptChild.getAttrString("level"), "warn");
}

TEST_F(XmlNodeTest, FlagAttributeAcceptsOnlyKnownWords) {
  const struct {
    const char* text;
    std::optional<bool> word;  // nullopt: not a flag word, the default applies
  } cases[] = {{"true", true},   {"TRUE", true},   {"Yes", true},   {"on", true},
               {"1", true},      {"false", false}, {"No", false},   {"OFF", false},
               {"0", false},     {"maybe", {}},    {"", {}},        {" true", {}},
               {"2", {}}};
  std::string xml = "<F";
  for (size_t i = 0; i < std::size(cases); ++i) {
    xml += " a" + std::to_string(i) + "=\"" + cases[i].text + "\"";
  }
  const XmlNode n = parse(xml + "/>");
  for (bool def : {false, true}) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE(::testing::Message() << "'" << cases[i].text << "' default " << def);
      EXPECT_EQ(n.getAttrDefault("a" + std::to_string(i), def), cases[i].word.value_or(def));
    }
    EXPECT_EQ(n.getAttrDefault("absent", def), def);
  }
}

TEST_F(XmlNodeTest, FloatAttributeReadsLeadingNumberOrDefault) {
  const XmlNode n =
      parse(R"(<F a="2.5" b="  -1.25kg" c="1e3" d="abc" e="" f="1e50" g="0.1"/>)");
  const struct {
    const char* key;
    float expected;
  } cases[] = {{"a", 2.5f}, {"b", -1.25f}, {"c", 1000.f}, {"d", 7.5f},
               {"e", 7.5f}, {"f", 7.5f},   {"g", 0.1f},   {"absent", 7.5f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(n.getAttrDefault(c.key, 7.5f), c.expected);
  }
}

TEST_F(XmlNodeTest, ValueDefaultsReadNamedChildText) {
  XmlNode n = parse(
      "<Cfg><Name>cam</Name><Empty></Empty><Rate>30 fps</Rate><Gain> 0.5</Gain>"
      "<Bad>x</Bad><Big>99999999999</Big><Huge>1e999</Huge></Cfg>");
  EXPECT_EQ(n.getChild("Name").getNodeValue(), "cam");

  const struct {
    const char* name;
    const char* text;
  } texts[] = {{"Name", "cam"}, {"Empty", ""}, {"Missing", "def"}, {"", "def"}};
  for (const auto& c : texts) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(n.getValueDefault(c.name, "def"), c.text);
    EXPECT_EQ(n.getValueDefault(c.name, std::string("def")), c.text);
  }

  const struct {
    const char* name;
    long asLong;
    int asInt;
    double asDouble;
  } numbers[] = {
      {"Rate", 30, 30, 30.0},  // trailing text ignored
      {"Gain", 0, 0, 0.5},     // integers stop at the decimal point
      {"Bad", -1, -1, -1.0},   // no leading number
      {"Big", 99999999999L, -1, 99999999999.0},  // does not fit int
      {"Huge", 1, 1, -1.0},    // overflows double
      {"Missing", -1, -1, -1.0},
  };
  for (const auto& c : numbers) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(n.getValueDefault(c.name, -1L), c.asLong);
    EXPECT_EQ(n.getValueDefault(c.name, -1), c.asInt);
    EXPECT_EQ(n.getValueDefault(c.name, -1.0), c.asDouble);
  }
}

TEST_F(XmlNodeTest, NavigatesToParentAndRoot) {
  const XmlNode root = parse(kConfig);
  const XmlNode dev = root.getChild("Device");
  EXPECT_FALSE(dev.isRoot());
  EXPECT_EQ(dev.getParent().getNodeName(), "Robot");
  EXPECT_TRUE(dev.getParent().isRoot());
  EXPECT_EQ(dev.getRoot().getNodeName(), "Robot");
  EXPECT_TRUE(dev.getRoot().isRoot());
  EXPECT_EQ(root.getChild("Note").getChildren().at(0).getParent().getNodeName(), "Note");
  const Output o = captured([&] { EXPECT_EQ(root.getParent().getNodeName(), ""); });
  EXPECT_EQ(o.out + o.err, "");

  // The four-argument element constructor over a document built by hand.
  std::istringstream in("<Top><Inner/></Top>");
  auto buffer = std::make_shared<rapidxml::file<char>>(in);
  auto document = std::make_shared<rapidxml::xml_document<char>>();
  document->parse<0>(buffer->data());
  auto* top = document->first_node();
  const XmlNode inner(top->first_node(), top, document, buffer);
  EXPECT_FALSE(inner.isRoot());
  EXPECT_EQ(inner.getParent().getNodeName(), "Top");
  EXPECT_TRUE(XmlNode(top, top, document, buffer).isRoot());
  const Output nullNode = captured([] { XmlNode(nullptr, nullptr, nullptr, nullptr); });
  EXPECT_EQ(nullNode.out, "xmlparser cannot get node\n");
}

TEST_F(XmlNodeTest, PrintRoundTripsThroughTheParser) {
  const XmlNode root = parse(kConfig);
  for (const XmlNode& n : {root, root.getChild("Device"), root.getChild("Note")}) {
    SCOPED_TRACE(n.getNodeName());
    const std::string text = n.print();
    EXPECT_EQ(shape(parse(text)), shape(n)) << text;
  }
}

TEST_F(XmlNodeTest, AppendedNodesLiveInTheDocumentPool) {
  XmlNode root = parse("<Robot/>");
  XmlNode dev;
  {
    std::string name = "Device";
    dev = root.appendChild(name);
    std::string id = "cam0";
    dev.appendAttr("id", id);
  }  // the caller's strings are gone; the node must not point into them
  dev.appendAttr("fps", 30);
  dev.appendAttr("gain", 0.1f);
  dev.appendAttr("enabled", true);
  dev.appendAttr("note", static_cast<const char*>(nullptr));
  dev.appendAttr("id", "other");

  EXPECT_EQ(dev.getParent().getNodeName(), "Robot");
  EXPECT_EQ(dev.getAttrString("id"), "cam0");  // first of the repeated name
  EXPECT_EQ(dev.getAttrDefault("fps", 0), 30);
  EXPECT_EQ(dev.getAttrDefault("gain", 0.f), 0.1f);
  EXPECT_TRUE(dev.getAttrDefault("enabled", false));
  EXPECT_EQ(dev.getAttrDefault("note", "d"), "");

  // A copy shares the document, so appends through it are visible here.
  XmlNode copy = root;
  copy.appendChild("Shared");
  EXPECT_TRUE(root.hasChild("Shared"));

  // A child from another document is copied deeply: that document may go.
  XmlNode adopted;
  {
    XmlNode other = parse(kConfig);
    XmlNode note = other.getChild("Note");
    adopted = root.appendChild(note);
  }
  EXPECT_EQ(adopted.getAttrString("lang"), "en&de");
  EXPECT_EQ(adopted.getNodeValue(), "a < b");

  XmlNode group = root.appendChild("Group");
  const XmlNode moved = root.appendChild(group, dev);
  EXPECT_EQ(moved.getParent().getNodeName(), "Group");
  EXPECT_EQ(moved.getAttrString("id"), "cam0");
  root.appendChild(group, group);  // into its own subtree: a one-level copy
  EXPECT_EQ(names(group.getChildren()), (std::vector<std::string>{"Device", "Group"}));
  EXPECT_EQ(names(group.getChild("Group").getChildren()), (std::vector<std::string>{"Device"}));

  EXPECT_EQ(names(root.getChildren()),
            (std::vector<std::string>{"Device", "Shared", "Note", "Group"}));
  EXPECT_EQ(shape(parse(root.print())), shape(root));

  XmlNode foreign = parse("<X/>");
  XmlNode nothing;
  XmlNode textNode = adopted.getChildren().at(0);
  EXPECT_THROW(root.appendChild(foreign, dev), std::runtime_error);
  EXPECT_THROW(root.appendChild(nothing), std::runtime_error);
  EXPECT_THROW(textNode.appendChild("X"), std::runtime_error);
  EXPECT_THROW(root.appendChild(""), std::runtime_error);
  EXPECT_THROW(dev.appendAttr("", "v"), std::runtime_error);
}

}  // namespace
