// The data window on a 64 MiB image in 100 000 ranges: scrolling, go-to and drawing a screen
// cost the same wherever the view stands, because only the lines on screen are read. Each run
// reports the reads of the access table per step beside the time.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cstdint>
#include <random>
#include <vector>

#include "bench/QtBenchMain.h"
#include "data/DATAIMAGE.h"
#include "gui/CHexEditor.h"
#include "tests/gui/CountingAccess.h"

namespace {

const uint32_t _Base = 0x08000000;
const uint32_t _NumRanges = 100000;
const uint32_t _RangeBytes = 671; // 100 000 × 671 bytes ≈ 64 MiB
const uint32_t _Stride = 736;     // each range followed by a gap of 65 bytes

DataImage* BigImage() {
  static DataImage* p = nullptr;
  if (p) return p;
  p = DATAIMAGE_Create();
  std::vector<uint8_t> a(_RangeBytes);
  for (uint32_t i = 0; i < _RangeBytes; i++)
    a[i] = (uint8_t)(i * 7);
  for (uint32_t r = 0; r < _NumRanges; r++)
    DATAIMAGE_AddData(p, _Base + r * _Stride, _RangeBytes, a.data());
  return p;
}

struct Window {
  CHexEditor Ed;
  explicit Window(int ItemWidth) : Ed(BigImage(), nullptr, CountingAccessTable()) {
    Ed.resize(Ed.sizeHint().width(), 900);
    Ed.SetItemWidth(ItemWidth);
    Ed.show();
    QApplication::processEvents();
  }
};

// Go-to to random addresses over the whole image (and its gaps) with the screen drawn each time.
void BM_HexViewGoToAndDraw(benchmark::State& State) {
  Window w((int)State.range(0));
  QImage Img(w.Ed.size(), QImage::Format_ARGB32_Premultiplied);
  std::mt19937 Rng(1);
  uint32_t Span = _NumRanges * _Stride;
  AccessCounts::NumReads = 0;
  for (auto _ : State) {
    w.Ed.GoTo(_Base + Rng() % Span);
    QPainter p(&Img);
    w.Ed.render(&p);
  }
  State.counters["reads_per_step"] =
      benchmark::Counter((double)AccessCounts::NumReads / (double)State.iterations());
  State.counters["lines_on_screen"] = w.Ed.GetNumVisibleLines();
}
BENCHMARK(BM_HexViewGoToAndDraw)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

// Scrolling line by line, at the first range (0) and at the last (1): the same cost.
void BM_HexViewScrollLine(benchmark::State& State) {
  Window w(1);
  uint32_t Start = State.range(0) ? _Base + (_NumRanges - 1) * _Stride : _Base;
  w.Ed.GoTo(Start);
  uint32_t Line = Start >> 4;
  int Dir = 1;
  AccessCounts::NumReads = 0;
  for (auto _ : State) {
    Line += (uint32_t)Dir;
    if ((Line & 0x3FF) == 0) Dir = -Dir; // stay near the start point
    w.Ed.ScrollToLine(Line);
  }
  State.counters["reads_per_step"] =
      benchmark::Counter((double)AccessCounts::NumReads / (double)State.iterations());
}
BENCHMARK(BM_HexViewScrollLine)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
  return QtBenchMain(argc, argv);
}
