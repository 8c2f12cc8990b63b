// The descriptor record of an image and the text the program composes for it.
//
// Every image carries a text descriptor: embedded in sectors 1-20 of a single
// sparse extent file, or as the whole content of a split image's descriptor
// file. The text has three sections: a header (version, CID, parent, kind),
// the extent lines, and the disk database ("ddb." keys).
#ifndef SKARVEL_FORMAT_DESCRIPTOR_H_
#define SKARVEL_FORMAT_DESCRIPTOR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/sparse_layout.h"

namespace skarvel {

constexpr uint32_t kNoParentCID = 0xFFFFFFFF;

using DdbLines = std::vector<std::pair<std::string, std::string>>;

// What the disk database of a composed text holds besides the keys every
// image gets (hardware version, geometry, adapter type):
enum class DdbStyle {
  kPlain,      // nothing more: sparse images of version 1
  kKeepInput,  // the keys read from the input that the text does not compute
  kImport,     // those, and what importers of stream disks read: an encoding
               // line, the tools keys and a long content ID
};

struct DiskDescriptor {
  int32_t version = 1;
  uint32_t CID;  // a fresh value from the CID generator
  uint32_t parentCID = kNoParentCID;
  int32_t virtualHWVersion = 4;
  std::string createType = "monolithicSparse";
  std::string adapterType = "lsilogic";
  std::string parentFileNameHint;
  // Every "ddb." line of a parsed text, as name and value in text order (a
  // name given twice keeps its first place and its last value). A composed
  // text writes them only as its style asks.
  DdbLines ddb;
  // Lines the user set ("ddb." and the name, and the value): each replaces
  // the composed line of its name, or comes after the others.
  DdbLines ddbSettings;
  DdbStyle ddbStyle = DdbStyle::kPlain;

  // Defaults as above; draws one fresh CID.
  DiskDescriptor();
  // A new image without a parent, with the given hardware version and adapter.
  DiskDescriptor(int32_t hardwareVersion, const std::string& adapter);

  // True when both parentCID and parentFileNameHint name a parent.
  bool hasParent() const;
  // Gives the record a fresh CID.
  void renewCID();
};

// Extent types with a meaning of their own in text: a FLAT line always
// carries its offset, a ZERO line has neither file nor offset.
constexpr const char* kFlatExtentType = "FLAT";
constexpr const char* kZeroExtentType = "ZERO";

// One extent line: ACCESS SIZE TYPE "FILE" [OFFSET], or ACCESS SIZE ZERO.
struct ExtentDescriptor {
  std::string access = "RW";
  uint64_t size = 0;  // sectors
  std::string type = "SPARSE";
  std::string fileName;  // as written; relative names are relative to the descriptor file
  uint64_t offset = 0;
};

using ExtentList = std::vector<ExtentDescriptor>;

// The text of a one-file image whose only extent is the file |fileName|,
// |extentSectors| long (by default the layout's whole grains; a rewrite
// keeps the capacity the header gives, whole grains or not).
std::string composeDescriptor(const DiskDescriptor& descriptor, const SparseLayout& layout,
                              const std::string& fileName, bool includeDdb,
                              uint64_t extentSectors = 0);

// The text of a split image's descriptor file listing |extents|.
std::string composeDescriptor(const DiskDescriptor& descriptor, const SparseLayout& layout,
                              const ExtentList& extents, bool includeDdb);

// The pieces of both texts: header + extents + disk database. A split
// image's text is headerSection, kExtentSectionTitle, one extentLine per
// extent, "\n", ddbSection; writers of many extents stream it in that order.
constexpr const char* kExtentSectionTitle = "# Extent description\n";
std::string headerSection(const DiskDescriptor& descriptor);
// ACCESS SIZE TYPE "FILE", then " OFFSET" when it is not 0 (always for a
// FLAT extent), then "\n"; a ZERO extent has no file name.
std::string extentLine(const ExtentDescriptor& extent);
std::string extentSection(const SparseLayout& layout, const std::string& fileName);
std::string extentSection(const ExtentList& extents);
std::string ddbSection(const DiskDescriptor& descriptor, const SparseLayout& layout,
                       bool includeDdb);
// The disk database lines of |descriptor|'s style, in order, its settings
// applied; the long content ID draws three fresh values from the CID
// generator.
DdbLines ddbLines(const DiskDescriptor& descriptor, const SparseLayout& layout);
// The heads of the geometry importers expect for the descriptor's adapter.
uint64_t importHeads(const DiskDescriptor& descriptor);

// True when |name| reads back as written from between the quotes of a
// descriptor line: a quote or a line feed would end the value early and a
// carriage return is dropped, so none of the three may occur.
bool quotesCleanly(const std::string& name);

// "name=value" as the disk database line ddb.name = "value", or nothing when
// the text has no '=', the name is empty or holds white space, or either part
// holds '"', a second '=' or a control byte: the line must read back as
// written.
std::optional<std::pair<std::string, std::string>> parseDdbSetting(const std::string& text);

// True when |value| holds no '"' and no control byte (below 0x20, or 0x7F):
// a setting typed by the user that can neither end its quotes or line early
// nor hide characters in the text.
bool isPlainSetting(const std::string& value);

// Throws FatalError("Descriptor too long for " + outputPath) unless |text|
// and its terminating zero byte fit an area of |areaBytes| bytes (by default
// the 20-sector embedded area). Callers run it before creating any file.
void checkDescriptorFits(const std::string& text, const std::string& outputPath,
                         uint64_t areaBytes = kDescriptorBytes);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_DESCRIPTOR_H_
