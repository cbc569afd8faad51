/*
 * Data files: every message of the readers and writers from a small file that shows it, golden
 * output of every writer, the dispatch by extension, and atomic saves.
 */
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include "DataTestUtil.h"
#include "data/BIN.h"
#include "data/CSRC.h"
#include "data/DATAFILE.h"
#include "data/HEX.h"
#include "data/SREC.h"

using namespace dt;

namespace {
class DataFile : public TempDirTest {
protected:
  // Reads sContent saved as sName through the dispatch; returns the result, fills Log and Img.
  int Load(const std::string& sName, const std::string& sContent, uint32_t StartAddr = 0) {
    WriteFile(Path(sName), sContent);
    return LoadPath(Path(sName), StartAddr);
  }
  int LoadPath(const std::string& sPath, uint32_t StartAddr = 0) {
    Log = MsgLog{};
    Img.reset(DATAIMAGE_Create());
    return DATAFILE_Read(MsgLog::Func, &Log, Img.get(), sPath.c_str(), StartAddr);
  }
  int Save(const std::string& sName, DataImage* p, uint32_t First = 0, uint32_t Last = 0xFFFFFFFF) {
    Log = MsgLog{};
    return DATAFILE_Write(p, Path(sName).c_str(), First, Last, MsgLog::Func, &Log);
  }
  MsgLog Log;
  ImagePtr Img;
};

struct ReadErrorCase {
  const char* sName;
  const char* sFile; // file name: selects the reader
  std::string Content;
  int Result;
  std::string Error;
};
} // namespace

class DataFileReadError : public DataFile, public ::testing::WithParamInterface<ReadErrorCase> {};

TEST_P(DataFileReadError, Message) {
  const ReadErrorCase& c = GetParam();
  EXPECT_EQ(Load(c.sFile, c.Content), c.Result);
  EXPECT_EQ(Log.Errors(), c.Error);
  if (c.Result != DATAFILE_ERR_UNSUPPORTED) {
    EXPECT_FALSE(DATAIMAGE_IsModified(Img.get())); // every reader clears it, whatever the result
  }
}

INSTANTIATE_TEST_SUITE_P(
    Hex, DataFileReadError,
    ::testing::Values(
        ReadErrorCase{"Empty", "a.hex", "", -4, "Error in line 1: Not a hex file"},
        ReadErrorCase{"BlankFirstLine", "a.hex", "\r\n:00000001FF\r\n", -4, "Error in line 1: Not a hex file"},
        ReadErrorCase{"NoColon", "a.hex", ":0400000001020304F2\r\nX0\r\n", -5,
                      "Error in line 2: Unexpected character (Expected: :, Found: X)"},
        ReadErrorCase{"EmbeddedNul", "a.hex", std::string(":0400000001020304F2\r\n\0:00000001FF\r\n", 35), -5,
                      "Error in line 2: Unexpected character (Expected: :, Found: ?)"},
        ReadErrorCase{"BadDigit", "a.hex", ":04000000010203G4F2\r\n", -5,
                      "Error in line 1: Expected Hex character : 0..9, A..F"},
        ReadErrorCase{"TruncatedRecord", "a.hex", ":040000000102", -5,
                      "Error in line 1: Expected Hex character : 0..9, A..F"},
        ReadErrorCase{"Checksum", "a.hex", ":0400000001020304F3\r\n", -5,
                      "Error in line 1: Checksum error !\nExpected: 0xF2, found: 0xF3"},
        ReadErrorCase{"ChecksumSmallValues", "a.hex", ":02000000FF0500\r\n", -5,
                      "Error in line 1: Checksum error !\nExpected: 0xFA, found: 0x00"},
        ReadErrorCase{"Overlap", "a.hex", ":0400000001020304F2\r\n:0400020001020304F0\r\n", -5,
                      "Error in line 2: Areas overlap"},
        ReadErrorCase{"GarbageAfterRecord", "a.hex", ":0400000001020304F2 \r\n", -5,
                      "Error in line 1: Expected CR or LF"},
        ReadErrorCase{"ShortExtendedAddress", "a.hex", ":0100000408F3\r\n", -5,
                      "Error in line 1: Extended address record without its two address bytes"},
        ReadErrorCase{"BeyondTopOfAddressSpace", "a.hex", ":02000004FFFFFC\r\n:04FFFE0001020304F5\r\n", -5,
                      "Error in line 2: Data beyond address 0xFFFFFFFF"},
        ReadErrorCase{"ErrorOnLaterLineCountsLfOnlyLines", "a.hex", ":00000001FF\n\n\n:0400000001020304F3\n",
                      -5, "Error in line 4: Checksum error !\nExpected: 0xF2, found: 0xF3"}),
    [](const auto& info) { return std::string(info.param.sName); });

INSTANTIATE_TEST_SUITE_P(
    Srec, DataFileReadError,
    ::testing::Values(
        ReadErrorCase{"FirstCharBlank", "a.s19", " S1060000010203F3\r\n", -4, "Error in line 1: Not a mot file"},
        ReadErrorCase{"FirstCharLineEnd", "a.mot", "\nS1060000010203F3\r\n", -4, "Error in line 1: Not a mot file"},
        ReadErrorCase{"NotS", "a.srec", "S1060000010203F3\r\nX1060000010203F3\r\n", -5,
                      "Error in line 2: Unexpected character"},
        ReadErrorCase{"TypeNotDigit", "a.s28", "SX060000010203F3\r\n", -5, "Error in line 1: Unexpected character"},
        ReadErrorCase{"BadDigit", "a.s37", "S10600000102G3F3\r\n", -5,
                      "Error in line 1: Expected Hex character : 0..9, A..F"},
        ReadErrorCase{"Checksum", "a.s", "S1060000010203F4\r\n", -5,
                      "Error in line 1: Checksum error! Checksum in file: 0xF4, checksum calculated 0xF3"},
        ReadErrorCase{"Overlap", "a.s19", "S1060000010203F3\r\nS1060002010203F1\r\n", -5,
                      "Error in line 2: Areas overlap"},
        ReadErrorCase{"CountShorterThanAddress", "a.s19", "S1020000FD\r\n", -5,
                      "Error in line 1: Record count 0x02 too small for the address of an S1 record"},
        ReadErrorCase{"CountZero", "a.s19", "S300FF\r\n", -5,
                      "Error in line 1: Record count 0x00 too small for the address of an S3 record"},
        ReadErrorCase{"BeyondTopOfAddressSpace", "a.s37", "S307FFFFFFFF0102F9\r\n", -5,
                      "Error in line 1: Data beyond address 0xFFFFFFFF"},
        ReadErrorCase{"ChecksumOfIgnoredRecord", "a.s19", "S00600004844521C\r\n", -5,
                      "Error in line 1: Checksum error! Checksum in file: 0x1C, checksum calculated 0x1B"}),
    [](const auto& info) { return std::string(info.param.sName); });

INSTANTIATE_TEST_SUITE_P(
    Dispatch, DataFileReadError,
    ::testing::Values(ReadErrorCase{"UnknownExtension", "a.txt", ":00000001FF\r\n", DATAFILE_ERR_UNSUPPORTED,
                                    "Unsupported file type (*.txt)"},
                      ReadErrorCase{"NoExtension", "noext", ":00000001FF\r\n", DATAFILE_ERR_UNSUPPORTED,
                                    "Unsupported file type (*)"},
                      ReadErrorCase{"WriteOnlyType", "a.c", "", DATAFILE_ERR_UNSUPPORTED,
                                    "Unsupported file type (*.c)"}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST_F(DataFile, HexRecordsAndAddressing) {
  // Extended linear and segment addresses, records after the end record, lower-case digits,
  // the 0xFF type as extended linear, LF CR line ends and a Ctrl-Z at the end.
  std::string s = ":0400000001020304F2\r\n"
                  ":00000001FF\r\n"
                  ":020000040800F2\n\r"
                  ":02001000aabb89\n"
                  ":020000021000EC\r\n"
                  ":01000000CC33\r\n"
                  ":020000FF2000DF\r\n"
                  ":04000005000000CD2A\r\n"
                  ":0100FF00DD23\r\n\x1A garbage after Ctrl-Z";
  ASSERT_EQ(Load("DATA.HEX", s), 0) << Log.Errors();
  EXPECT_EQ(ToMap(Img.get()), (ImageMap{{0, Bytes{1, 2, 3, 4}},
                                        {0x10000, Bytes{0xCC}},
                                        {0x08000010, Bytes{0xAA, 0xBB}},
                                        {0x200000FF, Bytes{0xDD}}}));
}

TEST_F(DataFile, McsIsIntelHex) {
  ASSERT_EQ(Load("prom.mcs", ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n"), 0) << Log.Errors();
  EXPECT_EQ(ToMap(Img.get()), (ImageMap{{0x08000000, Bytes{1, 2, 3, 4}}}));
  EXPECT_EQ(DATAFILE_GetType("x.MCS"), DATAFILE_TYPE_HEX);
  EXPECT_TRUE(DATAFILE_CanWrite(DATAFILE_GetType("x.mcs")));
}

TEST_F(DataFile, SrecRecordsAndLayout) {
  // S0 header, S5 count, S7 end with 32-bit address, records sharing a line, blanks between
  // S and type, lower-case digits.
  std::string s = "S00F000068656C6C6F202020202000003C\r\n"
                  "S1060000010203F3S2070800000a0b0ccf\n"
                  "S  307080010001122AD\n"
                  "S5030002FA\r\n"
                  "S70508000000F2\r\n";
  ASSERT_EQ(Load("a.S19", s), 0) << Log.Errors();
  EXPECT_EQ(ToMap(Img.get()),
            (ImageMap{{0, Bytes{1, 2, 3}}, {0x080000, Bytes{0x0A, 0x0B, 0x0C}}, {0x08001000, Bytes{0x11, 0x22}}}));
}

TEST_F(DataFile, OpenErrors) {
  EXPECT_EQ(LoadPath(Path("missing.hex")), -1);
  EXPECT_EQ(Log.Errors(), "Could not open file [" + Path("missing.hex") + "]\nFile not found!");
  EXPECT_EQ(LoadPath(Path("nodir/missing.s19")), -1);
  EXPECT_EQ(Log.Errors(), "Could not open file [" + Path("nodir/missing.s19") + "]\nPath not found!");
  EXPECT_EQ(LoadPath(Path("nodir/x.bin")), -1);
  EXPECT_EQ(Log.Errors(), "Could not open file [" + Path("nodir/x.bin") + "]\nPath not found!");
  std::string sLong = Path(std::string(300, 'n') + ".hex");
  EXPECT_EQ(LoadPath(sLong), -1);
  EXPECT_EQ(Log.Errors(), "Could not open file [" + sLong + "]\nThe filename syntax is incorrect!");
  EXPECT_EQ(LoadPath(Dir + "/.hex"), -1);  // a directory named like a data file
  WriteFile(Path("secret.hex"), ":00000001FF\r\n");
  chmod(Path("secret.hex").c_str(), 0600);
  chmod(Dir.c_str(), 0755);
  std::string s = AsOrdinaryUser([&] {
    LoadPath(Path("secret.hex"));
    return Log.Errors();
  });
  EXPECT_EQ(s, "Could not open file [" + Path("secret.hex") + "]\nAccess is denied!");
}

TEST_F(DataFile, BinaryReadAtStartAddress) {
  Bytes b(100000);
  for (size_t i = 0; i < b.size(); i++) b[i] = (uint8_t)(i * 13);
  WriteFile(Path("x.bin"), b);
  ASSERT_EQ(LoadPath(Path("x.bin"), 0x08000000), 0);
  EXPECT_EQ(ToMap(Img.get()), (ImageMap{{0x08000000, b}}));
  EXPECT_EQ(DATAIMAGE_GetEndAddr(Img.get()), 0x0801869Fu);
  EXPECT_FALSE(DATAIMAGE_IsModified(Img.get()));
  EXPECT_EQ(LoadPath(Path("x.bin"), 0xFFFF0000), -1);
  EXPECT_EQ(Log.Errors(), "Could not read file. File does not fit into the address space at 0xFFFF0000.");
  EXPECT_EQ(DATAIMAGE_GetNumRanges(Img.get()), 0u);
}

TEST_F(DataFile, BinaryWriteFillsGapsAndStopsAtLastData) {
  ImagePtr img(FromMap({{0x1100, Bytes(0x100, 0x11)}, {0x1800, Bytes(0x100, 0x22)}, {0x3000, Bytes(4, 0x33)}}));
  ASSERT_EQ(Save("y.raw", img.get(), 0x1000, 0x1FFF), 0) << Log.Errors();
  std::string s = ReadFile(Path("y.raw"));
  std::string expect = std::string(0x100, '\xFF') + std::string(0x100, '\x11') + std::string(0x600, '\xFF') +
                       std::string(0x100, '\x22');
  EXPECT_EQ(s, expect);
  ASSERT_EQ(Save("z.bin", img.get(), 0x1180, 0x1180), 0);
  EXPECT_EQ(ReadFile(Path("z.bin")), "\x11");
  ASSERT_EQ(Save("all.bin", img.get(), 0, 0xFFFFFFFF), 0);
  EXPECT_EQ(ReadFile(Path("all.bin")).size(), 0x3004u);
}

TEST_F(DataFile, CSourceGolden) {
  ImagePtr img(FromMap({{0x100, Bytes{1, 2, 3}}}));
  ASSERT_EQ(Save("x.c", img.get(), 0x100, 0x102), 0);
  std::string box = "*" + std::string(71, ' ') + "*\r\n";
  std::string head = "/" + std::string(72, '*') + "\r\n" + box +
                     "*               Generated C-File                                        *\r\n" + box + box +
                     std::string(73, '*') + "\r\n" +
                     "\r\nPlease note:\r\n\r\n"
                     "KORVEN Microcontroller has provided the feature of being able to save a file\r\n"
                     "in ANSI \"C\" format as convenience feature.\r\n"
                     "You may use this feature at your own risc, KORVEN assumes no liability\r\n"
                     "in any form.\r\n\r\n";
  EXPECT_EQ(ReadFile(Path("x.c")), head + "Memory image: 0x0100 - 0x0102\r\n*/\r\n\r\n"
                                          "static const unsigned char _acx[0x3] = {\r\n"
                                          "  0x01, 0x02, 0x03\r\n"
                                          "};\r\n\r\n/*** end of file ***/\r\n");
  // 17 bytes with a gap: a full line with its trailing comma, 0xFF where no data is.
  ImagePtr two(FromMap({{0x10, Bytes(15, 0xAB)}, {0x20, Bytes{0xCD}}}));
  DATAIMAGE_SetPatch8(two.get(), 0x11, 0x00);
  ASSERT_EQ(Save("y.C", two.get(), 0x10, 0x20), 0);
  std::string s = ReadFile(Path("y.C"));
  std::string body = s.substr(s.find("= {\r\n") + 5);
  EXPECT_EQ(body, "  0xAB, 0x00, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xFF,\r\n"
                  "  0xCD\r\n};\r\n\r\n/*** end of file ***/\r\n");
  EXPECT_NE(s.find("Memory image: 0x0010 - 0x0020\r\n"), std::string::npos);
  EXPECT_NE(s.find("_acy[0x11]"), std::string::npos);
}

struct GoldenCase {
  const char* sName;
  const char* sFile;
  ImageMap Image;
  std::string Expect;
};
class DataFileGolden : public DataFile, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(DataFileGolden, Writer) {
  const GoldenCase& c = GetParam();
  ImagePtr img(FromMap(c.Image));
  ASSERT_EQ(Save(c.sFile, img.get()), 0) << Log.Errors();
  EXPECT_EQ(ReadFile(Path(c.sFile)), c.Expect);
}

static Bytes Seq(uint32_t n, uint8_t first = 0) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; i++) b[i] = (uint8_t)(first + i);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataFileGolden,
    ::testing::Values(
        GoldenCase{"HexTwoRecordsNoExtended", "a.hex", {{0x1000, Seq(64)}},
                   ":20100000000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1FE0\r\n"
                   ":20102000202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3FC0\r\n"
                   ":00000001FF\r\n"},
        GoldenCase{"HexExtendedLinear", "a.hex", {{0x08000000, Bytes{1, 2, 3, 4}}},
                   ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n"},
        GoldenCase{"HexRecordNeverCrossesWindow", "a.hex", {{0xFFFC, Seq(8, 0x10)}},
                   ":04FFFC0010111213BB\r\n:020000040001F9\r\n:0400000014151617A6\r\n:00000001FF\r\n"},
        GoldenCase{"HexTopOfAddressSpace", "a.hex", {{0xFFFFFFFF, Bytes{0x5A}}},
                   ":02000004FFFFFC\r\n:01FFFF005AA7\r\n:00000001FF\r\n"},
        GoldenCase{"HexEmpty", "a.hex", {}, ":00000001FF\r\n"},
        GoldenCase{"SrecS1", "a.s19", {{0, Bytes{1, 2, 3}}}, "S1060000010203F3\r\nS9030000FC\r\n"},
        GoldenCase{"SrecS2ByLastAddress", "a.mot", {{0x0FFF0, Seq(32)}},
                   "S22400FFF0000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1FFC\r\n"
                   "S9030000FC\r\n"},
        GoldenCase{"SrecS3AndS9", "a.s37", {{0x01000000, Bytes{0xAA}}, {0xFFFFFFFE, Bytes{1, 2}}},
                   "S30601000000AA4E\r\nS307FFFFFFFE0102FA\r\nS9030000FC\r\n"},
        GoldenCase{"SrecEmpty", "a.srec", {}, "S9030000FC\r\n"}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST_F(DataFile, WritersFoldPatches) {
  ImagePtr img(FromMap({{0, Bytes{1, 2, 3}}}));
  DATAIMAGE_SetPatch8(img.get(), 1, 0x20);
  DATAIMAGE_SetPatch8(img.get(), 3, 0x40);
  ASSERT_EQ(Save("p.s19", img.get()), 0);
  EXPECT_EQ(ReadFile(Path("p.s19")), "S10700000120034094\r\nS9030000FC\r\n");
  EXPECT_FALSE(DATAIMAGE_IsModified(img.get()));
}

TEST_F(DataFile, UnsupportedWrite) {
  ImagePtr img(FromMap({{0, Bytes{1}}}));
  EXPECT_EQ(Save("a.elf", img.get()), DATAFILE_ERR_UNSUPPORTED);
  EXPECT_EQ(Log.Errors(), "Unsupported file type (*.elf)");
  EXPECT_FALSE(std::filesystem::exists(Path("a.elf")));
}

// One suite for every reader and writer pair, through the dispatch.
struct RoundTripCase {
  const char* sExt;
  bool FillsGaps; // binary: one range from the first to the last byte
};
class DataFileRoundTrip : public DataFile, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(DataFileRoundTrip, ImagesComeBackAsWritten) {
  const RoundTripCase& c = GetParam();
  std::vector<ImageMap> images = {
      {{0x1000, Seq(1)}},
      {{0, Seq(200)}, {0x300, Seq(33, 7)}},
      {{0xFFF0, Seq(64)}, {0x0FFFFFF0, Seq(40)}},
      {{0xFFFFFF00, Seq(256)}},
  };
  ImageMap many;
  for (uint32_t i = 0; i < 300; i++) many[0x20000000 + i * 100] = Seq(1 + i % 50, (uint8_t)i);
  images.push_back(many);
  for (size_t i = 0; i < images.size(); i++) {
    ImagePtr img(FromMap(images[i]));
    std::string sName = "rt" + std::to_string(i) + c.sExt;
    uint32_t first = DATAIMAGE_GetStartAddr(img.get()), last = DATAIMAGE_GetEndAddr(img.get());
    if (c.FillsGaps && last - first > 0x100000) continue; // the gaps would be written out
    ASSERT_EQ(Save(sName, img.get(), first, last), 0) << Log.Errors();
    ASSERT_EQ(LoadPath(Path(sName), first), 0) << Log.Errors();
    ImageMap expect = images[i];
    if (c.FillsGaps) {
      Bytes all(last - first + 1);
      DATAIMAGE_Read(img.get(), first, (uint32_t)all.size(), all.data(), 0xFF);
      expect = {{first, all}};
    }
    ASSERT_EQ(ToMap(Img.get()), expect) << sName;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DataFileRoundTrip,
                         ::testing::Values(RoundTripCase{".hex", false}, RoundTripCase{".mcs", false},
                                           RoundTripCase{".mot", false}, RoundTripCase{".srec", false},
                                           RoundTripCase{".s19", false}, RoundTripCase{".s28", false},
                                           RoundTripCase{".s37", false}, RoundTripCase{".s", false},
                                           RoundTripCase{".bin", true}, RoundTripCase{".raw", true}),
                         [](const auto& info) { return std::string(info.param.sExt + 1); });

/*********************************************************************
 * Saving: error texts, and a failed save keeps the old file
 */
TEST_F(DataFile, SaveErrorsKeepTheOldFile) {
  ImagePtr img(FromMap({{0, Seq(16)}}));
  DATAIMAGE_SetPatch8(img.get(), 0, 0x77);
  MsgLog log;
  EXPECT_EQ(HEX_Write(img.get(), "", MsgLog::Func, &log), -1);
  EXPECT_EQ(log.Errors(), "Could not write file. Invalid filename.");
  EXPECT_TRUE(DATAIMAGE_IsModified(img.get())); // still to be saved

  EXPECT_EQ(Save("nodir/a.hex", img.get()), -1);
  EXPECT_EQ(Log.Errors(), "Could not write file.\n" + Path("nodir/a.hex"));

  WriteFile(Path("old.hex"), "old contents");
  chmod(Path("old.hex").c_str(), 0444);
  chmod(Dir.c_str(), 0777);
  std::string s = AsOrdinaryUser([&] {
    MsgLog l;
    SREC_Write(img.get(), Path("old.hex").c_str(), MsgLog::Func, &l);
    return l.Errors();
  });
  EXPECT_EQ(s, "Could not write file. File has read only attribute.\n" + Path("old.hex"));
  mkdir(Path("locked").c_str(), 0755);
  s = AsOrdinaryUser([&] {
    MsgLog l;
    HEX_Write(img.get(), Path("locked/new.hex").c_str(), MsgLog::Func, &l);
    return l.Errors();
  });
  EXPECT_EQ(s, "Could not write file. Access denied.\n" + Path("locked/new.hex"));
  EXPECT_EQ(ReadFile(Path("old.hex")), "old contents");
}

TEST_F(DataFile, ShortWriteKeepsTheOldFile) {
  // A file size limit stands in for a full disk: the writer reports the short write and the
  // old file stays, with no temporary file left behind.
  WriteFile(Path("big.s37"), "old contents");
  ImagePtr img(FromMap({{0x08000000, Bytes(1 << 20, 0x5A)}}));
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 100000;
  setrlimit(RLIMIT_FSIZE, &lim);
  int r = Save("big.s37", img.get());
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(Log.Errors(), "Error writing file.");
  EXPECT_EQ(ReadFile(Path("big.s37")), "old contents");
  EXPECT_TRUE(DATAIMAGE_IsModified(img.get()));
  int numFiles = 0;
  for (auto& e : std::filesystem::directory_iterator(Dir)) numFiles += e.is_regular_file();
  EXPECT_EQ(numFiles, 1);
}
