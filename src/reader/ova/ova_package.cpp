#include "reader/ova/ova_package.h"

#include <algorithm>
#include <optional>
#include <set>

#include "base/fatal_error.h"
#include "base/numbers.h"
#include "platform/digest.h"
#include "platform/file.h"
#include "reader/single_file_reader.h"

namespace skarvel {

namespace {

// An envelope or a manifest of a few KiB is usual; one past this size is
// neither, and is not read into memory.
constexpr uint64_t kMaxTextMemberBytes = 16 << 20;

// Members are hashed this many bytes at a time.
constexpr uint32_t kDigestChunkBytes = 1 << 20;

// True when |name| ends in |suffix|, ".ovf" or ".mf", in either case.
bool hasSuffix(const std::string& name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), name.end() - suffix.size(),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

// A member's name as tar programs extract it: "." components and repeated
// or leading slashes dropped. Nothing for a name that climbs out (".."),
// or names no file.
std::optional<std::string> extractedName(const std::string& name) {
  std::string result;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = std::min(name.find('/', start), name.size());
    std::string part = name.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") result += (result.empty() ? "" : "/") + part;
    start = end + 1;
  }
  if (result.empty()) return std::nullopt;
  return result;
}

bool sameMember(const std::string& a, const std::string& b) {
  std::optional<std::string> x = extractedName(a), y = extractedName(b);
  return x && y && *x == *y;
}

// Directories are harmless in a package; every other kind of member but a
// regular file is extracted as something this reader does not read.
constexpr char kTarDirectory = '5';

platform::DigestAlgorithm platformAlgorithm(ManifestAlgorithm algorithm) {
  return algorithm == ManifestAlgorithm::kSha1 ? platform::DigestAlgorithm::kSha1
                                               : platform::DigestAlgorithm::kSha256;
}

}  // namespace

bool isOvaPackage(const std::string& path) {
  if (path == "-") return false;
  int fd = platform::openFile(path, platform::kOpenBinary | platform::kOpenReadOnly);
  if (fd < 0) return false;
  bool found = false;
  try {
    found = !platform::isCharacterDevice(fd) && startsWithTarHeader(fd, path);
  } catch (const FatalError&) {
    found = false;
  }
  platform::closeFile(fd);
  return found;
}

OvaPackage::OvaPackage(const std::string& path, int flags)
    : path_(path), fd_(openImageFile(path, flags)) {
  try {
    listing_ = listArchiveMembers(fd_, path_);
    if (listing_.end == ArchiveEnd::kTruncated) addProblem("Truncated archive file " + path_);
    if (listing_.end == ArchiveEnd::kInvalidHeader) addProblem("Invalid tar header in " + path_);
    checkMemberNames();
    readOvf();
    matchReferences();
    readManifest();
  } catch (const FatalError&) {
    platform::closeFile(fd_);
    throw;
  }
}

OvaPackage::~OvaPackage() { platform::closeFile(fd_); }

void OvaPackage::addProblem(const std::string& line) {
  if (problemSet_.insert(line).second) problems_.push_back(line);
}

void OvaPackage::refuseDamage() const {
  if (!problems_.empty()) throw FatalError(problems_.front());
}

const ArchiveMember* OvaPackage::findMember(const std::string& name) const {
  for (const ArchiveMember& member : listing_.members) {
    if (member.isRegularFile() && sameMember(member.name, name)) return &member;
  }
  return nullptr;
}

std::optional<std::string> OvaPackage::readTextMember(const ArchiveMember& member) const {
  if (member.size > kMaxTextMemberBytes) return std::nullopt;
  std::string text(member.size, '\0');
  if (readAt(fd_, path_, member.dataOffset, text.data(), static_cast<uint32_t>(text.size())) !=
      text.size()) {
    throw FatalError("Failed to read file " + path_);
  }
  return text;
}

void OvaPackage::checkMemberNames() {
  std::set<std::string> seen;
  for (const ArchiveMember& member : listing_.members) {
    std::optional<std::string> name = extractedName(member.name);
    if (!name || (!member.isRegularFile() && member.type != kTarDirectory)) {
      addProblem("Unsupported member " + member.name + " of " + path_);
    } else if (member.isRegularFile() && !seen.insert(*name).second) {
      addProblem("Duplicate member " + member.name + " of " + path_);
    }
  }
}

// Importers look for the envelope first of all; one found further on is
// still read, so that what else is wrong can be told.
void OvaPackage::readOvf() {
  const auto& members = listing_.members;
  auto ovf = std::find_if(members.begin(), members.end(), [](const ArchiveMember& m) {
    return m.isRegularFile() && hasSuffix(m.name, ".ovf");
  });
  if (ovf != members.begin() || ovf == members.end()) {
    addProblem("OVF is not the first member of " + path_);
  }
  if (ovf == members.end()) return;
  ovfMember_ = &*ovf;
  std::optional<std::string> text = readTextMember(*ovf);
  try {
    if (!text) throw FatalError("Invalid OVF " + memberPath(ovf->name));
    ovf_ = parseOvfReferences(*text, memberPath(ovf->name));
  } catch (const FatalError& invalid) {
    addProblem(invalid.what());
  }
}

void OvaPackage::matchReferences() {
  for (const OvfFile& file : ovf_.files) {
    const ArchiveMember* member = findMember(file.href);
    if (member == nullptr) {
      addProblem("Missing member " + file.href + " of " + path_);
    } else if (!file.sizeText.empty() && readDecimal64(file.sizeText) != member->size) {
      addProblem("OVF size does not match " + memberPath(file.href));
    }
  }
  for (const OvfDisk& disk : ovf_.disks) {
    const OvfFile* file = ovf_.fileWithId(disk.fileRef);
    if (file == nullptr) {
      addProblem("Missing reference " + disk.fileRef + " in " + memberPath(ovfMember_->name));
    }
    disks_.push_back(file ? findMember(file->href) : nullptr);
  }
}

// The manifest importers check is the one named as the envelope is, with
// ".mf" for ".ovf"; every disk the envelope references must be in it.
void OvaPackage::readManifest() {
  const auto& members = listing_.members;
  auto manifest = std::find_if(members.begin(), members.end(), [this](const ArchiveMember& m) {
    if (!m.isRegularFile() || !hasSuffix(m.name, ".mf")) return false;
    if (ovfMember_ == nullptr) return true;
    const std::string& ovf = ovfMember_->name;
    return sameMember(m.name.substr(0, m.name.size() - 3), ovf.substr(0, ovf.size() - 4));
  });
  if (manifest == members.end()) return;
  std::optional<std::string> text = readTextMember(*manifest);
  const std::string invalid = "Invalid manifest line in " + memberPath(manifest->name);
  if (!text) return addProblem(invalid);
  for (std::string_view line : manifestLines(*text)) {
    std::optional<ManifestEntry> entry = parseManifestLine(line);
    if (!entry) {
      addProblem(invalid);
      continue;
    }
    if (findMember(entry->file) == nullptr) {
      addProblem("Missing member " + entry->file + " of " + path_);
    }
    manifest_.push_back(*entry);
  }
  for (const ArchiveMember* disk : disks_) {
    if (disk == nullptr) continue;
    if (std::none_of(manifest_.begin(), manifest_.end(), [disk](const ManifestEntry& entry) {
          return sameMember(entry.file, disk->name);
        })) {
      addProblem("Manifest does not match " + memberPath(disk->name));
    }
  }
}

const ArchiveMember* OvaPackage::diskMember(size_t number) const {
  return number >= 1 && number <= disks_.size() ? disks_[number - 1] : nullptr;
}

std::unique_ptr<VMDKReader> OvaPackage::openDisk(size_t number, int flags) const {
  const ArchiveMember* member = diskMember(number);
  if (member == nullptr) throw FatalError("No disk " + std::to_string(number) + " in " + path_);
  const std::string diskPath = memberPath(member->name);
  int fd = platform::openFileWindow(path_, flags, member->dataOffset, member->size);
  if (fd == platform::kFileInUse) throw FatalError("File is in use " + path_);
  if (fd < 0) throw FatalError("Failed to open " + path_);
  SparseProbe probe;
  try {
    probe = probeSparseExtent(fd, diskPath);
  } catch (const FatalError&) {
    platform::closeFile(fd);
    throw;
  }
  if (probe != SparseProbe::kReadable) {
    platform::closeFile(fd);
    throw FatalError("Unsupported image file " + diskPath);
  }
  auto reader = std::make_unique<VMDKSingleFileReader>(fd, diskPath);
  // A parent would be looked for beside the archive, not in it.
  if (reader->descriptor().hasParent()) throw FatalError("Unsupported image file " + diskPath);
  return reader;
}

std::string OvaPackage::digestOf(const ArchiveMember& member, ManifestAlgorithm algorithm) const {
  platform::Digest digest(platformAlgorithm(algorithm));
  std::vector<uint8_t> chunk(
      static_cast<size_t>(std::min<uint64_t>(kDigestChunkBytes, member.size)));
  for (uint64_t done = 0; done < member.size;) {
    uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), member.size - done));
    if (readAt(fd_, path_, member.dataOffset + done, chunk.data(), length) != length) {
      throw FatalError("Failed to read file " + path_);
    }
    digest.update(chunk.data(), length);
    done += length;
  }
  std::string hex = digest.finishHex();
  if (hex.empty()) throw FatalError("Cannot compute digest of " + memberPath(member.name));
  return hex;
}

std::vector<std::string> OvaPackage::digestProblems(const std::vector<std::string>& names,
                                                    std::vector<std::string>* unchecked) const {
  std::vector<std::string> problems;
  for (const ManifestEntry& entry : manifest_) {
    if (!names.empty() && std::find(names.begin(), names.end(), entry.file) == names.end()) {
      continue;
    }
    const ArchiveMember* member = findMember(entry.file);
    if (member == nullptr) continue;  // a problem of the structure already
    if (entry.algorithm == ManifestAlgorithm::kSha512) {
      if (unchecked) unchecked->push_back(memberPath(entry.file));
    } else if (digestOf(*member, entry.algorithm) != entry.hex) {
      problems.push_back("Manifest does not match " + memberPath(entry.file));
    }
  }
  return problems;
}

}  // namespace skarvel
