// XML documents as small trees: parsed and written by the system's XML
// library (libxml2 on POSIX, XmlLite on Windows), never by hand.
#ifndef SKARVEL_PLATFORM_XML_H_
#define SKARVEL_PLATFORM_XML_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skarvel::platform {

// An element with its attributes, the character data directly inside it
// (concatenated, whitespace kept) and its child elements in document order.
// Comments and processing instructions are not kept.
//
// Names: parseXml fills in local names, the namespace prefix dropped
// ("ovf:Disk" becomes "Disk"), and leaves out namespace declarations
// (xmlns, xmlns:x). writeXml writes names exactly as given, so a tree meant for
// writing carries qualified names and its own xmlns attributes.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;
  std::vector<XmlElement> children;

  // The value of the first attribute named |attributeName|, or nullptr.
  const std::string* attribute(std::string_view attributeName) const;
  // The first child named |childName|, or nullptr.
  const XmlElement* child(std::string_view childName) const;
};

// Parses a whole UTF-8 document into |root|. Returns false when the text is
// not well-formed XML (or the system has no XML library).
bool parseXml(std::string_view document, XmlElement* root);

// Callers keep attribute values to plain text without & < > or ": some
// XmlLite versions write attribute values unescaped.
//
// The document for |root|: an XML declaration (version 1.0, UTF-8), then the
// elements indented by two spaces, text and attribute values escaped as XML
// requires, ending with a newline. Returns false when the library fails.
bool writeXml(const XmlElement& root, std::string* document);

}  // namespace skarvel::platform

#endif  // SKARVEL_PLATFORM_XML_H_
