// XML on Windows: the system's XmlLite (xmllite.dll), loaded when first
// needed, with streams over memory from shlwapi.
#include <windows.h>
// windows.h first: the COM headers need its types.
#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <vector>

#include "platform/wide_text.h"
#include "platform/xml.h"

namespace skarvel::platform {
namespace {

constexpr const wchar_t* kXmlnsUri = L"http://www.w3.org/2000/xmlns/";

// An owned COM pointer.
template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* operator->() const { return pointer_; }
  T* get() const { return pointer_; }
  T** out() { return &pointer_; }
  void** outVoid() { return reinterpret_cast<void**>(&pointer_); }

 private:
  T* pointer_ = nullptr;
};

using CreateFunction = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

CreateFunction xmlLiteFunction(const char* name) {
  static HMODULE library = LoadLibraryW(L"xmllite.dll");
  if (library == nullptr) return nullptr;
  return reinterpret_cast<CreateFunction>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

std::wstring wide(const std::string& text) {
  std::wstring converted;
  toWide(text, &converted);
  return converted;
}

// --- parsing ---

std::string currentName(IXmlReader* reader) {
  const wchar_t* name = nullptr;
  reader->GetLocalName(&name, nullptr);
  return fromWide(name == nullptr ? L"" : name);
}

std::string currentValue(IXmlReader* reader) {
  const wchar_t* value = nullptr;
  reader->GetValue(&value, nullptr);
  return fromWide(value == nullptr ? L"" : value);
}

bool isDeclaration(IXmlReader* reader) {
  const wchar_t* uri = nullptr;
  reader->GetNamespaceUri(&uri, nullptr);
  return uri != nullptr && wcscmp(uri, kXmlnsUri) == 0;
}

XmlElement startElement(IXmlReader* reader) {
  XmlElement element;
  element.name = currentName(reader);
  for (HRESULT at = reader->MoveToFirstAttribute(); at == S_OK;
       at = reader->MoveToNextAttribute()) {
    if (!isDeclaration(reader)) {
      element.attributes.emplace_back(currentName(reader), currentValue(reader));
    }
  }
  reader->MoveToElement();
  return element;
}

// --- writing ---

void splitName(const std::string& name, std::wstring* prefix, std::wstring* local) {
  size_t colon = name.find(':');
  *prefix = colon == std::string::npos ? L"" : wide(name.substr(0, colon));
  *local = wide(colon == std::string::npos ? name : name.substr(colon + 1));
}

const wchar_t* orNull(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

bool isDeclaration(const std::string& name) {
  return name == "xmlns" || name.rfind("xmlns:", 0) == 0;
}

// Names go to XmlLite by prefix alone, never with a namespace URI: a
// prefix is found among the declarations in scope, which the tree carries
// as its xmlns attributes, written first.
bool writeAttribute(IXmlWriter* writer, const std::string& name, const std::string& value) {
  std::wstring prefix, local;
  splitName(name, &prefix, &local);
  return SUCCEEDED(
      writer->WriteAttributeString(orNull(prefix), local.c_str(), nullptr, wide(value).c_str()));
}

bool writeElement(IXmlWriter* writer, const XmlElement& element) {
  std::wstring prefix, local;
  splitName(element.name, &prefix, &local);
  if (FAILED(writer->WriteStartElement(orNull(prefix), local.c_str(), nullptr))) return false;
  for (bool declarations : {true, false}) {
    for (const auto& [key, value] : element.attributes) {
      if (isDeclaration(key) == declarations && !writeAttribute(writer, key, value)) return false;
    }
  }
  if (!element.text.empty() && FAILED(writer->WriteString(wide(element.text).c_str()))) {
    return false;
  }
  for (const XmlElement& child : element.children) {
    if (!writeElement(writer, child)) return false;
  }
  return SUCCEEDED(writer->WriteFullEndElement());
}

std::string streamBytes(IStream* stream) {
  STATSTG status{};
  if (FAILED(stream->Stat(&status, STATFLAG_NONAME))) return std::string();
  std::string bytes(static_cast<size_t>(status.cbSize.QuadPart), '\0');
  LARGE_INTEGER start{};
  ULONG read = 0;
  stream->Seek(start, STREAM_SEEK_SET, nullptr);
  stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  bytes.resize(read);
  return bytes;
}

}  // namespace

bool parseXml(std::string_view document, XmlElement* root) {
  CreateFunction create = xmlLiteFunction("CreateXmlReader");
  Com<IXmlReader> reader;
  Com<IStream> input;
  *input.out() = SHCreateMemStream(reinterpret_cast<const BYTE*>(document.data()),
                                   static_cast<UINT>(document.size()));
  if (create == nullptr || input.get() == nullptr ||
      FAILED(create(__uuidof(IXmlReader), reader.outVoid(), nullptr)) ||
      FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
      FAILED(reader->SetInput(input.get()))) {
    return false;
  }
  std::vector<XmlElement> open;
  bool haveRoot = false;
  XmlNodeType type;
  HRESULT result;
  while ((result = reader->Read(&type)) == S_OK) {
    if (type == XmlNodeType_Element) {
      bool empty = reader->IsEmptyElement();
      open.push_back(startElement(reader.get()));
      if (!empty) continue;
      type = XmlNodeType_EndElement;
    }
    if (type == XmlNodeType_EndElement && !open.empty()) {
      XmlElement done = std::move(open.back());
      open.pop_back();
      if (open.empty()) {
        *root = std::move(done);
        haveRoot = true;
      } else {
        open.back().children.push_back(std::move(done));
      }
    } else if ((type == XmlNodeType_Text || type == XmlNodeType_CDATA ||
                type == XmlNodeType_Whitespace) &&
               !open.empty()) {
      open.back().text += currentValue(reader.get());
    }
  }
  return SUCCEEDED(result) && haveRoot && open.empty();
}

bool writeXml(const XmlElement& root, std::string* document) {
  CreateFunction create = xmlLiteFunction("CreateXmlWriter");
  Com<IXmlWriter> writer;
  Com<IStream> output;
  *output.out() = SHCreateMemStream(nullptr, 0);
  bool written = create != nullptr && output.get() != nullptr &&
                 SUCCEEDED(create(__uuidof(IXmlWriter), writer.outVoid(), nullptr)) &&
                 SUCCEEDED(writer->SetOutput(output.get())) &&
                 SUCCEEDED(writer->SetProperty(XmlWriterProperty_Indent, TRUE)) &&
                 SUCCEEDED(writer->WriteStartDocument(XmlStandalone_Omit)) &&
                 writeElement(writer.get(), root) && SUCCEEDED(writer->WriteEndDocument()) &&
                 SUCCEEDED(writer->Flush());
  if (!written) return false;
  std::string bytes = streamBytes(output.get());
  // A UTF-8 byte order mark, which XmlLite may put first, is left out.
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  // Lines end as on every other system.
  document->clear();
  for (char c : bytes) {
    if (c != '\r') *document += c;
  }
  if (document->empty() || document->back() != '\n') *document += '\n';
  return true;
}

}  // namespace skarvel::platform
