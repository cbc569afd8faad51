/*
 * CustTextBuffer - parser and bounded line store of the log view.
 */
#include "gui/CustTextBuffer.h"

#include <algorithm>
#include <cstring>

#include "sys/UTIL.h"

namespace {

const ColorScheme _aScheme[3] = {
    {0, 15, 1, 8, 3, 2},  // 0: the log, white view
    {15, 0, 9, 7, 11, 10}, // 1: black view
    {0, 15, 1, 8, 3, 2},  // 2: transparent view
};

char _Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }

bool _IsHex(unsigned char c, int* pValue) {
  if (c >= '0' && c <= '9') {
    *pValue = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    *pValue = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    *pValue = c - 'A' + 10;
  } else {
    return false;
  }
  return true;
}

} // namespace

const ColorScheme& CustTextBuffer::GetScheme(int Scheme) { return _aScheme[(Scheme >= 0 && Scheme <= 2) ? Scheme : 0]; }

CustTextBuffer::CustTextBuffer(int Mode, int Scheme, int InitCapacity)
    : _Mode(Mode), _Scheme(Scheme), _Capacity(std::clamp(InitCapacity, 1, (int)CTV_MAX_LINES)) {
  _aLine.resize((size_t)_Capacity);
  _ResetAttributes();
}

void CustTextBuffer::_ResetAttributes() {
  const ColorScheme& s = GetScheme(_Scheme);
  _Cur.Pos = 0;
  _Cur.Fg = s.Text & 7;
  _Cur.FgBright = s.Text & 8;
  _Cur.Bg = s.Background & 7;
  _Cur.BgBright = s.Background & 8;
}

void CustTextBuffer::_Error(const char* sText) {
  if (_pfError) _pfError(_pErrorUser, sText);
}

void CustTextBuffer::SetLineWriter(LINE_WRITER* pfWriter) {
  if (pfWriter == nullptr && _pfWriter && !_LastFinished && _NumLines) _WriteLine(GetLine(_NumLines - 1));
  _pfWriter = pfWriter;
}

void CustTextBuffer::_WriteLine(const TextLine& Line) {
  if (_pfWriter == nullptr) return;
  char acStack[1024];
  int n = (int)Line.Text.size();
  if (n + 2 <= (int)sizeof(acStack)) {
    std::memcpy(acStack, Line.Text.data(), (size_t)n);
    acStack[n] = '\r';
    acStack[n + 1] = '\n';
    _pfWriter(acStack, n + 2);
  } else {
    std::string s = Line.Text + "\r\n";
    _pfWriter(s.data(), (int)s.size());
  }
}

void CustTextBuffer::Clear() {
  if (!_LastFinished && _NumLines) _WriteLine(GetLine(_NumLines - 1));
  for (TextLine& l : _aLine) {
    l.Text.clear();
    l.aFmt.clear();
  }
  _NumDropped += (uint64_t)_NumLines;
  _Oldest = 0;
  _NumLines = 0;
  _Wrapped = false;
  _LastFinished = true;
  _Widest = 0;
}

void CustTextBuffer::_StartLine(TextLine& Line) {
  Line.Text.clear();
  Line.aFmt.clear();
  _LenErrorShown = false;
  if (_Mode == CTV_MODE_TERMINAL) {
    const ColorScheme& s = GetScheme(_Scheme);
    uint8_t c = (_Channel == 0)     ? s.Text
                : (_Channel == 1)   ? s.Channel1
                : (_Channel == 254) ? s.Channel254
                : (_Channel == 255) ? s.Channel255
                                    : s.OtherChannels;
    _Cur.Fg = c & 7;
    _Cur.FgBright = c & 8;
  }
  if (_Mode != CTV_MODE_PLAIN) {
    Line.aFmt.reserve(5);
    TextFormatter f = _Cur;
    f.Pos = 0;
    Line.aFmt.push_back(f);
  }
  if (_Mode == CTV_MODE_TERMINAL && _Channel != 254) {
    char ac[8];
    if (_Channel == 255) {
      UTIL_strcpy(ac, "  < ", sizeof(ac));
    } else {
      UTIL_sprintf(ac, sizeof(ac), "%.2d> ", _Channel);
    }
    Line.Text += ac;
  }
}

void CustTextBuffer::_AddFormatter(TextLine& Line) {
  TextFormatter f = _Cur;
  f.Pos = (int)Line.Text.size();
  if (!Line.aFmt.empty() && Line.aFmt.back().Pos == f.Pos) {
    Line.aFmt.back() = f;
    return;
  }
  if ((int)Line.aFmt.size() >= CTV_MAX_FORMATTERS) {
    char ac[160];
    UTIL_sprintf(ac, sizeof(ac),
                 "Maximum number of formatters per line exceeded (%d formatters). Not all formatters could be applied!",
                 (int)CTV_MAX_FORMATTERS);
    _Error(ac);
    return;
  }
  Line.aFmt.push_back(f);
}

void CustTextBuffer::_ApplySGR(const char* sParams, int Len, char Final, TextLine& Line) {
  std::string p(sParams, (size_t)Len);
  if (p == "0" && Final == 'm') {
    _ResetAttributes();
  } else if (p == "2" && Final == 'J') {
    Clear();
    _StartLine(Line);
    return;
  } else {
    // A list of decimal numbers separated by semicolons, whatever the final byte.
    size_t i = 0;
    do {
      int v = 0;
      bool Any = false;
      while (i < p.size() && p[i] >= '0' && p[i] <= '9') {
        v = std::min(v * 10 + (p[i] - '0'), 100000);
        Any = true;
        i++;
      }
      while (i < p.size() && p[i] != ';') i++;
      if (i < p.size()) i++;
      if (!Any) v = 0;
      if (v >= 64) continue;
      if (v == 0) {
        _ResetAttributes();
      } else if (v == 1) {
        _Cur.FgBright = 8;
      } else if (v == 2) {
        _Cur.FgBright = 0;
      } else if (v == 4) {
        _Cur.BgBright = 8;
      } else if (v == 24) {
        _Cur.BgBright = 0;
      } else if (v >= 30 && v <= 37) {
        _Cur.Fg = (uint8_t)(v - 30);
      } else if (v >= 40 && v <= 47) {
        _Cur.Bg = (uint8_t)(v - 40);
      } else {
        char ac[64];
        UTIL_sprintf(ac, sizeof(ac), "ANSI CSI SGR parameter %d not supported.", v);
        _Error(ac);
      }
    } while (i < p.size());
  }
  _AddFormatter(Line);
}

void CustTextBuffer::_StoreText(TextLine& Line, const char* s, int Len) {
  auto put = [&](char c) {
    if ((int)Line.Text.size() >= CTV_MAX_LINE_LEN) {
      if (!_LenErrorShown) {
        _LenErrorShown = true;
        char ac[128];
        UTIL_sprintf(ac, sizeof(ac),
                     "Line contents exceed maximum of %d characters. Not all content could be displayed!",
                     (int)CTV_MAX_LINE_LEN);
        _Error(ac);
      }
      return false;
    }
    Line.Text += c;
    return true;
  };
  if (_Mode == CTV_MODE_PLAIN) {
    for (int i = 0; i < Len; i++) {
      if (!put(s[i])) break;
    }
    return;
  }
  for (int i = 0; i < Len; i++) {
    unsigned char c = (unsigned char)s[i];
    int Start = -1;
    if (c == 0x1B && i + 1 < Len) {
      Start = i + 2; // the byte after ESC is taken as '[' without checking
    } else if (c == 0x9B) {
      Start = i + 1;
    }
    if (Start >= 0) {
      int j = Start;
      while (j < Len && (unsigned char)s[j] >= 0x20 && (unsigned char)s[j] <= 0x3F) j++;
      if (j < Len && (unsigned char)s[j] >= 0x40 && (unsigned char)s[j] <= 0x7E) {
        _ApplySGR(s + Start, std::min(j - Start, 31), s[j], Line);
        i = j;
        continue;
      }
      // Incomplete or broken: only the escape character is dropped.
      if (c == 0x1B || c == 0x9B) continue;
    }
    if (c == 0x1B) continue;
    if (!put((char)c)) break;
  }
}

void CustTextBuffer::_CommitLine(const char* s, int Len, bool Finished) {
  TextLine* pLine;
  if (_LastFinished || _NumLines == 0) {
    if (_NumLines < _Capacity) {
      pLine = &_aLine[(size_t)((_Oldest + _NumLines) % _Capacity)];
      _NumLines++;
    } else if (_Capacity < CTV_MAX_LINES) {
      // Lines are only dropped once 10 000 are held, so the store is not wrapped here.
      _Capacity = std::min(_Capacity * 2, (int)CTV_MAX_LINES);
      _aLine.resize((size_t)_Capacity);
      pLine = &_aLine[(size_t)_NumLines];
      _NumLines++;
    } else {
      pLine = &_aLine[(size_t)_Oldest];
      _Oldest = (_Oldest + 1) % _Capacity;
      _Wrapped = true;
      _NumDropped++;
    }
    _StartLine(*pLine);
  } else {
    pLine = &_aLine[(size_t)((_Oldest + _NumLines - 1) % _Capacity)];
  }
  _StoreText(*pLine, s, Len);
  _Widest = std::max(_Widest, (int)pLine->Text.size());
  _LastFinished = Finished;
  if (Finished) _WriteLine(*pLine);
}

int CustTextBuffer::_AppendTerminal(const char* s, int Len, std::string& Pending) {
  // Handles one channel change at s[0] == 0xFF; returns the bytes consumed, or -1 at the end.
  int i = 1;
  for (;;) {
    if (i >= Len || s[i] == 0) return -1;
    int v;
    if (!_IsHex((unsigned char)s[i], &v)) {
      _Error("Terminal change character (IAC) followed by invalid character (non-hexadecimal).");
      return i + 1;
    }
    if (v != _Channel) {
      if (!Pending.empty() || !_LastFinished) _CommitLine(Pending.data(), (int)Pending.size(), true);
      Pending.clear();
      _Channel = v;
    }
    i++;
    if (i < Len && (unsigned char)s[i] == 0xFF) {
      i++; // a further change right after the digit; the last one wins
      continue;
    }
    return i;
  }
}

void CustTextBuffer::Append(const char* sText, int Len) {
  if (sText == nullptr) return;
  if (Len < 0) Len = (int)std::strlen(sText);
  std::string Pending;
  Pending.reserve(1024);
  for (int i = 0; i < Len; i++) {
    char c = sText[i];
    if (c == 0) break;
    if (_Mode == CTV_MODE_TERMINAL && (unsigned char)c == 0xFF) {
      int n = _AppendTerminal(sText + i, Len - i, Pending);
      if (n < 0) break;
      i += n - 1;
      continue;
    }
    if (c == '\t') {
      Pending += "  ";
    } else if (c == '\r' || c == '\n') {
      _CommitLine(Pending.data(), (int)Pending.size(), true);
      Pending.clear();
      if (c == '\r' && i + 1 < Len && sText[i + 1] == '\n') i++;
    } else {
      Pending += c;
    }
  }
  if (!Pending.empty()) _CommitLine(Pending.data(), (int)Pending.size(), false);
}

std::string CustTextBuffer::GetText(int FirstLine, int FirstCol, int LastLine, int LastCol) const {
  std::string r;
  FirstLine = std::max(FirstLine, 0);
  LastLine = std::min(LastLine, _NumLines - 1);
  for (int l = FirstLine; l <= LastLine; l++) {
    const std::string& t = GetLine(l).Text;
    int a = (l == FirstLine) ? std::clamp(FirstCol, 0, (int)t.size()) : 0;
    int b = (l == LastLine) ? std::clamp(LastCol, a, (int)t.size()) : (int)t.size();
    if (l != FirstLine) r += "\r\n";
    r.append(t, (size_t)a, (size_t)(b - a));
  }
  return r;
}

bool CustTextBuffer::Find(const std::string& sText, bool Forward, int* pLine, int* pCol) const {
  if (sText.empty() || _NumLines == 0) return false;
  std::string Needle;
  for (char c : sText) Needle += _Lower(c);
  auto MatchAt = [&](const std::string& t, int Col) {
    if (Col < 0 || Col + (int)Needle.size() > (int)t.size()) return false;
    for (size_t k = 0; k < Needle.size(); k++) {
      if (_Lower(t[(size_t)Col + k]) != Needle[k]) return false;
    }
    return true;
  };
  int Line = std::clamp(*pLine, 0, _NumLines - 1);
  int Col = *pCol;
  if (Forward) {
    for (int l = Line; l < _NumLines; l++) {
      const std::string& t = GetLine(l).Text;
      for (int c = (l == Line) ? std::max(Col, 0) : 0; c + (int)Needle.size() <= (int)t.size(); c++) {
        if (MatchAt(t, c)) {
          *pLine = l;
          *pCol = c;
          return true;
        }
      }
    }
  } else {
    for (int l = Line; l >= 0; l--) {
      const std::string& t = GetLine(l).Text;
      int Start = (l == Line) ? std::min(Col - 1, (int)t.size() - (int)Needle.size())
                              : (int)t.size() - (int)Needle.size();
      for (int c = Start; c >= 0; c--) {
        if (MatchAt(t, c)) {
          *pLine = l;
          *pCol = c;
          return true;
        }
      }
    }
  }
  return false;
}
