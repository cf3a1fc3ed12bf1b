#include "bundle/PropertyList.h"

#include <pugixml.hpp>

namespace platform::bundle {
namespace {

std::map<std::string, std::string> fromDocument(const pugi::xml_document& doc) {
  std::map<std::string, std::string> out;
  const pugi::xml_node dict = doc.child("plist").child("dict");
  std::string key;
  for (pugi::xml_node node : dict.children()) {
    const std::string name = node.name();
    if (name == "key") {
      key = node.text().as_string();
      continue;
    }
    if (key.empty()) continue;
    if (name == "string" || name == "integer" || name == "real") {
      out[key] = node.text().as_string();
    } else if (name == "true" || name == "false") {
      out[key] = name;
    }
    key.clear();
  }
  return out;
}

// Values are kept as written: a value of blanks only stays, and a carriage return is not
// turned into a line feed.
constexpr unsigned kParseOptions = (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;

}  // namespace

std::map<std::string, std::string> readPropertyList(const std::string& path) {
  pugi::xml_document doc;
  if (!doc.load_file(path.c_str(), kParseOptions)) return {};
  return fromDocument(doc);
}

std::map<std::string, std::string> parsePropertyList(std::string_view xml) {
  pugi::xml_document doc;
  if (!doc.load_buffer(xml.data(), xml.size(), kParseOptions)) return {};
  return fromDocument(doc);
}

std::string writePropertyList(const std::map<std::string, std::string>& values) {
  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  auto plist = doc.append_child("plist");
  plist.append_attribute("version") = "1.0";
  auto dict = plist.append_child("dict");
  for (const auto& [key, value] : values) {
    dict.append_child("key").text() = key.c_str();
    dict.append_child("string").text() = value.c_str();
  }
  struct Writer : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override {
      text.append(static_cast<const char*>(data), size);
    }
  } writer;
  doc.save(writer, "  ");
  return writer.text;
}

}  // namespace platform::bundle
