#pragma once

// XmlNode: a cheap value handle on one element of a parsed XML document.
//
// RapidXML parses in place: names and values point into the file buffer and
// nodes live in the document's memory pool. Every XmlNode that refers to an
// element therefore shares both the document (`doc`) and the buffer (`file`),
// so a child or a copy keeps working after the node that loaded the file is
// gone. Names are compared exactly and case-sensitively.
//
// A node "refers to nothing" when it was default-constructed, built for a
// child that does not exist, loaded from an empty file, or unloaded. Every
// lookup and read on such a node is safe: it finds nothing and returns the
// empty string, an empty list or the caller's default. Only getAttrOrThrow
// and the append operations throw.
//
// Not synchronised: loading and appending modify the node and its document;
// concurrent reads of nodes sharing a document are safe.

#include <istream>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "rapidxml.hpp"
#include "rapidxml_utils.hpp"

class XmlNode {
 public:
  /// A node that refers to nothing.
  XmlNode();

  /// Loads and parses the file `filename`; the new node is the root node.
  /// Messages and exceptions as for load(const std::string&).
  explicit XmlNode(std::string filename);

  /// Reads the whole stream and parses it; the new node is the root node.
  /// Messages and exceptions as for load(std::istream&).
  explicit XmlNode(std::istream& in);

  /// Element constructor: the node for `node`, an element of the document
  /// `ndoc` parsed from `nfile`, whose root element is `rapid_root`; `rt` is
  /// the (not owned) node object that loaded the document. When `node` is
  /// null, prints "xmlparser cannot get node" on standard output and the
  /// result refers to nothing.
  XmlNode(rapidxml::xml_node<char>* node, rapidxml::xml_node<char>* rapid_root,
          std::shared_ptr<rapidxml::xml_document<char>> ndoc,
          std::shared_ptr<rapidxml::file<char>> nfile, XmlNode* rt);

  /// Same as the five-argument element constructor with no loading node:
  /// the root link is null (nothing in this class dereferences it), the
  /// message for a null `node` is the same.
  XmlNode(rapidxml::xml_node<char>* node, rapidxml::xml_node<char>* rapid_root,
          std::shared_ptr<rapidxml::xml_document<char>> ndoc,
          std::shared_ptr<rapidxml::file<char>> nfile);

  /// Shares the source's element and document.
  XmlNode(const XmlNode& other);
  /// Shares the source's element and document; assigning a node to itself
  /// changes nothing.
  XmlNode& operator=(const XmlNode& other);

  /// Releases this node's shares of the document and the buffer.
  ~XmlNode();

  /// Replaces this node's document with the file `filename`:
  /// - "cannot open xml file: <name>" on standard error when the file
  ///   cannot be opened, then std::runtime_error("cannot open file <name>");
  ///   a directory also throws that error;
  /// - "xml file is empty" on standard error for an empty file; the node then
  ///   refers to nothing (no exception);
  /// - rapidxml::parse_error for malformed XML.
  /// Parsed with RapidXML's default flags (0): the XML declaration, comments,
  /// DOCTYPE and processing instructions produce no nodes, and closing tag
  /// names are not checked against their opening tags. A file that cannot
  /// be measured by seeking (a pipe) is read as a stream.
  /// On an exception this node keeps its previous document.
  void load(const std::string& filename);

  /// Replaces this node's document with the rest of the stream `in`, read into
  /// a NUL-terminated shared buffer and parsed like load(filename): empty
  /// content prints "xml file is empty" on standard error and leaves the node
  /// referring to nothing; malformed XML throws rapidxml::parse_error; a
  /// stream that is already failed throws std::runtime_error("error reading
  /// stream"). The stream's format flags are restored afterwards. On an
  /// exception this node keeps its previous document.
  void load(std::istream& in);

  /// Drops this node's shares of its document and buffer; the node then
  /// refers to nothing. Other nodes sharing the document are not affected.
  void unload();

  /// The document's root element, sharing the document; a node that refers
  /// to nothing when this node does (no message is printed).
  XmlNode getRoot() const;

  /// The parent element, sharing the document; a node that refers to nothing
  /// for the root element or a node that refers to nothing (no message).
  XmlNode getParent() const;

  /// True when this node refers to the document's root element; false for a
  /// node that refers to nothing.
  bool isRoot() const;

  /// With an empty name, whether the element has any child node (text
  /// included); otherwise whether it has a child element with that name.
  /// Never prints anything.
  bool hasChild(const std::string& childid) const;

  /// The first child element named `child_id` in document order, or the
  /// first child node for an empty name. When there is none, prints
  /// "failed to get child:<name>" on standard error and
  /// "xmlparser cannot get node" on standard output, and returns a node that
  /// refers to nothing. Never throws.
  XmlNode getChild(const std::string& child_id) const;

  /// Every child node in document order, text nodes included (an element
  /// with non-blank text has a text child).
  std::vector<XmlNode> getChildren() const;

  /// The child elements named `name`, in document order; with an empty name,
  /// the same as getChildren(). Never prints anything.
  std::vector<XmlNode> getChildren(std::string name) const;

  /// Every attribute of the element; when a name repeats, the first
  /// occurrence wins. Empty for a node that refers to nothing.
  std::unordered_map<std::string, std::string> getAllAttr() const;
  /// As getAllAttr(), ordered by name.
  std::map<std::string, std::string> getAllAttrMap() const;

  /// The value of attribute `key` (also when empty). Throws
  /// std::runtime_error when it is absent ("attribute 'port' missing on
  /// element gRPCServer") or when this node refers to nothing ("attribute
  /// 'port' requested from a node that refers to no element").
  std::string getAttrOrThrow(const std::string& key) const;

  /// The element serialised by rapidxml::print with its default flags
  /// (indented with tabs, newline-terminated); empty for a node that refers
  /// to nothing.
  std::string print() const;

  /// The value of attribute `key`, or the empty string when it is absent.
  /// For every getAttr* read, the first attribute with that name wins.
  std::string getAttrString(const std::string& key) const;

  /// The value of attribute `key` when present (also when empty), otherwise
  /// `def_value`; a null `def_value` counts as the empty string.
  std::string getAttrDefault(const std::string& key, const char* def_value) const;
  /// As the const char* form.
  std::string getAttrDefault(const std::string& key, std::string def_value) const;
  /// As the const char* form.
  std::string getAttrDefault(const std::string& key, char* def_value) const;

  /// `def_value` when attribute `key` is absent, otherwise its value
  /// converted with C atoi: leading blanks skipped, optional sign, leading
  /// digits; no leading digits gives 0, trailing text is ignored.
  int getAttrDefault(const std::string& key, int def_value) const;

  /// The attribute read as a flag: "true", "1", "yes", "on" give true and
  /// "false", "0", "no", "off" give false, compared case-insensitively
  /// against the whole value. Absent, or any other text (empty, padded with
  /// blanks, "maybe"), gives `def_value`.
  bool getAttrDefault(const std::string& key, bool def_value) const;

  /// The leading number of the attribute as strtof reads it (blanks
  /// skipped, trailing text ignored, "inf"/"nan" accepted). Absent, no
  /// leading number, or a value that overflows float gives `def_value`
  /// (unlike the int form, which gives 0 for text without digits). The
  /// process runs in the C locale, so the decimal separator is '.'.
  float getAttrDefault(const std::string& key, float def_value) const;

  /// The element's name; empty for a text node or a node that refers to
  /// nothing.
  std::string getNodeName() const;

  /// The node's value text: an element's own text, a text node's text;
  /// empty when there is none or the node refers to nothing.
  std::string getNodeValue() const;

  /// The value text of the first child element named `name` (also when
  /// empty), or `def_value` when there is no such element; an empty `name`
  /// matches no element. A null `def_value` counts as the empty string.
  std::string getValueDefault(const std::string& name, const char* def_value) const;
  /// As the const char* form.
  std::string getValueDefault(const std::string& name, const std::string& def_value) const;

  /// The leading base-10 integer of the named child's value text (strtol:
  /// blanks skipped, trailing text ignored). No such child, no leading
  /// number, or a number out of the type's range gives `def_value`.
  long getValueDefault(const std::string& name, long def_value);
  /// As the long form, range-checked against int.
  int getValueDefault(const std::string& name, int def_value);
  /// The leading number of the named child's value text (strtod). No such
  /// child, no leading number, or an overflow gives `def_value`.
  double getValueDefault(const std::string& name, double def_value);

  /// Appends a new empty child element named `name` (copied into the
  /// document's pool) and returns it. Throws std::runtime_error when this
  /// node refers to no element or `name` is empty. Like every append, this
  /// changes the document shared by all copies.
  XmlNode appendChild(const std::string& name);

  /// Appends a deep copy of `child` (names, values, attributes and
  /// descendants copied into this document's pool, so `child`'s document
  /// may be released afterwards) and returns the copy. Throws
  /// std::runtime_error when either node refers to nothing.
  XmlNode appendChild(XmlNode& child);

  /// Appends a deep copy of `child` under `parent`, which must be an element
  /// of this node's document, and returns the copy. Throws
  /// std::runtime_error when this node, `parent` or `child` refers to
  /// nothing, or `parent` belongs to another document.
  XmlNode appendChild(XmlNode& parent, XmlNode& child);

  /// Appends attribute `name`=`value` after the existing ones (both strings
  /// copied into the document's pool); a null value counts as empty. An
  /// existing attribute of that name is kept, and since reads take the
  /// first one they still see the old value. Throws std::runtime_error when
  /// this node refers to no element or `name` is empty.
  void appendAttr(const std::string& name, const char* value);
  /// As the const char* form.
  void appendAttr(const std::string& name, const std::string& value);
  /// The shortest text that reads back as the same float ("0.25", "1e+20").
  void appendAttr(const std::string& name, float value);
  /// Decimal text.
  void appendAttr(const std::string& name, int value);
  /// "true" or "false".
  void appendAttr(const std::string& name, bool value);

 private:
  // Parses `buffer` into a new document and, only once that succeeded,
  // makes both this node's own.
  void adopt_(std::shared_ptr<rapidxml::file<char>> buffer);
  // Throws unless this node is an element whose document can take appends.
  void require_element_(const char* operation) const;
  // Copies `src` and its subtree into this node's document pool.
  rapidxml::xml_node<char>* clone_(const rapidxml::xml_node<char>* src) const;

  XmlNode* root = nullptr;
  std::vector<char> m_buffer;
  bool is_root = false;
  rapidxml::xml_node<char>* p_root = nullptr;
  rapidxml::xml_node<char>* p_node = nullptr;
  std::vector<std::shared_ptr<rapidxml::xml_document<char>>> copied_docs;
  std::vector<std::shared_ptr<rapidxml::file<char>>> copied_files;
  std::shared_ptr<rapidxml::xml_document<char>> doc;
  std::shared_ptr<rapidxml::file<char>> file;
};
