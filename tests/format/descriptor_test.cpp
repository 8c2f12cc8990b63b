// The descriptor record and the text composed for it: the exact texts of a
// single-file image, a split image and a child, compose-then-parse round
// trips, the parent test, fresh identifiers and the size limit of the
// embedded area.
#include "format/descriptor.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "base/fatal_error.h"
#include "format/cid.h"
#include "format/descriptor_parser.h"

namespace skarvel {
namespace {

using namespace std::string_literals;

DiskDescriptor descriptorWith(uint32_t cid, uint32_t parentCid, const std::string& hint,
                              int32_t hwVersion, const std::string& adapter) {
  DiskDescriptor d;
  d.CID = cid;
  d.parentCID = parentCid;
  d.parentFileNameHint = hint;
  d.virtualHWVersion = hwVersion;
  d.adapterType = adapter;
  return d;
}

ExtentDescriptor extent(const std::string& access, uint64_t size, const std::string& type,
                        const std::string& fileName, uint64_t offset) {
  ExtentDescriptor e;
  e.access = access;
  e.size = size;
  e.type = type;
  e.fileName = fileName;
  e.offset = offset;
  return e;
}

ParsedDescriptor parseText(const std::string& text) {
  StringByteSource source(text);
  return parseDescriptor(source);
}

TEST(DescriptorTest, SingleFileText) {
  DiskDescriptor d = descriptorWith(0x1234, kNoParentCID, "", 4, "lsilogic");
  d.version = 7;  // never written: the text always says version=1
  EXPECT_EQ(composeDescriptor(d, computeLayout(2097152, 1), "disk.vmdk", true),
            "# Disk DescriptorFile\n"
            "version=1\n"
            "CID=00001234\n"
            "parentCID=ffffffff\n"
            "createType=\"monolithicSparse\"\n"
            "\n"
            "# Extent description\n"
            "RW 2097152 SPARSE \"disk.vmdk\"\n"
            "\n"
            "\n"
            "# The Disk Data Base\n"
            "#DDB\n"
            "\n"
            "ddb.virtualHWVersion = \"4\"\n"
            "ddb.geometry.cylinders = \"130\"\n"
            "ddb.geometry.heads = \"255\"\n"
            "ddb.geometry.sectors = \"63\"\n"
            "ddb.adapterType = \"lsilogic\"\n");
}

TEST(DescriptorTest, SplitImageText) {
  DiskDescriptor d = descriptorWith(0x7fff, kNoParentCID, "", 6, "ide");
  d.createType = "twoGbMaxExtentSparse";
  ExtentList extents = {
      extent("RW", 4192256, "SPARSE", "big-s001.vmdk", 0),
      extent("RW", 4192256, "SPARSE", "big-s002.vmdk", 0),
      extent("RDONLY", 841728, "FLAT", "big-s003.vmdk", 2048),
      // A FLAT line always names its offset; a ZERO line has no file.
      extent("RW", 2048, "FLAT", "big-flat.vmdk", 0),
      extent("RW", 128, "ZERO", "", 0),
  };
  // 9226240 / 16065 = 574 cylinders.
  EXPECT_EQ(composeDescriptor(d, computeLayout(9226240, 0), extents, true),
            "# Disk DescriptorFile\n"
            "version=1\n"
            "CID=00007fff\n"
            "parentCID=ffffffff\n"
            "createType=\"twoGbMaxExtentSparse\"\n"
            "\n"
            "# Extent description\n"
            "RW 4192256 SPARSE \"big-s001.vmdk\"\n"
            "RW 4192256 SPARSE \"big-s002.vmdk\"\n"
            "RDONLY 841728 FLAT \"big-s003.vmdk\" 2048\n"
            "RW 2048 FLAT \"big-flat.vmdk\" 0\n"
            "RW 128 ZERO\n"
            "\n"
            "# The Disk Data Base\n"
            "#DDB\n"
            "\n"
            "ddb.virtualHWVersion = \"6\"\n"
            "ddb.geometry.cylinders = \"574\"\n"
            "ddb.geometry.heads = \"255\"\n"
            "ddb.geometry.sectors = \"63\"\n"
            "ddb.adapterType = \"ide\"\n");
}

TEST(DescriptorTest, ChildTextWithoutDiskDatabase) {
  DiskDescriptor d = descriptorWith(1, 0x1234, "../base.vmdk", 6, "ide");
  // The capacity is written rounded up to whole grains.
  EXPECT_EQ(composeDescriptor(d, computeLayout(16385, 1), "child.vmdk", false),
            "# Disk DescriptorFile\n"
            "version=1\n"
            "CID=00000001\n"
            "parentCID=00001234\n"
            "createType=\"monolithicSparse\"\n"
            "parentFileNameHint=\"../base.vmdk\"\n"
            "\n"
            "# Extent description\n"
            "RW 16512 SPARSE \"child.vmdk\"\n"
            "\n"
            "\n"
            "# The Disk Data Base\n"
            "#DDB\n"
            "\n");
}

TEST(DescriptorTest, DiskDatabaseNumbers) {
  // 2056319 sectors round up to 2056320, exactly 128 cylinders of 255 x 63
  // sectors; the geometry ignores the adapter, and the hardware version
  // prints unsigned.
  DiskDescriptor d = descriptorWith(0, kNoParentCID, "", -1, "buslogic");
  EXPECT_EQ(ddbSection(d, computeLayout(2056319, 1), true),
            "# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4294967295\"\n"
            "ddb.geometry.cylinders = \"128\"\nddb.geometry.heads = \"255\"\n"
            "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"buslogic\"\n");
}

auto fields(const DiskDescriptor& d) {
  return std::tie(d.CID, d.parentCID, d.createType, d.parentFileNameHint, d.virtualHWVersion,
                  d.adapterType);
}

auto fields(const ExtentDescriptor& e) {
  return std::tie(e.access, e.size, e.type, e.fileName, e.offset);
}

TEST(DescriptorTest, ComposeThenParseRestoresTheRecord) {
  seedCid(1);  // a parse draws a fresh CID (41) before the text replaces it
  DiskDescriptor records[] = {
      descriptorWith(0x1234, kNoParentCID, "", 4, "lsilogic"),
      descriptorWith(0x7fff, 0xdeadbeef, "base.vmdk", 6, "ide"),
      descriptorWith(0, 0, "../my images/base #1.vmdk", 7, "buslogic"),
      descriptorWith(0xffffffff, 0x00abcdef, "D:\\vm\\a=b.vmdk", 5, "legacyESX"),
  };
  records[1].createType = "twoGbMaxExtentSparse";
  SparseLayout layout = computeLayout(9226240, 1);
  const ExtentList extents = {extent("RW", 4192256, "SPARSE", "disk one-s001.vmdk", 0),
                              extent("RDONLY", 5033984, "FLAT", "disk one-s002.vmdk", 977)};
  const ExtentDescriptor itself = extent("RW", 9226240, "SPARSE", "my disk.vmdk", 0);
  for (const DiskDescriptor& record : records) {
    std::string label = "CID " + std::to_string(record.CID);
    std::string single = composeDescriptor(record, layout, "my disk.vmdk", true);
    ParsedDescriptor parsed = parseText(single);
    EXPECT_EQ(fields(parsed.descriptor), fields(record)) << label;
    EXPECT_EQ(parsed.descriptor.version, 1) << label;
    ASSERT_EQ(parsed.extents.size(), 1u) << label;
    EXPECT_EQ(fields(parsed.extents[0]), fields(itself)) << label;
    EXPECT_EQ(parsed.consumedBytes, single.size()) << label;

    parsed = parseText(composeDescriptor(record, layout, extents, true));
    EXPECT_EQ(fields(parsed.descriptor), fields(record)) << label;
    ASSERT_EQ(parsed.extents.size(), 2u) << label;
    EXPECT_EQ(fields(parsed.extents[0]), fields(extents[0])) << label;
    EXPECT_EQ(fields(parsed.extents[1]), fields(extents[1])) << label;

    // Without the disk database, hardware version and adapter come back as
    // their defaults.
    DiskDescriptor withDefaults = record;
    withDefaults.virtualHWVersion = 4;
    withDefaults.adapterType = "lsilogic";
    EXPECT_EQ(fields(parseText(composeDescriptor(record, layout, "a.vmdk", false)).descriptor),
              fields(withDefaults))
        << label;
    EXPECT_EQ(fields(parseText(composeDescriptor(record, layout, extents, false)).descriptor),
              fields(withDefaults))
        << label;
  }
}

TEST(DescriptorTest, NewRecordsDrawFreshIdentifiers) {
  seedCid(1);  // the generator then gives 41, 18467, 6334
  DiskDescriptor defaults;
  EXPECT_EQ(fields(defaults),
            std::make_tuple(41u, 0xFFFFFFFFu, "monolithicSparse"s, ""s, 4, "lsilogic"s));
  EXPECT_EQ(defaults.version, 1);

  DiskDescriptor fresh(6, "ide");
  EXPECT_EQ(fields(fresh),
            std::make_tuple(18467u, 0xFFFFFFFFu, "monolithicSparse"s, ""s, 6, "ide"s));
  EXPECT_EQ(fresh.version, 1);

  DiskDescriptor copy = fresh;  // copying draws nothing
  copy.renewCID();
  EXPECT_EQ(copy.CID, 6334u);
  EXPECT_EQ(fresh.CID, 18467u);
}

TEST(DescriptorTest, DescriptorMustLeaveRoomForItsEnd) {
  EXPECT_NO_THROW(checkDescriptorFits(std::string(10239, 'x'), "out.vmdk"));
  try {
    checkDescriptorFits(std::string(10240, 'x'), "out.vmdk");
    ADD_FAILURE() << "10240 bytes fill the area with no room for the zero byte";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Descriptor too long for out.vmdk");
    EXPECT_FALSE(error.showsUsage());
  }
  EXPECT_NO_THROW(checkDescriptorFits(std::string(511, 'x'), "a", 512));
  EXPECT_THROW(checkDescriptorFits(std::string(512, 'x'), "a", 512), FatalError);
}

}  // namespace
}  // namespace skarvel
