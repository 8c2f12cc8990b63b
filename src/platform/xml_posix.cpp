// XML on POSIX systems: libxml2's parser and text writer.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <climits>
#include <memory>

#include "platform/xml.h"

namespace skarvel::platform {
namespace {

// Network access and entity expansion stay off: a document is read as
// written, and nothing it names is fetched.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

std::string text(const xmlChar* value) {
  return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
}

XmlElement elementOf(const xmlNode* node) {
  XmlElement element;
  element.name = text(node->name);
  for (const xmlAttr* attribute = node->properties; attribute != nullptr;
       attribute = attribute->next) {
    xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(attribute));
    element.attributes.emplace_back(text(attribute->name), text(value));
    xmlFree(value);
  }
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      element.children.push_back(elementOf(child));
    } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      element.text += text(child->content);
    }
  }
  return element;
}

const xmlChar* xml(const std::string& value) {
  return reinterpret_cast<const xmlChar*>(value.c_str());
}

bool writeElement(xmlTextWriterPtr writer, const XmlElement& element) {
  if (xmlTextWriterStartElement(writer, xml(element.name)) < 0) return false;
  for (const auto& [key, value] : element.attributes) {
    if (xmlTextWriterWriteAttribute(writer, xml(key), xml(value)) < 0) return false;
  }
  if (!element.text.empty() && xmlTextWriterWriteString(writer, xml(element.text)) < 0) {
    return false;
  }
  for (const XmlElement& child : element.children) {
    if (!writeElement(writer, child)) return false;
  }
  return xmlTextWriterEndElement(writer) >= 0;
}

}  // namespace

bool parseXml(std::string_view document, XmlElement* root) {
  if (document.size() > INT_MAX) return false;
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> parsed(
      xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr,
                    kParseOptions),
      xmlFreeDoc);
  const xmlNode* top = parsed ? xmlDocGetRootElement(parsed.get()) : nullptr;
  if (top == nullptr) return false;
  *root = elementOf(top);
  return true;
}

bool writeXml(const XmlElement& root, std::string* document) {
  std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
  xmlTextWriterPtr writer = buffer ? xmlNewTextWriterMemory(buffer.get(), 0) : nullptr;
  if (writer == nullptr) return false;
  std::unique_ptr<xmlTextWriter, decltype(&xmlFreeTextWriter)> owner(writer, xmlFreeTextWriter);
  bool written = xmlTextWriterSetIndent(writer, 1) >= 0 &&
                 xmlTextWriterSetIndentString(writer, xml("  ")) >= 0 &&
                 xmlTextWriterStartDocument(writer, "1.0", "UTF-8", nullptr) >= 0 &&
                 writeElement(writer, root) && xmlTextWriterEndDocument(writer) >= 0;
  owner.reset();  // flushes into the buffer
  if (!written) return false;
  document->assign(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                   static_cast<size_t>(xmlBufferLength(buffer.get())));
  return true;
}

}  // namespace skarvel::platform
