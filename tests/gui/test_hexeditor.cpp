// The data window at the widget level: item widths and byte order, gaps and go-to, fill, load,
// edit then save, the copy formats and paste, all through the image's access table.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QFontMetricsF>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/APP_Log.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"
#include "gui/CHexEditor.h"
#include "gui/HexLayout.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "tests/gui/CountingAccess.h"
#include "tests/TestFiles.h"

namespace {

struct Message {
  int Level;
  std::string Text;
};

class HexEditor : public ::testing::Test {
protected:
  void SetUp() override {
    AccessCounts::NumReads = 0;
    AccessCounts::aPatchWidth.clear();
    pImage = DATAIMAGE_Create();
  }
  void TearDown() override {
    delete pWin;
    DATAIMAGE_Delete(pImage);
  }
  // A window of 20 lines on the image, its messages collected.
  CHexEditor* Open(const DataImageAccess* pAccess = nullptr) {
    pWin = new CHexEditor(pImage, nullptr, pAccess);
    pWin->SetMessageRoutine(
        [](void* pUser, int Level, const char* s) {
          static_cast<std::vector<Message>*>(pUser)->push_back({Level, s});
        },
        &aMsg);
    pWin->resize(pWin->sizeHint().width(), pWin->sizeHint().height() + 4 * pWin->fontMetrics().lineSpacing());
    pWin->show();
    QApplication::processEvents();
    return pWin;
  }
  void AddBytes(uint32_t Addr, const std::vector<uint8_t>& a) {
    ASSERT_EQ(DATAIMAGE_AddData(pImage, Addr, (uint32_t)a.size(), a.data()), 0);
    DATAIMAGE_SetChangeCounter(pImage, 0); // as a reader leaves it
  }
  std::vector<uint8_t> Read(uint32_t Addr, uint32_t n) {
    std::vector<uint8_t> a(n);
    DATAIMAGE_Read(pImage, Addr, n, a.data(), 0xEE);
    return a;
  }
  std::string LastError() const {
    for (auto it = aMsg.rbegin(); it != aMsg.rend(); ++it) {
      if (it->Level == 2) return it->Text;
    }
    return std::string();
  }
  DataImage* pImage = nullptr;
  CHexEditor* pWin = nullptr;
  std::vector<Message> aMsg;
};

std::vector<uint8_t> Ramp(uint8_t First, int n) {
  std::vector<uint8_t> a((size_t)n);
  for (int i = 0; i < n; i++) a[(size_t)i] = (uint8_t)(First + i);
  return a;
}

// The mouse finds a byte through these columns: every byte's digits and character lead back to
// it, the blank after an item to the item's first byte, the address column to none.
TEST(HexLayoutColumns, EveryColumnLeadsBackToItsByte) {
  for (int Width : {1, 2, 4}) {
    for (bool BigEndian : {false, true}) {
      HexLayout L(Width, BigEndian);
      std::string Line = L.FormatLine(0, std::vector<HexByte>(16, HexByte{0xA5, 1, 0}).data());
      ASSERT_EQ((int)Line.size(), L.LineChars()) << Width;
      for (int Off = 0; Off < 16; Off++) {
        EXPECT_EQ(L.OffsetAtColumn(L.ByteDigitColumn(Off)), Off) << Width << BigEndian;
        EXPECT_EQ(L.OffsetAtColumn(L.ByteDigitColumn(Off) + 1), Off) << Width << BigEndian;
        bool InChars = false;
        EXPECT_EQ(L.OffsetAtColumn(L.CharColumn(Off), &InChars), Off);
        EXPECT_TRUE(InChars);
        EXPECT_EQ(Line.substr((size_t)L.ByteDigitColumn(Off), 2), "A5");
      }
      for (int Item = 0; Item < 16 / Width; Item++) {
        EXPECT_EQ(L.OffsetAtColumn(L.ItemColumn(Item) + L.ItemChars()), Item * Width); // its blank
      }
      EXPECT_EQ(L.OffsetAtColumn(3), -1);
    }
  }
}

TEST_F(HexEditor, ItemWidthsAndByteOrder) {
  AddBytes(0x08000000, Ramp(0x30, 16));
  Open();
  struct Case {
    int Width;
    bool BigEndian;
    const char* sLine;
  } aCase[] = {
      {1, false, "0800_0000  30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  0123456789:;<=>?"},
      {1, true, "0800_0000  30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  0123456789:;<=>?"},
      {2, false, "0800_0000  3130 3332 3534 3736 3938 3B3A 3D3C 3F3E  0123456789:;<=>?"},
      {2, true, "0800_0000  3031 3233 3435 3637 3839 3A3B 3C3D 3E3F  0123456789:;<=>?"},
      {4, false, "0800_0000  33323130 37363534 3B3A3938 3F3E3D3C  0123456789:;<=>?"},
      {4, true, "0800_0000  30313233 34353637 38393A3B 3C3D3E3F  0123456789:;<=>?"},
  };
  for (const Case& c : aCase) {
    pWin->SetBigEndian(c.BigEndian);
    pWin->SetItemWidth(c.Width);
    EXPECT_EQ(pWin->GetLineText(0).toStdString(), c.sLine) << c.Width << (c.BigEndian ? " BE" : " LE");
    EXPECT_EQ(pWin->GetLineText(1).toStdString(),
              std::string("0800_0010  ") +
                  (c.Width == 1   ? ".. .. .. .. .. .. .. ..  .. .. .. .. .. .. .. .."
                   : c.Width == 2 ? ".... .... .... .... .... .... .... ...."
                                  : "........ ........ ........ ........") +
                  "  ................");
  }
}

TEST_F(HexEditor, ItemsFollowTheByteOrderOfTheProject) {
  AddBytes(0x100, {0x11, 0x22, 0x33, 0x44});
  // Without a project a window opened inside an operation (a job opening a file) adds no error.
  APP_LogBegin("Opening data file ...");
  { CHexEditor NoProject(pImage); }
  EXPECT_EQ(APP_GetErrorCount(), 0);
  APP_LogEnd(nullptr);
  std::string Path = "/tmp/tforge-hexeditor-project-" + std::to_string(getpid()) + ".tforge";
  std::remove(Path.c_str());
  ASSERT_EQ(SETFILE_Create(Path.c_str()), 0);
  PROJECT_New(Path.c_str());
  auto pCPU = std::make_unique<PROJECT_CPU>();
  ASSERT_EQ(PROJECT_GetCPU(pCPU.get()), 0);
  pCPU->EndianMode = 1;
  ASSERT_GE(PROJECT_SetCPU(pCPU.get()), 0);
  Open();
  pWin->SetItemWidth(4);
  EXPECT_TRUE(pWin->GetLineText(0).startsWith("0000_0100  11223344 ")) << pWin->GetLineText(0).toStdString();
  pCPU->EndianMode = 0; // a job changed the project and refreshes the window
  ASSERT_GE(PROJECT_SetCPU(pCPU.get()), 0);
  pWin->SetImage(pImage);
  EXPECT_TRUE(pWin->GetLineText(0).startsWith("0000_0100  44332211 ")) << pWin->GetLineText(0).toStdString();
  PROJECT_Close();
  SETFILE_Close();
  std::remove(Path.c_str());
}

TEST_F(HexEditor, PartlyFilledItemsAndCharacters) {
  // Three bytes of a 4-byte item, then bytes that show as dots and one that shows as itself.
  AddBytes(0x100, {0x01, 0x02, 0x03});
  AddBytes(0x104, {0x20, 0x7F, 0xA0, 0xAD, 0x41, 0x00, 0x21});
  Open();
  pWin->GoTo(0x100);
  pWin->SetItemWidth(4);
  EXPECT_EQ(pWin->GetLineText(0).toStdString(), "0000_0100  ..030201 ADA07F20 ..210041 ........  ........A.!.....");
  pWin->SetBigEndian(true);
  EXPECT_EQ(pWin->GetLineText(0).toStdString(), "0000_0100  010203.. 207FA0AD 410021.. ........  ........A.!.....");

  CHexEditor NoImage(nullptr); // as the main window makes one to learn the size: all gap
  EXPECT_EQ(NoImage.GetLineText(0).toStdString(),
            "0000_0000  .. .. .. .. .. .. .. ..  .. .. .. .. .. .. .. ..  ................");
}

TEST_F(HexEditor, GoToTheMiddleOfAGapReadsOnlyTheLinesOnScreen) {
  // 100 000 ranges of 16 bytes, one every 64 bytes: the view reads no more than it shows.
  std::vector<uint8_t> a(16, 0x5A);
  for (uint32_t i = 0; i < 100000; i++) ASSERT_EQ(DATAIMAGE_AddData(pImage, 0x08000000 + i * 64, 16, a.data()), 0);
  AddBytes(0x20000000, {0x11, 0x22});
  Open(CountingAccessTable());
  pWin->SetTitle("data.hex");
  EXPECT_EQ(pWin->GetTitle().toStdString(), "data.hex @ 08000000");
  int Rows = pWin->GetNumVisibleLines();
  ASSERT_GT(Rows, 4);

  AccessCounts::NumReads = 0;
  pWin->GoTo(0x10000008); // far behind the last range, far before the next
  EXPECT_EQ(pWin->GetTopAddr(), 0x10000000u);
  EXPECT_EQ(pWin->GetCursor(), 0x10000008u);
  EXPECT_EQ(pWin->GetTitle().toStdString(), "data.hex @ 10000000");
  EXPECT_EQ(pWin->GetLineText(0).toStdString(),
            "1000_0000  .. .. .. .. .. .. .. ..  .. .. .. .. .. .. .. ..  ................");
  EXPECT_LE(AccessCounts::NumReads, Rows * 16);

  AccessCounts::NumReads = 0;
  pWin->GoTo(0x08000048); // between the second and the third range
  EXPECT_EQ(pWin->GetLineText(0).toStdString(),
            "0800_0040  5A 5A 5A 5A 5A 5A 5A 5A  5A 5A 5A 5A 5A 5A 5A 5A  ZZZZZZZZZZZZZZZZ");
  EXPECT_EQ(pWin->GetLineText(1).toStdString(),
            "0800_0050  .. .. .. .. .. .. .. ..  .. .. .. .. .. .. .. ..  ................");
  EXPECT_LE(AccessCounts::NumReads, Rows * 16);

  AccessCounts::NumReads = 0;
  pWin->ScrollToLine(0x0FFFFFFF); // the last line of the address space stays reachable
  EXPECT_EQ(pWin->GetTopAddr() + (uint32_t)(pWin->GetNumVisibleLines() - 2) * 16, 0xFFFFFFF0u);
  EXPECT_LE(AccessCounts::NumReads, Rows * 16);

  pWin->GoBack(); // to where the last go-to started, however far it was scrolled since
  EXPECT_EQ(pWin->GetTopAddr(), 0x10000000u);
  pWin->GoBack();
  EXPECT_EQ(pWin->GetTopAddr(), 0x08000000u);
}

TEST_F(HexEditor, FillWritesUnitsOfTheAccessWidthInTheViewsByteOrder) {
  struct Case {
    int ItemWidth, AccessWidth;
    bool BigEndian;
    uint32_t First, Last, Value;
    std::vector<uint8_t> Expected; // 0x1000 … 0x1009, 0xEE where nothing was written
    std::vector<int> PatchWidths;
  } aCase[] = {
      {1, 0, false, 0x1001, 0x1003, 0x5A, {0xEE, 0x5A, 0x5A, 0x5A, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, {1, 1, 1}},
      {4, 0, false, 0x1000, 0x1006, 0x11223344, {0x44, 0x33, 0x22, 0x11, 0x44, 0x33, 0x22, 0xEE, 0xEE, 0xEE}, {4, 2, 1}},
      {4, 0, true, 0x1000, 0x1007, 0x11223344, {0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE}, {4, 4}},
      {1, 2, true, 0x1001, 0x1004, 0xA1B2, {0xEE, 0xA1, 0xB2, 0xA1, 0xB2, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}, {1, 2, 1}},
  };
  for (const Case& c : aCase) {
    DATAIMAGE_Delete(pImage);
    pImage = DATAIMAGE_Create();
    delete pWin;
    Open(CountingAccessTable());
    pWin->SetItemWidth(c.ItemWidth);
    pWin->SetAccessWidth(c.AccessWidth);
    pWin->SetBigEndian(c.BigEndian);
    AccessCounts::aPatchWidth.clear();
    ASSERT_EQ(pWin->Fill(c.First, c.Last, c.Value), 0);
    EXPECT_EQ(Read(0x1000, 10), c.Expected) << std::hex << c.First << " " << c.Value;
    EXPECT_EQ(AccessCounts::aPatchWidth, c.PatchWidths) << std::hex << c.First << " " << c.Value;
  }
  EXPECT_TRUE(pWin->GetTitle().endsWith(" (*)"));
  aMsg.clear();
  EXPECT_EQ(pWin->Fill(0x2000, 0x1FFF, 0), -1);
  EXPECT_EQ(LastError(), "Invalid address range 0x2000 - 0x1FFF: start address above end address");
  EXPECT_EQ(pWin->Fill(0, CHexEditor::MAX_WRITE_BYTES, 0), -1); // one byte too many: nothing written
  EXPECT_EQ(Read(0, 4), std::vector<uint8_t>(4, 0xEE));
}

TEST_F(HexEditor, EditMarksTheTitleAndSavingTheFileClearsIt) {
  std::string Dir = "/tmp/tforge-hexeditor-" + std::to_string(getpid());
  ASSERT_EQ(system(("mkdir -p " + Dir).c_str()), 0);
  std::string Path = Dir + "/app.hex";
  {
    DataImage* pSrc = DATAIMAGE_Create();
    std::vector<uint8_t> a = Ramp(0, 32);
    DATAIMAGE_AddData(pSrc, 0x08000000, 32, a.data());
    ASSERT_EQ(DATAFILE_Write(pSrc, Path.c_str(), 0, 0, nullptr, nullptr), 0);
    DATAIMAGE_Delete(pSrc);
  }
  ASSERT_EQ(DATAFILE_Read(nullptr, nullptr, pImage, Path.c_str(), 0), 0);
  Open();
  pWin->SetTitle(QString::fromStdString(Path));
  EXPECT_EQ(pWin->GetTitle().toStdString(), Path + " @ 08000000");

  // Typing over the item at 0x08000005 opens the overlay; Return writes it.
  pWin->SetCursor(0x08000005);
  pWin->focusProxy()->setFocus();
  QKeyEvent KeyA(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(pWin->focusProxy(), &KeyA);
  ASSERT_TRUE(pWin->GetItemEditor()->isVisible());
  EXPECT_EQ(pWin->GetItemEditor()->text(), "A");
  QKeyEvent KeyB(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b");
  QApplication::sendEvent(pWin->GetItemEditor(), &KeyB);
  QKeyEvent Ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(pWin->GetItemEditor(), &Ret);
  EXPECT_FALSE(pWin->GetItemEditor()->isVisible());
  EXPECT_EQ(pWin->GetCursor(), 0x08000006u); // on to the next item
  uint8_t b = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(pImage, 0x08000005, &b), 1); // a patch, not yet in the data
  EXPECT_EQ(b, 0xAB);
  EXPECT_EQ(pWin->GetTitle().toStdString(), Path + " @ 08000000 (*)");
  pWin->SetRefreshInterval(500);
  EXPECT_EQ(pWin->GetTitle().toStdString(), Path + " @ 08000000, 500 ms refresh (*)");
  pWin->SetRefreshInterval(0);
  EXPECT_EQ(pWin->GetLineText(0).toStdString(),
            "0800_0000  00 01 02 03 04 AB 06 07  08 09 0A 0B 0C 0D 0E 0F  .....\u00AB.........."); // Latin-1

  // Escape leaves the item as it was.
  pWin->StartEdit("7");
  QKeyEvent Esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(pWin->GetItemEditor(), &Esc);
  EXPECT_EQ(DATAIMAGE_GetByte(pImage, 0x08000006, &b), 0);

  // Saving the file (as the save job does) folds the patch; the window's refresh drops the mark.
  ASSERT_EQ(DATAFILE_Write(pImage, Path.c_str(), 0, 0, nullptr, nullptr), 0);
  pWin->SetImage(pImage);
  EXPECT_EQ(pWin->GetTitle().toStdString(), Path + " @ 08000000");
  DataImage* pBack = DATAIMAGE_Create();
  ASSERT_EQ(DATAFILE_Read(nullptr, nullptr, pBack, Path.c_str(), 0), 0);
  EXPECT_EQ(DATAIMAGE_GetByte(pBack, 0x08000005, &b), 0);
  EXPECT_EQ(b, 0xAB);
  DATAIMAGE_Delete(pBack);
  ASSERT_EQ(system(("rm -rf " + Dir).c_str()), 0);
}

TEST_F(HexEditor, SaveAndLoadOfARange) {
  std::string Dir = "/tmp/tforge-hexeditor-save-" + std::to_string(getpid());
  ASSERT_EQ(system(("mkdir -p " + Dir).c_str()), 0);
  AddBytes(0x1002, {1, 2});
  AddBytes(0x1006, {3});
  Open();
  pWin->SetItemWidth(1);
  ASSERT_EQ(pWin->WriteItem(0x1003, 0x99), 0); // the patch is saved too
  ASSERT_EQ(pWin->SaveToFile(QString::fromStdString(Dir + "/part.bin"), 0x1001, 0x1007), 0);
  EXPECT_EQ(ReadAll(Dir + "/part.bin"), std::string("\xFF\x01\x99\xFF\xFF\x03\xFF", 7));

  struct Case {
    const char* sFile;
    const char* sError;
  } aCase[] = {
      {"/part.elf", "Unsupported file type (*.elf)"},
      {"/missing/part.bin", nullptr}, // the writer's own text, naming the path
  };
  for (const Case& c : aCase) {
    aMsg.clear();
    std::string p = Dir + c.sFile;
    EXPECT_EQ(pWin->SaveToFile(QString::fromStdString(p), 0x1001, 0x1007), -1);
    if (c.sError) {
      EXPECT_EQ(LastError(), c.sError);
    } else {
      EXPECT_NE(LastError().find(p), std::string::npos) << LastError();
    }
  }

  WriteAll(Dir + "/in.bin", "\x10\x20\x30");
  ASSERT_EQ(pWin->LoadFromFile(QString::fromStdString(Dir + "/in.bin"), 0x1005), 0);
  EXPECT_EQ(Read(0x1004, 5), (std::vector<uint8_t>{0xEE, 0x10, 0x20, 0x30, 0xEE}));
  aMsg.clear();
  EXPECT_EQ(pWin->LoadFromFile(QString::fromStdString(Dir + "/none.bin"), 0x1005), -1);
  EXPECT_EQ(LastError(), "Could not open file for reading");
  ASSERT_EQ(system(("rm -rf " + Dir).c_str()), 0);
}

TEST_F(HexEditor, CopyFormats) {
  AddBytes(0x08000000, Ramp(1, 18));
  AddBytes(0x08000014, {0x41, 0x42});
  Open();
  enum { HEX, TEXT, C };
  struct Case {
    int Width;
    bool BigEndian;
    uint32_t First, Last;
    int Format;
    const char* sExpected;
  } aCase[] = {
      {1, false, 0x08000000, 0x08000003, C, "0x01, 0x02, 0x03, 0x04"},
      {1, false, 0x08000000, 0x08000003, HEX, "01 02 03 04"},
      {1, false, 0x08000006, 0x08000011, HEX, "07 08  09 0A 0B 0C 0D 0E 0F 10\n11 12"},
      {1, false, 0x08000006, 0x08000011, C, "0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,\n0x11, 0x12"},
      {1, false, 0x08000010, 0x08000017, HEX, "11 12 .. .. 41 42 .. .."},
      {1, false, 0x08000010, 0x08000017, TEXT, "....AB.."},
      {1, false, 0x0800000E, 0x08000015, TEXT, "......AB"}, // two lines, no line feed
      {2, false, 0x08000000, 0x08000003, HEX, "0201 0403"},
      {2, false, 0x08000000, 0x08000003, C, "0x0201, 0x0403"},
      {2, true, 0x08000001, 0x08000002, C, "0x0102, 0x0304"}, // whole items
      {4, true, 0x08000000, 0x08000007, HEX, "01020304 05060708"},
      {4, false, 0x08000000, 0x08000007, C, "0x04030201, 0x08070605"},
  };
  for (const Case& c : aCase) {
    pWin->SetBigEndian(c.BigEndian);
    pWin->SetItemWidth(c.Width);
    pWin->SetSelection(c.First, c.Last);
    aMsg.clear();
    int r = c.Format == HEX ? pWin->CopyHex() : c.Format == TEXT ? pWin->CopyText() : pWin->CopyCInitializer();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), c.sExpected) << c.Width << " " << std::hex << c.First;
    const char* aFormat[] = {"hex", "text", "hex as C initializer"};
    ASSERT_EQ(aMsg.size(), 1u);
    EXPECT_EQ(aMsg[0].Text, std::string("Memory selection copied to the clipboard (format=") + aFormat[c.Format] + ")");
  }

  pWin->SetItemWidth(1);
  pWin->SetSelection(0x08000011, 0x08000014);
  ASSERT_EQ(pWin->CopyBinary(), 0);
  EXPECT_EQ(QApplication::clipboard()->mimeData()->data("application/octet-stream"),
            QByteArray("\x12\xFF\xFF\x41", 4)); // no data copies as 0xFF, as a save fills it
  pWin->ClearSelection();
  aMsg.clear();
  EXPECT_EQ(pWin->CopyHex(), -1);
  EXPECT_EQ(LastError(), "Copy action could not be performed: no data to copy");
}

TEST_F(HexEditor, PasteTakesTextOrBinaryAndRefusesPictures) {
  AddBytes(0x100, Ramp(0, 8));
  Open();
  pWin->SetCursor(0x102);
  QApplication::clipboard()->setText("Hi");
  ASSERT_EQ(pWin->Paste(), 0);
  QMimeData* pRaw = new QMimeData;
  pRaw->setData("application/octet-stream", QByteArray("\x00\xFF", 2));
  QApplication::clipboard()->setMimeData(pRaw);
  pWin->SetCursor(0x106);
  ASSERT_EQ(pWin->Paste(), 0);
  EXPECT_EQ(Read(0x100, 9), (std::vector<uint8_t>{0, 1, 'H', 'i', 4, 5, 0x00, 0xFF, 0xEE}));
  QImage Picture(4, 4, QImage::Format_RGB32);
  Picture.fill(Qt::red);
  QApplication::clipboard()->setImage(Picture);
  aMsg.clear();
  EXPECT_EQ(pWin->Paste(), -1);
  EXPECT_EQ(LastError(), "Cannot paste clipboard contents: unsupported content type");
}

TEST_F(HexEditor, KeyboardMovesAndSelects) {
  AddBytes(0x200, Ramp(0, 64));
  Open();
  pWin->SetItemWidth(2);
  pWin->focusProxy()->setFocus();
  auto Key = [&](int k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, k, m);
    QApplication::sendEvent(pWin->focusProxy(), &e);
  };
  pWin->SetCursor(0x200);
  Key(Qt::Key_Right);
  Key(Qt::Key_Down);
  EXPECT_EQ(pWin->GetCursor(), 0x212u);
  Key(Qt::Key_Right, Qt::ShiftModifier);
  Key(Qt::Key_Right, Qt::ShiftModifier);
  uint32_t First = 0, Last = 0;
  ASSERT_TRUE(pWin->GetSelection(&First, &Last));
  EXPECT_EQ(First, 0x212u);
  EXPECT_EQ(Last, 0x217u);
  Key(Qt::Key_End);
  EXPECT_EQ(pWin->GetCursor(), 0x21Eu);
  EXPECT_FALSE(pWin->GetSelection(&First, &Last));
  Key(Qt::Key_End, Qt::ControlModifier); // the last data of the image
  EXPECT_EQ(pWin->GetCursor(), 0x23Eu);
  Key(Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(pWin->GetCursor(), 0x200u);
  Key(Qt::Key_PageDown);
  EXPECT_EQ(pWin->GetCursor(), 0x200u + (uint32_t)(pWin->GetNumVisibleLines() - 1) * 16);
}

// The dialogs work by keyboard alone: the first field has the focus, Tab moves on, Return accepts.
TEST_F(HexEditor, DialogsWorkByKeyboardAlone) {
  AddBytes(0x400, Ramp(0, 16));
  Open();
  pWin->SetCursor(0x404);
  auto Trigger = [&](const char* sText) {
    for (QAction* a : pWin->findChildren<QAction*>()) {
      if (a->text() == sText) return a->trigger();
    }
    FAIL() << sText;
  };
  auto TypeAndReturn = [](std::vector<QString> aText, std::string* pTitle) {
    QTimer::singleShot(0, [=] {
      // The keys go where the dialog's focus is (offscreen, the window itself is not activated).
      QWidget* pDlg = QApplication::activeModalWidget();
      if (pDlg == nullptr) return;
      *pTitle = pDlg->windowTitle().toStdString();
      for (size_t i = 0; i < aText.size(); i++) {
        QLineEdit* pEdit = qobject_cast<QLineEdit*>(pDlg->focusWidget());
        if (pEdit == nullptr) return;
        if (!aText[i].isNull()) pEdit->setText(aText[i]);
        if (i + 1 < aText.size()) {
          QKeyEvent Tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
          QApplication::sendEvent(pEdit, &Tab);
        }
      }
      QKeyEvent Ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(pDlg->focusWidget(), &Ret);
      // A dialog that did not take the keys is closed, so that the test fails instead of waiting.
      if (QDialog* p = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        *pTitle += " (still open)";
        p->reject();
      }
    });
  };
  std::string Title;
  // Fill: start address as offered (the cursor), end typed, size left, value typed.
  TypeAndReturn({QString(), "0x406", QString(), "7E"}, &Title);
  Trigger("&Fill");
  EXPECT_EQ(Title, "Fill Memory");
  EXPECT_EQ(Read(0x403, 5), (std::vector<uint8_t>{3, 0x7E, 0x7E, 0x7E, 7}));
  TypeAndReturn({"0x08001234"}, &Title);
  Trigger("&Go To...");
  EXPECT_EQ(Title, "Goto");
  EXPECT_EQ(pWin->GetTopAddr(), 0x08001230u);
  EXPECT_EQ(pWin->GetCursor(), 0x08001234u);
  // The toolbar's address box goes to its address on Return, and Go Back (Alt+Left) returns.
  QLineEdit* pBox = nullptr;
  for (QLineEdit* e : pWin->findChildren<QLineEdit*>()) {
    if (e->toolTip() == "Go To Memory Location") pBox = e;
  }
  ASSERT_NE(pBox, nullptr);
  pBox->setText("20000010");
  QKeyEvent Ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(pBox, &Ret);
  EXPECT_EQ(pWin->GetTopAddr(), 0x20000010u);
  Trigger("&Go Back");
  EXPECT_EQ(pWin->GetTopAddr(), 0x08001230u);
}

TEST_F(HexEditor, MouseSelectsItemsAndADoubleClickEdits) {
  AddBytes(0x300, Ramp(0x40, 32));
  Open();
  pWin->SetItemWidth(2);
  QWidget* pArea = pWin->focusProxy();
  HexLayout L(2, false);
  qreal Cell = QFontMetricsF(pArea->font()).horizontalAdvance(QLatin1Char('0'));
  int Line = pArea->fontMetrics().lineSpacing();
  auto At = [&](int Row, int Column) { return QPointF(4 + Column * Cell + Cell / 2, 4 + Row * Line + Line / 2); };
  auto Mouse = [&](QEvent::Type t, QPointF p, Qt::MouseButtons Held) {
    QMouseEvent e(t, p, pArea->mapToGlobal(p), Qt::LeftButton, Held, Qt::NoModifier);
    QApplication::sendEvent(pArea, &e);
  };
  // Pressing on the low byte of item 2 of line 0, releasing on the character of byte 5 of line 1.
  Mouse(QEvent::MouseButtonPress, At(0, L.ByteDigitColumn(4)), Qt::LeftButton);
  EXPECT_EQ(pWin->GetCursor(), 0x304u);
  Mouse(QEvent::MouseMove, At(1, L.CharColumn(5)), Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, At(1, L.CharColumn(5)), Qt::NoButton);
  uint32_t First = 0, Last = 0;
  ASSERT_TRUE(pWin->GetSelection(&First, &Last));
  EXPECT_EQ(First, 0x304u);
  EXPECT_EQ(Last, 0x315u);
  Mouse(QEvent::MouseButtonDblClick, At(1, L.ItemColumn(3)), Qt::LeftButton);
  EXPECT_EQ(pWin->GetCursor(), 0x316u);
  ASSERT_TRUE(pWin->GetItemEditor()->isVisible());
  EXPECT_EQ(pWin->GetItemEditor()->text(), "5756"); // the item as shown, to type over
}

} // namespace
