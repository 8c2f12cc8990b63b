// An OVA package opened for reading: the members of its archive, what its
// OVF envelope and its manifest say of them, the problems of its structure,
// and its disks, each read in place through a window of the archive (no
// member is extracted).
//
// Members are named in messages as the archive's path, '/', and the
// member's name: "x.ova/x-disk1.vmdk".
#ifndef SKARVEL_READER_OVA_OVA_PACKAGE_H_
#define SKARVEL_READER_OVA_OVA_PACKAGE_H_

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "format/ova/manifest_parser.h"
#include "format/ova/ovf_references.h"
#include "reader/ova/archive_members.h"
#include "reader/vmdk_reader.h"

namespace skarvel {

// True when the file at |path| begins with a tar member header: an OVA
// package, whatever its name. False for "-" and for a file that cannot be
// opened or read (its ordinary opening then says why).
bool isOvaPackage(const std::string& path);

class OvaPackage {
 public:
  // Opens the archive at |path| with |flags| (read-only, with a lock or
  // without) and reads its structure. What is wrong with it is collected
  // for problems(), not thrown. Throws FatalError("Failed to open " + path),
  // FatalError("File is in use " + path) and FatalError("Failed to read
  // file " + path) as openImage does.
  OvaPackage(const std::string& path, int flags);
  ~OvaPackage();
  OvaPackage(const OvaPackage&) = delete;
  OvaPackage& operator=(const OvaPackage&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<ArchiveMember>& members() const { return listing_.members; }
  // "x.ova/name"
  std::string memberPath(const std::string& name) const { return path_ + "/" + name; }

  // The problems of the structure, one line each, in this order:
  //   "Truncated archive file " + path       the file ends inside a member or
  //                                           before the block that ends it;
  //   "Invalid tar header in " + path        a block is neither header nor zeros;
  //   "Duplicate member " + name + " of " + path  two regular members of one
  //                                           name: tar programs extract the
  //                                           last, this reader would read the first;
  //   "OVF is not the first member of " + path;
  //   "Invalid OVF " + member path           not well-formed, no Envelope;
  //   "Missing member " + name + " of " + path  for a File of the References or
  //                                           a manifest line with no member;
  //   "OVF size does not match " + member path  an ovf:size other than the
  //                                           member's length;
  //   "Missing reference " + id + " in " + OVF member path  a Disk whose
  //                                           fileRef names no File;
  //   "Invalid manifest line in " + member path  one per line not of the form
  //                                           "ALG(file)= hex" (manifest_parser.h).
  // Each line is listed once.
  const std::vector<std::string>& problems() const { return problems_; }
  // Throws FatalError with the first problem, when there is one.
  void refuseDamage() const;

  // The disks of the OVF that are stored in a file, in its order; disk 1
  // is the first.
  size_t diskCount() const { return disks_.size(); }
  // The member disk |number| is stored in, or nullptr when it has none.
  const ArchiveMember* diskMember(size_t number) const;

  // Opens disk |number| with |flags|, read in place. Throws
  // FatalError("No disk " + number + " in " + path) for a number that
  // names no disk or a disk without its member, and FatalError("Unsupported
  // image file " + member path) when the member is no sparse extent file of
  // a version read (a descriptor file, a compressed file) or names a parent,
  // which no package holds; passes on the reader's failures, which name the
  // member path.
  std::unique_ptr<VMDKReader> openDisk(size_t number, int flags) const;

  // Compares the digest the manifest gives for each member it names (only
  // those of |names| when given) with the member's own. Returns one line
  // "Manifest does not match " + member path per member that differs;
  // members whose algorithm (SHA512) is not computed here go to |unchecked|
  // by member path. Throws FatalError("Cannot compute digest of " + member
  // path) when the system's digest fails, and FatalError("Failed to read
  // file " + path) on an I/O error.
  std::vector<std::string> digestProblems(const std::vector<std::string>& names,
                                          std::vector<std::string>* unchecked) const;

 private:
  // Members tar programs would extract otherwise than this reader walks
  // them (links, devices, names that leave the folder) and members whose
  // names, as extracted, coincide: each a problem.
  void checkMemberNames();
  void readOvf();
  void matchReferences();
  void readManifest();
  void addProblem(const std::string& line);
  const ArchiveMember* findMember(const std::string& name) const;
  // The whole member (an OVF or a manifest: a few KiB), or nothing when it
  // is too large to be one.
  std::optional<std::string> readTextMember(const ArchiveMember& member) const;
  std::string digestOf(const ArchiveMember& member, ManifestAlgorithm algorithm) const;

  std::string path_;
  int fd_ = -1;
  ArchiveListing listing_;
  const ArchiveMember* ovfMember_ = nullptr;
  OvfReferences ovf_;
  std::vector<ManifestEntry> manifest_;
  std::vector<const ArchiveMember*> disks_;
  std::vector<std::string> problems_;
  std::set<std::string> problemSet_;  // the same lines, to list each once
};

}  // namespace skarvel

#endif  // SKARVEL_READER_OVA_OVA_PACKAGE_H_
