#include "updater/Appcast.h"

#include <charconv>
#include <pugixml.hpp>

#include "updater/Version.h"

namespace platform::updater {
namespace {

// The prefix the document binds to our namespace ("update:"), or none.
std::optional<std::string> namespacePrefix(const pugi::xml_node& rss) {
  for (const pugi::xml_attribute& attr : rss.attributes()) {
    const std::string_view name = attr.name();
    if (name.substr(0, 6) == "xmlns:" && std::string_view(attr.value()) == kAppcastNamespace) {
      return std::string(name.substr(6)) + ":";
    }
  }
  return std::nullopt;
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// The child element's text, else the enclosure's attribute.
std::string field(const pugi::xml_node& item, const pugi::xml_node& enclosure,
                  const std::string& name) {
  if (const pugi::xml_node child = item.child(name.c_str())) return trimmed(child.text().as_string());
  return trimmed(enclosure.attribute(name.c_str()).as_string());
}

std::optional<uint64_t> parseLength(std::string_view text) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

std::optional<AppcastItem> readItem(const pugi::xml_node& node, const std::string& prefix) {
  const pugi::xml_node enclosure = node.child("enclosure");
  if (!enclosure) return std::nullopt;
  AppcastItem item;
  item.title = trimmed(node.child("title").text().as_string());
  item.version = field(node, enclosure, prefix + "version");
  item.shortVersionString = field(node, enclosure, prefix + "shortVersionString");
  item.url = trimmed(enclosure.attribute("url").as_string());
  item.edSignature = trimmed(enclosure.attribute((prefix + "edSignature").c_str()).as_string());
  const auto length = parseLength(trimmed(enclosure.attribute("length").as_string()));
  if (item.version.empty() || item.url.empty() || item.edSignature.empty() || !length) {
    return std::nullopt;
  }
  item.length = *length;
  return item;
}

}  // namespace

std::optional<Appcast> parseAppcast(std::string_view xml) {
  pugi::xml_document doc;
  if (!doc.load_buffer(xml.data(), xml.size())) return std::nullopt;
  const pugi::xml_node rss = doc.child("rss");
  const pugi::xml_node channel = rss.child("channel");
  if (!channel) return std::nullopt;
  Appcast appcast;
  appcast.title = trimmed(channel.child("title").text().as_string());
  // Without our namespace no item can carry a version or a signature.
  const auto prefix = namespacePrefix(rss);
  for (const pugi::xml_node node : channel.children("item")) {
    auto item = prefix ? readItem(node, *prefix) : std::nullopt;
    if (!item) {
      ++appcast.skippedItems;
      continue;
    }
    appcast.items.push_back(std::move(*item));
  }
  return appcast;
}

std::string writeAppcast(const Appcast& appcast) {
  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  auto rss = doc.append_child("rss");
  rss.append_attribute("version") = "2.0";
  rss.append_attribute("xmlns:update") = kAppcastNamespace;
  auto channel = rss.append_child("channel");
  channel.append_child("title").text() = appcast.title.c_str();
  for (const AppcastItem& item : appcast.items) {
    auto node = channel.append_child("item");
    node.append_child("title").text() = item.title.c_str();
    node.append_child("update:version").text() = item.version.c_str();
    node.append_child("update:shortVersionString").text() = item.shortVersionString.c_str();
    auto enclosure = node.append_child("enclosure");
    enclosure.append_attribute("url") = item.url.c_str();
    enclosure.append_attribute("length") = std::to_string(item.length).c_str();
    enclosure.append_attribute("type") = "application/x-gtar";
    enclosure.append_attribute("update:edSignature") = item.edSignature.c_str();
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

std::optional<AppcastItem> newestItemAbove(const std::vector<AppcastItem>& items,
                                           std::string_view currentVersion) {
  const AppcastItem* best = nullptr;
  for (const AppcastItem& item : items) {
    if (compareVersions(item.version, currentVersion) <= 0) continue;
    if (!best || compareVersions(item.version, best->version) > 0) best = &item;
  }
  if (!best) return std::nullopt;
  return *best;
}

}  // namespace platform::updater
