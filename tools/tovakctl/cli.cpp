#include "cli.h"

#include <google/protobuf/descriptor.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tovakctl {

namespace pb = google::protobuf;

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

const std::string& Args::need(size_t i, const std::string& what) const {
  if (i >= pos.size()) throw UsageError("missing " + what);
  return pos[i];
}

void Args::atMost(size_t n) const {
  if (pos.size() > n) throw UsageError("unexpected argument '" + pos[n] + "'");
}

std::optional<std::string> Args::get(const std::string& name) const {
  auto it = opts.find(name);
  if (it == opts.end()) return std::nullopt;
  return it->second;
}

double Args::getDouble(const std::string& name, double fallback) const {
  auto v = get(name);
  return v ? parseDouble(*v, "--" + name) : fallback;
}

long Args::getInt(const std::string& name, long fallback) const {
  auto v = get(name);
  return v ? parseInt(*v, "--" + name) : fallback;
}

static bool looksNumeric(const std::string& t) {
  if (t.size() < 2 || t[0] != '-') return false;
  char* end = nullptr;
  std::strtod(t.c_str(), &end);
  return end && *end == '\0';
}

Args parseCallArgs(const std::vector<std::string>& raw, const std::vector<OptionDef>& options) {
  Args a;
  auto find = [&](const std::string& name) -> const OptionDef* {
    for (const auto& s : options)
      if (s.name == name) return &s;
    return nullptr;
  };
  for (size_t i = 0; i < raw.size(); ++i) {
    const std::string& t = raw[i];
    if (t.size() < 2 || t[0] != '-' || looksNumeric(t)) {
      a.pos.push_back(t);
      continue;
    }
    if (t == "--") {  // everything after is positional
      a.pos.insert(a.pos.end(), raw.begin() + static_cast<long>(i) + 1, raw.end());
      break;
    }
    std::string name;
    std::optional<std::string> inline_value;
    if (t.rfind("--", 0) == 0) {
      name = t.substr(2);
      if (auto eq = name.find('='); eq != std::string::npos) {
        inline_value = name.substr(eq + 1);
        name.resize(eq);
      }
      if (name.size() == 1) name.clear();  // "--o" is not an option name
    } else if (t.size() == 2) {
      name = t.substr(1);
    }
    const OptionDef* s = name.empty() ? nullptr : find(name);
    if (!s) throw UsageError("unknown option '" + t + "'");
    if (!s->takesValue()) {
      if (inline_value) throw UsageError("option '" + t.substr(0, t.find('=')) + "' takes no value");
      a.opts[name] = "";
    } else if (inline_value) {
      a.opts[name] = *inline_value;
    } else {
      if (i + 1 >= raw.size()) throw UsageError("option '" + t + "' needs a value (" + s->metavar + ")");
      a.opts[name] = raw[++i];
    }
  }
  return a;
}

double parseDouble(const std::string& text, const std::string& context) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || !end || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])))
    throw UsageError("'" + text + "' is not a number (in " + context + ")");
  if (!std::isfinite(v) || errno == ERANGE)
    throw UsageError("'" + text + "' is not a finite number (in " + context + ")");
  return v;
}

long parseInt(const std::string& text, const std::string& context) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || !end || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])))
    throw UsageError("'" + text + "' is not an integer (in " + context + ")");
  if (errno == ERANGE || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    throw UsageError("'" + text + "' is out of the 32-bit integer range (in " + context + ")");
  return v;
}

bool parseBool(const std::string& text, const std::string& context) {
  const std::string t = lower(text);
  if (t == "true" || t == "1" || t == "yes" || t == "on") return true;
  if (t == "false" || t == "0" || t == "no" || t == "off") return false;
  throw UsageError("'" + text + "' is not true or false (in " + context + ")");
}

std::pair<std::string, std::string> splitKeyValue(const std::string& arg, const std::string& shape) {
  const auto eq = arg.find('=');
  if (eq == std::string::npos || eq == 0) throw UsageError("'" + arg + "' is not of the form " + shape);
  return {arg.substr(0, eq), arg.substr(eq + 1)};
}

std::vector<std::string> leafPaths(const pb::Descriptor* d, const std::string& prefix) {
  std::vector<std::string> out;
  for (int i = 0; i < d->field_count(); ++i) {
    const auto* f = d->field(i);
    if (f->is_repeated()) continue;
    if (f->type() == pb::FieldDescriptor::TYPE_MESSAGE) {
      auto sub = leafPaths(f->message_type(), prefix + f->name() + ".");
      out.insert(out.end(), sub.begin(), sub.end());
    } else {
      out.push_back(prefix + f->name());
    }
  }
  return out;
}

std::string enumNames(const pb::EnumDescriptor* e) {
  std::string s;
  for (int i = 0; i < e->value_count(); ++i) s += (i ? ", " : "") + lower(e->value(i)->name());
  return s;
}

int parseEnum(const pb::EnumDescriptor* e, const std::string& text, const std::string& context) {
  for (int i = 0; i < e->value_count(); ++i)
    if (lower(e->value(i)->name()) == lower(text)) return e->value(i)->number();
  throw UsageError("'" + text + "' is not one of " + enumNames(e) + " (in " + context + ")");
}

void setFieldByPath(pb::Message& msg, const std::string& path, const std::string& value) {
  pb::Message* m = &msg;
  size_t start = 0;
  const std::string context = path + "=" + value;
  while (true) {
    const auto dot = path.find('.', start);
    const std::string name = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    const auto* f = m->GetDescriptor()->FindFieldByName(name);
    const bool last = dot == std::string::npos;
    if (!f || f->is_repeated() || (f->type() == pb::FieldDescriptor::TYPE_MESSAGE) == last) {
      std::string known;
      for (const auto& p : leafPaths(msg.GetDescriptor())) known += " " + p;
      throw UsageError("'" + path + "' is not a field of " + msg.GetDescriptor()->name() + "; fields:" + known);
    }
    const auto* r = m->GetReflection();
    if (!last) {
      m = r->MutableMessage(m, f);
      start = dot + 1;
      continue;
    }
    switch (f->cpp_type()) {
      case pb::FieldDescriptor::CPPTYPE_FLOAT: r->SetFloat(m, f, static_cast<float>(parseDouble(value, context))); break;
      case pb::FieldDescriptor::CPPTYPE_DOUBLE: r->SetDouble(m, f, parseDouble(value, context)); break;
      case pb::FieldDescriptor::CPPTYPE_INT32: r->SetInt32(m, f, static_cast<int>(parseInt(value, context))); break;
      case pb::FieldDescriptor::CPPTYPE_INT64: r->SetInt64(m, f, parseInt(value, context)); break;
      case pb::FieldDescriptor::CPPTYPE_BOOL: r->SetBool(m, f, parseBool(value, context)); break;
      case pb::FieldDescriptor::CPPTYPE_STRING: r->SetString(m, f, value); break;
      case pb::FieldDescriptor::CPPTYPE_ENUM:
        r->SetEnumValue(m, f, parseEnum(f->enum_type(), value, context));
        break;
      default: throw UsageError("'" + path + "' cannot be set from the command line");
    }
    return;
  }
}

}  // namespace tovakctl
