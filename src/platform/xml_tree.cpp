// The parts of XML trees that need no XML library.
#include "platform/xml.h"

namespace skarvel::platform {

const std::string* XmlElement::attribute(std::string_view attributeName) const {
  for (const auto& [key, value] : attributes) {
    if (key == attributeName) return &value;
  }
  return nullptr;
}

const XmlElement* XmlElement::child(std::string_view childName) const {
  for (const XmlElement& element : children) {
    if (element.name == childName) return &element;
  }
  return nullptr;
}

}  // namespace skarvel::platform
