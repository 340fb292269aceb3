#include "common/utils/xml_parser/xml_parser.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

// The Debian rapidxml_print.hpp has an unused parameter that -Wextra reports
// at instantiation; the header is not ours to fix.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "rapidxml_print.hpp"
#pragma GCC diagnostic pop

namespace {

using Node = rapidxml::xml_node<char>;
using Attr = rapidxml::xml_attribute<char>;
using Doc = rapidxml::xml_document<char>;

// RapidXML treats a name length of 0 as "measure with strlen", so every
// lookup compares explicit views instead of using its name overloads.
std::string_view nameOf(const Node* n) { return {n->name(), n->name_size()}; }
std::string_view nameOf(const Attr* a) { return {a->name(), a->name_size()}; }
std::string_view valueOf(const Node* n) { return {n->value(), n->value_size()}; }
std::string_view valueOf(const Attr* a) { return {a->value(), a->value_size()}; }

Node* findElement(const Node* parent, std::string_view name) {
  if (parent == nullptr || name.empty()) return nullptr;
  for (Node* c = parent->first_node(); c != nullptr; c = c->next_sibling()) {
    if (c->type() == rapidxml::node_element && nameOf(c) == name) return c;
  }
  return nullptr;
}

// An empty name stands for "any child node", text included.
Node* findChild(const Node* parent, std::string_view name) {
  if (parent == nullptr) return nullptr;
  return name.empty() ? parent->first_node() : findElement(parent, name);
}

Attr* findAttr(const Node* node, std::string_view key) {
  if (node == nullptr) return nullptr;
  for (Attr* a = node->first_attribute(); a != nullptr; a = a->next_attribute()) {
    if (nameOf(a) == key) return a;
  }
  return nullptr;
}

template <class Map>
Map collectAttrs(const Node* node) {
  Map out;
  if (node == nullptr) return out;
  for (const Attr* a = node->first_attribute(); a != nullptr; a = a->next_attribute()) {
    out.emplace(nameOf(a), valueOf(a));  // emplace keeps the first occurrence
  }
  return out;
}

// NUL-terminated copy in the document's pool: appended nodes must not point
// into caller-owned strings, and printing relies on the terminator.
char* poolString(Doc& pool, std::string_view s) {
  char* p = pool.allocate_string(nullptr, s.size() + 1);
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<bool> parseFlag(std::string_view text) {
  for (std::string_view word : {"true", "1", "yes", "on"}) {
    if (equalsNoCase(text, word)) return true;
  }
  for (std::string_view word : {"false", "0", "no", "off"}) {
    if (equalsNoCase(text, word)) return false;
  }
  return std::nullopt;
}

// Leading number in the style of strtol/strtod; nullopt when there is none
// or it does not fit the result type.
std::optional<long> leadingLong(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) return std::nullopt;
  return v;
}

template <class Real, Real (*Parse)(const char*, char**)>
std::optional<Real> leadingReal(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const Real v = Parse(text.c_str(), &end);
  if (end == text.c_str()) return std::nullopt;
  // Underflow still yields the nearest small value; only overflow is refused.
  if (errno == ERANGE && std::isinf(v)) return std::nullopt;
  return v;
}

float parseFloat(const char* s, char** end) { return std::strtof(s, end); }
double parseDouble(const char* s, char** end) { return std::strtod(s, end); }

}  // namespace

XmlNode::XmlNode() = default;

XmlNode::XmlNode(std::string filename) { load(filename); }

XmlNode::XmlNode(std::istream& in) { load(in); }

XmlNode::XmlNode(rapidxml::xml_node<char>* node, rapidxml::xml_node<char>* rapid_root,
                 std::shared_ptr<rapidxml::xml_document<char>> ndoc,
                 std::shared_ptr<rapidxml::file<char>> nfile, XmlNode* rt) {
  if (node == nullptr) {
    std::cout << "xmlparser cannot get node" << std::endl;
    return;
  }
  root = rt;
  is_root = (node == rapid_root);
  p_root = rapid_root;
  p_node = node;
  doc = std::move(ndoc);
  file = std::move(nfile);
}

XmlNode::XmlNode(rapidxml::xml_node<char>* node, rapidxml::xml_node<char>* rapid_root,
                 std::shared_ptr<rapidxml::xml_document<char>> ndoc,
                 std::shared_ptr<rapidxml::file<char>> nfile)
    : XmlNode(node, rapid_root, std::move(ndoc), std::move(nfile), nullptr) {}

XmlNode::XmlNode(const XmlNode& other)
    : root(other.root),
      is_root(other.is_root),
      p_root(other.p_root),
      p_node(other.p_node),
      doc(other.doc),
      file(other.file) {}

XmlNode& XmlNode::operator=(const XmlNode& other) {
  if (this == &other) return *this;
  root = other.root;
  is_root = other.is_root;
  p_root = other.p_root;
  p_node = other.p_node;
  doc = other.doc;
  file = other.file;
  return *this;
}

XmlNode::~XmlNode() = default;

void XmlNode::load(const std::string& filename) {
  std::ifstream in(filename, std::ios::binary);
  if (!in) std::cerr << "cannot open xml file: " << filename << std::endl;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size == 0) std::cerr << "xml file is empty" << std::endl;

  // RapidXML's file loader happily opens a directory and then sizes its
  // buffer from a bogus length; refuse it the way the loader refuses a
  // missing file.
  std::error_code ec;
  if (std::filesystem::is_directory(filename, ec)) {
    throw std::runtime_error("cannot open file " + filename);
  }
  if (in.is_open() && size < 0) {
    // Opened but not seekable (a pipe): the loader would read a length of -1.
    in.clear();
    load(in);
    return;
  }
  adopt_(std::make_shared<rapidxml::file<char>>(filename.c_str()));
}

void XmlNode::load(std::istream& in) {
  const std::ios::fmtflags flags = in.flags();
  std::shared_ptr<rapidxml::file<char>> buffer;
  try {
    buffer = std::make_shared<rapidxml::file<char>>(in);
  } catch (...) {
    in.flags(flags);
    throw;
  }
  in.flags(flags);
  if (buffer->size() <= 1) std::cerr << "xml file is empty" << std::endl;  // only the NUL
  adopt_(std::move(buffer));
}

void XmlNode::adopt_(std::shared_ptr<rapidxml::file<char>> buffer) {
  auto parsed = std::make_shared<Doc>();
  parsed->parse<0>(buffer->data());

  file = std::move(buffer);
  doc = std::move(parsed);
  m_buffer.clear();
  copied_docs.clear();
  copied_files.clear();
  p_node = doc->first_node();
  p_root = p_node;
  root = this;
  is_root = true;
}

void XmlNode::unload() {
  root = nullptr;
  m_buffer.clear();
  is_root = false;
  p_root = nullptr;
  p_node = nullptr;
  copied_docs.clear();
  copied_files.clear();
  doc.reset();
  file.reset();
}

XmlNode XmlNode::getRoot() const {
  if (p_root == nullptr) return XmlNode();
  return XmlNode(p_root, p_root, doc, file, root);
}

XmlNode XmlNode::getParent() const {
  if (p_node == nullptr) return XmlNode();
  Node* parent = p_node->parent();
  if (parent == nullptr || parent->type() == rapidxml::node_document) return XmlNode();
  return XmlNode(parent, p_root, doc, file, root);
}

bool XmlNode::isRoot() const { return is_root && p_node != nullptr; }

bool XmlNode::hasChild(const std::string& childid) const {
  return findChild(p_node, childid) != nullptr;
}

XmlNode XmlNode::getChild(const std::string& child_id) const {
  if (!hasChild(child_id)) std::cerr << "failed to get child:" << child_id << std::endl;
  return XmlNode(findChild(p_node, child_id), p_root, doc, file, root);
}

std::vector<XmlNode> XmlNode::getChildren() const {
  std::vector<XmlNode> out;
  if (p_node == nullptr) return out;
  for (Node* c = p_node->first_node(); c != nullptr; c = c->next_sibling()) {
    out.emplace_back(c, p_root, doc, file, root);
  }
  return out;
}

std::vector<XmlNode> XmlNode::getChildren(std::string name) const {
  if (name.empty()) return getChildren();
  std::vector<XmlNode> out;
  for (Node* c = findElement(p_node, name); c != nullptr; c = c->next_sibling()) {
    if (c->type() == rapidxml::node_element && nameOf(c) == name) {
      out.emplace_back(c, p_root, doc, file, root);
    }
  }
  return out;
}

std::unordered_map<std::string, std::string> XmlNode::getAllAttr() const {
  return collectAttrs<std::unordered_map<std::string, std::string>>(p_node);
}

std::map<std::string, std::string> XmlNode::getAllAttrMap() const {
  return collectAttrs<std::map<std::string, std::string>>(p_node);
}

std::string XmlNode::getAttrOrThrow(const std::string& key) const {
  if (p_node == nullptr) {
    throw std::runtime_error("attribute '" + key + "' requested from a node that refers to no element");
  }
  const Attr* a = findAttr(p_node, key);
  if (a == nullptr) {
    throw std::runtime_error("attribute '" + key + "' missing on element " + getNodeName());
  }
  return std::string(valueOf(a));
}

std::string XmlNode::print() const {
  std::string out;
  if (p_node != nullptr) rapidxml::print(std::back_inserter(out), *p_node, 0);
  return out;
}

std::string XmlNode::getAttrString(const std::string& key) const {
  const Attr* a = findAttr(p_node, key);
  return a != nullptr ? std::string(valueOf(a)) : std::string();
}

std::string XmlNode::getAttrDefault(const std::string& key, const char* def_value) const {
  if (const Attr* a = findAttr(p_node, key)) return std::string(valueOf(a));
  return def_value != nullptr ? std::string(def_value) : std::string();
}

std::string XmlNode::getAttrDefault(const std::string& key, std::string def_value) const {
  if (const Attr* a = findAttr(p_node, key)) return std::string(valueOf(a));
  return def_value;
}

std::string XmlNode::getAttrDefault(const std::string& key, char* def_value) const {
  return getAttrDefault(key, static_cast<const char*>(def_value));
}

int XmlNode::getAttrDefault(const std::string& key, int def_value) const {
  const Attr* a = findAttr(p_node, key);
  if (a == nullptr) return def_value;
  return std::atoi(std::string(valueOf(a)).c_str());
}

bool XmlNode::getAttrDefault(const std::string& key, bool def_value) const {
  const Attr* a = findAttr(p_node, key);
  if (a == nullptr) return def_value;
  return parseFlag(valueOf(a)).value_or(def_value);
}

float XmlNode::getAttrDefault(const std::string& key, float def_value) const {
  const Attr* a = findAttr(p_node, key);
  if (a == nullptr) return def_value;
  return leadingReal<float, parseFloat>(std::string(valueOf(a))).value_or(def_value);
}

std::string XmlNode::getNodeName() const {
  return p_node != nullptr ? std::string(nameOf(p_node)) : std::string();
}

std::string XmlNode::getNodeValue() const {
  return p_node != nullptr ? std::string(valueOf(p_node)) : std::string();
}

std::string XmlNode::getValueDefault(const std::string& name, const char* def_value) const {
  if (const Node* c = findElement(p_node, name)) return std::string(valueOf(c));
  return def_value != nullptr ? std::string(def_value) : std::string();
}

std::string XmlNode::getValueDefault(const std::string& name, const std::string& def_value) const {
  if (const Node* c = findElement(p_node, name)) return std::string(valueOf(c));
  return def_value;
}

long XmlNode::getValueDefault(const std::string& name, long def_value) {
  const Node* c = findElement(p_node, name);
  if (c == nullptr) return def_value;
  return leadingLong(std::string(valueOf(c))).value_or(def_value);
}

int XmlNode::getValueDefault(const std::string& name, int def_value) {
  const Node* c = findElement(p_node, name);
  if (c == nullptr) return def_value;
  const std::optional<long> v = leadingLong(std::string(valueOf(c)));
  if (!v || *v < INT_MIN || *v > INT_MAX) return def_value;
  return static_cast<int>(*v);
}

double XmlNode::getValueDefault(const std::string& name, double def_value) {
  const Node* c = findElement(p_node, name);
  if (c == nullptr) return def_value;
  return leadingReal<double, parseDouble>(std::string(valueOf(c))).value_or(def_value);
}

void XmlNode::require_element_(const char* operation) const {
  if (p_node == nullptr || doc == nullptr || p_node->type() != rapidxml::node_element) {
    throw std::runtime_error(std::string("XmlNode::") + operation + ": node refers to no element");
  }
}

rapidxml::xml_node<char>* XmlNode::clone_(const rapidxml::xml_node<char>* src) const {
  Node* copy = doc->allocate_node(src->type(), poolString(*doc, nameOf(src)),
                                  poolString(*doc, valueOf(src)), src->name_size(),
                                  src->value_size());
  for (const Attr* a = src->first_attribute(); a != nullptr; a = a->next_attribute()) {
    copy->append_attribute(doc->allocate_attribute(poolString(*doc, nameOf(a)),
                                                   poolString(*doc, valueOf(a)),
                                                   a->name_size(), a->value_size()));
  }
  for (const Node* c = src->first_node(); c != nullptr; c = c->next_sibling()) {
    copy->append_node(clone_(c));
  }
  return copy;
}

XmlNode XmlNode::appendChild(const std::string& name) {
  require_element_("appendChild");
  if (name.empty()) throw std::runtime_error("XmlNode::appendChild: empty element name");
  Node* child = doc->allocate_node(rapidxml::node_element, poolString(*doc, name), nullptr,
                                   name.size(), 0);
  p_node->append_node(child);
  return XmlNode(child, p_root, doc, file, root);
}

XmlNode XmlNode::appendChild(XmlNode& child) {
  return appendChild(*this, child);
}

XmlNode XmlNode::appendChild(XmlNode& parent, XmlNode& child) {
  require_element_("appendChild");
  parent.require_element_("appendChild (parent)");
  if (parent.doc != doc) {
    throw std::runtime_error("XmlNode::appendChild: parent belongs to another document");
  }
  if (child.p_node == nullptr) {
    throw std::runtime_error("XmlNode::appendChild: child refers to no element");
  }
  // Cloned before linking, so appending a node to its own subtree terminates.
  Node* copy = clone_(child.p_node);
  parent.p_node->append_node(copy);
  return XmlNode(copy, p_root, doc, file, root);
}

void XmlNode::appendAttr(const std::string& name, const char* value) {
  appendAttr(name, value != nullptr ? std::string(value) : std::string());
}

void XmlNode::appendAttr(const std::string& name, const std::string& value) {
  require_element_("appendAttr");
  if (name.empty()) throw std::runtime_error("XmlNode::appendAttr: empty attribute name");
  p_node->append_attribute(doc->allocate_attribute(poolString(*doc, name), poolString(*doc, value),
                                                   name.size(), value.size()));
}

void XmlNode::appendAttr(const std::string& name, float value) {
  char text[64];
  const auto res = std::to_chars(std::begin(text), std::end(text), value);
  appendAttr(name, std::string(text, res.ptr));
}

void XmlNode::appendAttr(const std::string& name, int value) {
  appendAttr(name, std::to_string(value));
}

void XmlNode::appendAttr(const std::string& name, bool value) {
  appendAttr(name, value ? "true" : "false");
}
