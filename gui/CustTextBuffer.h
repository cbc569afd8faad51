/*
 * CustTextBuffer - the bounded line buffer behind the log view, without any widget.
 *
 * Text is appended in pieces; the parser of the mode splits it into lines (tabs become two
 * blanks), extracts colour formatters from ANSI SGR sequences (formatted and terminal modes)
 * and channel prefixes (terminal mode). At most 10 000 lines are kept: the capacity doubles
 * up to that, then each new line replaces the oldest. Line indices count from the oldest.
 * Not thread-safe: the view guards it with its mutex.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum { CTV_MODE_PLAIN = 0, CTV_MODE_FORMATTED = 1, CTV_MODE_TERMINAL = 2 };
enum { CTV_MAX_LINES = 10000, CTV_MAX_LINE_LEN = 4096, CTV_MAX_FORMATTERS = 100 };

struct TextFormatter {
  int Pos;          // text position where it starts
  uint8_t Fg;       // palette index 0..7
  uint8_t Bg;       // palette index 0..7
  uint8_t FgBright; // 0 or 8
  uint8_t BgBright; // 0 or 8
};

struct TextLine {
  std::string Text;
  std::vector<TextFormatter> aFmt;
};

struct ColorScheme {
  uint8_t Text, Background, Channel1, OtherChannels, Channel254, Channel255;
};

class CustTextBuffer {
public:
  typedef void LINE_WRITER(const char* sLine, int Len); // a completed line and "\r\n"
  typedef void TEXT_ROUTINE(void* pUser, const char* sText);

  CustTextBuffer(int Mode, int Scheme, int InitCapacity);
  static const ColorScheme& GetScheme(int Scheme);

  void Append(const char* sText, int Len = -1);
  void Clear(); // the pending partial line goes to the line writer first
  void SetLineWriter(LINE_WRITER* pfWriter); // null removes it, writing a pending partial line
  void SetErrorRoutine(TEXT_ROUTINE* pf, void* pUser) {
    _pfError = pf;
    _pErrorUser = pUser;
  }

  int GetNumLines() const { return _NumLines; }
  const TextLine& GetLine(int Index) const { return _aLine[(size_t)((_Oldest + Index) % _Capacity)]; }
  int GetCapacity() const { return _Capacity; }
  int GetWidestLine() const { return _Widest; }
  bool HasWrapped() const { return _Wrapped; }
  // Number of lines dropped from the front since construction (lets callers keep positions).
  uint64_t GetNumDropped() const { return _NumDropped; }
  int GetMode() const { return _Mode; }
  int GetSchemeIndex() const { return _Scheme; }
  // Text of the lines first..last, columns firstCol..lastCol (exclusive), joined with "\r\n".
  std::string GetText(int FirstLine, int FirstCol, int LastLine, int LastCol) const;
  /*
   * Case-insensitive search for sText from (Line, Col): forward to the newest line or
   * backward to the oldest, without wrapping. True with the match's position.
   */
  bool Find(const std::string& sText, bool Forward, int* pLine, int* pCol) const;

private:
  void _CommitLine(const char* s, int Len, bool Finished);
  void _StoreText(TextLine& Line, const char* s, int Len);
  void _ApplySGR(const char* sParams, int Len, char Final, TextLine& Line);
  void _AddFormatter(TextLine& Line);
  void _ResetAttributes();
  void _Error(const char* sText);
  void _StartLine(TextLine& Line);
  void _WriteLine(const TextLine& Line);
  int _AppendTerminal(const char* s, int Len, std::string& Pending);

  int _Mode;
  int _Scheme;
  std::vector<TextLine> _aLine;
  int _Capacity;
  int _Oldest = 0;
  int _NumLines = 0;
  bool _Wrapped = false;
  bool _LastFinished = true; // the next text starts a new line
  int _Widest = 0;
  uint64_t _NumDropped = 0;
  TextFormatter _Cur;
  int _Channel = 0;
  LINE_WRITER* _pfWriter = nullptr;
  TEXT_ROUTINE* _pfError = nullptr;
  void* _pErrorUser = nullptr;
  bool _LenErrorShown = false;
};
