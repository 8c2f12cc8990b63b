// The system libraries behind digests and XML trees, on every build.
#include <gtest/gtest.h>

#include <string>

#include "platform/digest.h"
#include "platform/xml.h"

namespace skarvel::platform {
namespace {

// Published test vectors (FIPS 180-2 examples): "abc" and the empty message.
TEST(DigestTest, MatchesPublishedVectors) {
  struct Case {
    DigestAlgorithm algorithm;
    std::string message;
    std::string hex;
  } cases[] = {
      {DigestAlgorithm::kSha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::kSha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestAlgorithm::kSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
  };
  for (const Case& c : cases) {
    Digest digest(c.algorithm);
    // Fed in two pieces: the result may not depend on how bytes arrive.
    digest.update(c.message.data(), c.message.size() / 2);
    digest.update(c.message.data() + c.message.size() / 2, c.message.size() - c.message.size() / 2);
    EXPECT_EQ(digest.finishHex(), c.hex) << c.message;
  }
}

TEST(XmlTest, ParsesLocalNamesAndRoundTripsWhatItWrites) {
  XmlElement file{"File", {{"ovf:href", "a-b.vmdk"}, {"ovf:size", "1024"}}, "", {}};
  XmlElement root{"Envelope",
                  {{"xmlns", "urn:a"}, {"xmlns:ovf", "urn:a"}},
                  "",
                  {{"References", {}, "", {file}}, {"Name", {}, "caf\xC3\xA9 & <x>", {}}}};
  std::string document;
  ASSERT_TRUE(writeXml(root, &document));
  EXPECT_EQ(document.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << document;

  XmlElement parsed;
  ASSERT_TRUE(parseXml(document, &parsed)) << document;
  EXPECT_EQ(parsed.name, "Envelope");
  EXPECT_TRUE(parsed.attributes.empty()) << "declarations are left out";
  const XmlElement* references = parsed.child("References");
  ASSERT_NE(references, nullptr);
  ASSERT_EQ(references->children.size(), 1u);
  EXPECT_EQ(references->children[0].name, "File");
  ASSERT_NE(references->children[0].attribute("href"), nullptr);
  EXPECT_EQ(*references->children[0].attribute("href"), "a-b.vmdk");
  EXPECT_EQ(parsed.child("Name")->text, "caf\xC3\xA9 & <x>");
}

TEST(XmlTest, RefusesWhatIsNotWellFormed) {
  for (const char* document : {"", "<a>", "<a></b>", "<a/><b/>", "<a x=1/>"}) {
    XmlElement parsed;
    EXPECT_FALSE(parseXml(document, &parsed)) << document;
  }
  // An entity defined outside the document is never fetched nor expanded.
  XmlElement parsed;
  if (parseXml("<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>", &parsed)) {
    EXPECT_EQ(parsed.text.find("root:"), std::string::npos);
  }
}

}  // namespace
}  // namespace skarvel::platform
