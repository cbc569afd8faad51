/*
 * Cross-checks against srecord and binutils: what T-Forge writes, srec_cmp finds identical to
 * the same bytes put together by srec_cat; what srec_cat and objcopy write, in their many
 * layouts, T-Forge reads to the same image.
 */
#include <gtest/gtest.h>

#include "DataTestUtil.h"
#include "data/DATAFILE.h"

using namespace dt;

namespace {

Bytes Seq(uint32_t n, uint32_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; i++) b[i] = (uint8_t)(seed * 17 + i * 3 + (i >> 7));
  return b;
}

struct PeerImage {
  const char* sName;
  ImageMap Image;
};

std::vector<PeerImage> PeerImages() {
  ImageMap many;
  for (uint32_t i = 0; i < 200; i++) many[0x08000000 + i * 40] = Seq(1 + i % 17, i);
  return {
      {"Gaps", {{0x1000, Seq(100, 1)}, {0x1200, Seq(50, 2)}, {0x9000, Seq(3, 3)}}},
      {"Across64K", {{0xFFE0, Seq(64, 4)}, {0x1FFF0, Seq(32, 5)}}},
      {"Across16M", {{0xFFFFF0, Seq(64, 6)}}},
      {"TopOfAddressSpace", {{0xFFFFFF80, Seq(128, 7)}}},
      {"OneByte", {{0x12345, Seq(1, 8)}}},
      {"ManySmallRanges", many},
      {"LargeRange", {{0x08000000, Seq(200000, 9)}}},
  };
}

class Peers : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (!HaveTool("srec_cat") || !HaveTool("srec_cmp") || !HaveTool("objcopy")) GTEST_SKIP() << "peer tools missing";
  }
  // srec_cat's own S-record file of the image, put together from one binary file per range.
  std::string Reference(const ImageMap& m) {
    std::string cmd = "srec_cat";
    int i = 0;
    for (auto& kv : m) {
      std::string s = Path("chunk" + std::to_string(i++) + ".bin");
      WriteFile(s, kv.second);
      cmd += " " + s + " -binary -offset " + std::to_string(kv.first);
    }
    std::string ref = Path("ref.srec");
    std::string out;
    EXPECT_EQ(RunCmd(cmd + " -o " + ref + " -motorola -address-length=4", &out), 0) << out;
    return ref;
  }
  ImageMap Read(const std::string& sPath) {
    MsgLog log;
    ImagePtr img(DATAIMAGE_Create());
    EXPECT_EQ(DATAFILE_Read(MsgLog::Func, &log, img.get(), sPath.c_str(), 0), 0) << sPath << ": " << log.Errors();
    return ToMap(img.get());
  }
};

} // namespace

TEST_F(Peers, SrecCmpFindsWhatTForgeWroteIdentical) {
  for (const PeerImage& pi : PeerImages()) {
    std::string ref = Reference(pi.Image);
    ImagePtr img(FromMap(pi.Image));
    for (const char* sExt : {".hex", ".s37"}) {
      std::string ours = Path(std::string("ours") + sExt);
      MsgLog log;
      ASSERT_EQ(DATAFILE_Write(img.get(), ours.c_str(), 0, 0xFFFFFFFF, MsgLog::Func, &log), 0) << log.Errors();
      std::string out;
      std::string fmt = sExt == std::string(".hex") ? " -intel " : " -motorola ";
      EXPECT_EQ(RunCmd("srec_cmp " + ours + fmt + ref + " -motorola", &out), 0) << pi.sName << sExt << ": " << out;
    }
  }
}

struct PeerLayout {
  const char* sName;
  const char* sExt;
  std::string Convert;    // command from ref.srec (%IN) to %OUT
  uint64_t MaxAddrEnd;    // the layout can hold addresses below this
};

TEST_F(Peers, TForgeReadsWhatPeersWrote) {
  const std::vector<PeerLayout> layouts = {
      {"IntelLinear", ".hex", "srec_cat %IN -motorola -o %OUT -intel", 1ull << 32},
      {"IntelLinear255", ".hex", "srec_cat %IN -motorola -o %OUT -intel -obs=255", 1ull << 32},
      {"IntelSegmented", ".hex", "srec_cat %IN -motorola -o %OUT -intel -address-length=3", 1ull << 20},
      {"IntelCrLf", ".hex", "srec_cat %IN -motorola -o %OUT -intel -crlf", 1ull << 32},
      {"IntelLowerCase", ".hex", "srec_cat %IN -motorola -o - -intel | tr ABCDEF abcdef > %OUT", 1ull << 32},
      {"S19", ".s19", "srec_cat %IN -motorola -o %OUT -motorola -address-length=2", 1ull << 16},
      {"S28", ".s28", "srec_cat %IN -motorola -o %OUT -motorola -address-length=3", 1ull << 24},
      {"S37WithS5", ".s37", "srec_cat %IN -motorola -o %OUT -motorola -address-length=4 -enable=data-count",
       1ull << 32},
      {"S37Count255", ".s37", "srec_cat %IN -motorola -o %OUT -motorola -address-length=4 -obs=250", 1ull << 32},
      {"S37LowerCaseCrLf", ".mot", "srec_cat %IN -motorola -o - -motorola -crlf | tr ABCDEF abcdef > %OUT",
       1ull << 32},
      {"ObjcopyIhex", ".hex", "objcopy -I srec -O ihex %IN %OUT", 1ull << 32},
      {"ObjcopySrec", ".srec", "objcopy -I srec -O srec %IN %OUT", 1ull << 32},
      {"ObjcopySrecS3Len255", ".s", "objcopy -I srec -O srec --srec-forceS3 --srec-len=250 %IN %OUT", 1ull << 32},
  };
  for (const PeerImage& pi : PeerImages()) {
    std::string ref = Reference(pi.Image);
    uint64_t end = (uint64_t)std::prev(pi.Image.end())->first + std::prev(pi.Image.end())->second.size();
    for (const PeerLayout& l : layouts) {
      if (end > l.MaxAddrEnd) continue;
      std::string out = Path(std::string("peer") + l.sExt);
      std::string cmd = l.Convert;
      cmd.replace(cmd.find("%IN"), 3, ref);
      cmd.replace(cmd.find("%OUT"), 4, out);
      std::string sOut;
      ASSERT_EQ(RunCmd(cmd, &sOut), 0) << cmd << ": " << sOut;
      EXPECT_EQ(Read(out), pi.Image) << pi.sName << " / " << l.sName;
    }
  }
}

TEST_F(Peers, SegmentAddressedRecordsFromObjcopy) {
  // Below 1 MiB objcopy writes extended segment address records; T-Forge reads them.
  ImageMap m = {{0x0FFF8, Seq(0x30, 1)}, {0x2A000, Seq(0x100, 2)}, {0xFFF00, Seq(0x100, 3)}};
  std::string ref = Reference(m);
  std::string out = Path("seg.hex");
  ASSERT_EQ(RunCmd("objcopy -I srec -O ihex " + ref + " " + out), 0);
  EXPECT_NE(ReadFile(out).find(":02000002"), std::string::npos) << "no segment records written";
  EXPECT_EQ(Read(out), m);
}
