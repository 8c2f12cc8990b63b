// The kinds of output image the writers make, named by the createType words
// that descriptor files and other tools use for them.
#ifndef SKARVEL_WRITER_OUTPUT_KIND_H_
#define SKARVEL_WRITER_OUTPUT_KIND_H_

#include <optional>
#include <string>

namespace skarvel {

enum class OutputKind {
  kMonolithicSparse,  // one sparse extent file with its descriptor embedded
  kSplitSparse,       // a descriptor file and sparse extents of at most 2047 MiB
  kStreamOptimized,   // one file of compressed grains behind markers, written front to back
  kMonolithicFlat,    // a descriptor file and one plain extent file
  kSplitFlat,         // a descriptor file and plain extents of at most 2047 MiB
  kRaw,               // the disk's bytes in one plain file, no descriptor
  kVhd,               // a fixed VHD: the disk's bytes, whole MiB, then a footer
};

// The createType word of |kind|; "raw" and "vhd" for plain disk files.
inline const char* outputKindName(OutputKind kind) {
  switch (kind) {
    case OutputKind::kMonolithicSparse:
      return "monolithicSparse";
    case OutputKind::kSplitSparse:
      return "twoGbMaxExtentSparse";
    case OutputKind::kStreamOptimized:
      return "streamOptimized";
    case OutputKind::kMonolithicFlat:
      return "monolithicFlat";
    case OutputKind::kSplitFlat:
      return "twoGbMaxExtentFlat";
    case OutputKind::kRaw:
      break;
    case OutputKind::kVhd:
      return "vhd";
  }
  return "raw";
}

// The kind whose word is exactly |name|; nothing for any other text.
inline std::optional<OutputKind> outputKindNamed(const std::string& name) {
  for (OutputKind kind :
       {OutputKind::kMonolithicSparse, OutputKind::kSplitSparse, OutputKind::kStreamOptimized,
        OutputKind::kMonolithicFlat, OutputKind::kSplitFlat, OutputKind::kRaw, OutputKind::kVhd}) {
    if (name == outputKindName(kind)) return kind;
  }
  return std::nullopt;
}

// True for the kinds whose every sector lies in plain files: they cannot
// name a parent, since they hide all of it.
inline bool holdsEverySector(OutputKind kind) {
  return kind == OutputKind::kMonolithicFlat || kind == OutputKind::kSplitFlat ||
         kind == OutputKind::kRaw || kind == OutputKind::kVhd;
}

}  // namespace skarvel

#endif  // SKARVEL_WRITER_OUTPUT_KIND_H_
