/*
 * DATAIMAGE - ranges are kept in a map keyed by their first address, so that an add, a delete
 * or a block search finds its place in logarithmic time instead of walking a list; ascending
 * loads still take the constant-time path at the last range. Range buffers keep spare room at
 * both ends, so that prepending (descending loads) is as cheap as appending, and joining two
 * ranges copies the shorter one into the longer.
 */
#include "data/DATAIMAGE.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "data/CRC32.h"
#include "sys/SYS.h"

namespace {

// Map nodes come from a pool of the image: chunks of 256 nodes, each chunk one tagged block,
// so that an image of 100 000 ranges does not pay a block header and a heap header per node.
struct NodePool {
  const char* sTag;
  void* pFree = nullptr;        // free nodes, linked through their first word
  void* pChunks = nullptr;      // chunks, linked through their first word
  size_t NodeSize = 0;
  explicit NodePool(const char* s) : sTag(s) {}
  ~NodePool() {
    while (pChunks) {
      void* pNext = *static_cast<void**>(pChunks);
      SYS_MEM_Free(pChunks);
      pChunks = pNext;
    }
  }
  void* Get(size_t n) {
    n = (n + 15) & ~(size_t)15;
    if (NodeSize == 0) NodeSize = n;
    if (n != NodeSize) { // never for map nodes; kept correct anyway
      void* p = SYS_MEM_Alloc(n, sTag);
      if (p == nullptr) throw std::bad_alloc();
      return p;
    }
    if (pFree == nullptr) {
      const size_t NUM = 256;
      uint8_t* pChunk = static_cast<uint8_t*>(SYS_MEM_Alloc(16 + NUM * n, sTag));
      if (pChunk == nullptr) throw std::bad_alloc();
      *reinterpret_cast<void**>(pChunk) = pChunks;
      pChunks = pChunk;
      for (size_t i = 0; i < NUM; i++) Put(pChunk + 16 + i * n, n);
    }
    void* p = pFree;
    pFree = *static_cast<void**>(p);
    return p;
  }
  void Put(void* p, size_t n) {
    n = (n + 15) & ~(size_t)15;
    if (n != NodeSize) {
      SYS_MEM_Free(p);
      return;
    }
    *static_cast<void**>(p) = pFree;
    pFree = p;
  }
};

template <class T> struct TaggedAlloc {
  using value_type = T;
  NodePool* pPool;
  explicit TaggedAlloc(NodePool* p) : pPool(p) {}
  template <class U> TaggedAlloc(const TaggedAlloc<U>& o) : pPool(o.pPool) {}
  T* allocate(size_t n) { return static_cast<T*>(pPool->Get(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { pPool->Put(p, n * sizeof(T)); }
  template <class U> bool operator==(const TaggedAlloc<U>& o) const { return pPool == o.pPool; }
};

struct Range {
  uint8_t* pAlloc;   // null: data-less range
  uint32_t Head;     // offset of the first byte in pAlloc
  uint32_t NumBytes; // the range covers start ... start + NumBytes - 1
  uint32_t Cap;      // bytes allocated at pAlloc
  uint8_t* Data() const { return pAlloc + Head; }
};

using RangeMap = std::map<uint32_t, Range, std::less<uint32_t>, TaggedAlloc<std::pair<const uint32_t, Range>>>;
using RangeIt = RangeMap::iterator;
using PatchIndex =
    std::map<uint32_t, uint8_t, std::less<uint32_t>, TaggedAlloc<std::pair<const uint32_t, uint8_t>>>;

struct DataPatch {
  uint32_t Addr;
  uint8_t Value;
};

constexpr uint64_t ADDR_SPACE = 0x100000000ull;
constexpr const char* TAG_DATA = "DATAIMAGE: range data";

std::atomic<int> _LockTimeoutMs{DATAIMAGE_LOCK_TIMEOUT_MS};
std::atomic<uint64_t> _NextSeq{1};

inline uint64_t _End(const RangeIt& it) { return (uint64_t)it->first + it->second.NumBytes; }

} // namespace

struct DataImage {
  NodePool RangePool{"DATAIMAGE: ranges"};
  NodePool PatchPool{"DATAIMAGE: patch index"};
  RangeMap Ranges{TaggedAlloc<std::pair<const uint32_t, Range>>(&RangePool)};
  bool IsDataLess = false; // kind of the ranges; meaningful while there are ranges
  uint32_t ChangeCounter = 1;
  DataPatch* paPatch = nullptr;
  uint32_t NumPatches = 0;
  uint32_t PatchCap = 0;
  PatchIndex Latest{TaggedAlloc<std::pair<const uint32_t, uint8_t>>(&PatchPool)};
  SYS_MUTEX* pLock = nullptr;
  // Operations on several images lock them in the order of creation, whatever the order of
  // their arguments, so that two threads merging A into B and B into A cannot block each other.
  uint64_t Seq = _NextSeq.fetch_add(1);
  // The thread that holds pLock, and how often. A nested lock (a reader adding record after
  // record under the lock it took for the whole file) is counted here without asking the
  // mutex, whose timed wait reads the clock on every call. Only the owner ever finds its own id.
  std::atomic<std::thread::id> Owner{};
  uint32_t Depth = 0;
  int32_t CacheIndex = -1; // iterator cache of index lookups; -1: empty
  RangeIt CacheIt;
  bool BlockCacheValid = false; // the last range reached by a block search
  RangeIt BlockIt;

  void Changed() {
    if (++ChangeCounter == 0) ChangeCounter = 1;
  }
  void Restructured() {
    Changed();
    CacheIndex = -1;
    BlockCacheValid = false;
  }
};

namespace {

/*********************************************************************
 * Locks
 */
bool _Lock(DataImage* p) {
  std::thread::id self = std::this_thread::get_id();
  if (p->Owner.load(std::memory_order_relaxed) == self) {
    p->Depth++;
    return true;
  }
  if (SYS_MUTEX_Lock(p->pLock, _LockTimeoutMs.load()) != 0) {
    std::fprintf(stderr, "DATAIMAGE: image lock not obtained within %d ms\n", _LockTimeoutMs.load());
    return false;
  }
  p->Owner.store(self, std::memory_order_relaxed);
  p->Depth = 1;
  return true;
}

void _Unlock(DataImage* p) {
  if (--p->Depth) return;
  p->Owner.store(std::thread::id(), std::memory_order_relaxed);
  SYS_MUTEX_Unlock(p->pLock);
}

// Locks one, two or three images (null ones are skipped, repeated ones locked once) in the
// order of their creation and unlocks them in reverse. Ok() only when every one was had; when
// one times out, those already taken are given back at once.
class ImageLock {
public:
  explicit ImageLock(DataImage* pA, DataImage* pB = nullptr, DataImage* pC = nullptr) {
    for (DataImage* p : {pA, pB, pC}) { // insertion by creation order, each image once
      if (p == nullptr || std::find(_ap, _ap + _n, p) != _ap + _n) continue;
      int i = _n++;
      for (; i > 0 && _ap[i - 1]->Seq > p->Seq; i--) _ap[i] = _ap[i - 1];
      _ap[i] = p;
    }
    for (int i = 0; i < _n; i++) {
      if (!_Lock(_ap[i])) {
        _Release(i);
        _n = 0;
        _Ok = false;
        return;
      }
    }
    _Ok = _n > 0;
  }
  ~ImageLock() { _Release(_n); }
  ImageLock(const ImageLock&) = delete;
  ImageLock& operator=(const ImageLock&) = delete;
  bool Ok() const { return _Ok; }

private:
  void _Release(int NumLocked) {
    while (NumLocked > 0) _Unlock(_ap[--NumLocked]);
  }
  DataImage* _ap[3] = {};
  int _n = 0;
  bool _Ok = false;
};

/*********************************************************************
 * Range buffers
 */
void _FreeRange(Range& r) {
  SYS_MEM_Free(r.pAlloc);
  r.pAlloc = nullptr;
}

// Room for n more bytes behind the range: grows by an eighth plus 128 bytes.
bool _ReserveBack(Range& r, uint64_t n) {
  if (r.pAlloc == nullptr) return true;
  uint64_t need = (uint64_t)r.Head + r.NumBytes + n;
  if (need <= r.Cap) return true;
  uint64_t cap = (uint64_t)r.Cap + r.Cap / 8 + n + 128;
  if (cap > 0xFFFFFFFFull) cap = need;
  if (need > 0xFFFFFFFFull) return false;
  void* p = SYS_MEM_Realloc(r.pAlloc, (size_t)cap);
  if (p == nullptr) return false;
  r.pAlloc = static_cast<uint8_t*>(p);
  r.Cap = (uint32_t)cap;
  return true;
}

// Room for n more bytes in front of the range, with spare room for later prepends.
bool _ReserveFront(Range& r, uint64_t n) {
  if (r.pAlloc == nullptr || r.Head >= n) return true;
  uint64_t head = n + r.NumBytes / 8 + 128;
  uint64_t cap = head + r.NumBytes;
  if (cap > 0xFFFFFFFFull) {
    head = n;
    cap = head + r.NumBytes;
    if (cap > 0xFFFFFFFFull) return false;
  }
  uint8_t* p = static_cast<uint8_t*>(SYS_MEM_Alloc((size_t)cap, TAG_DATA));
  if (p == nullptr) return false;
  std::memcpy(p + head, r.Data(), r.NumBytes);
  SYS_MEM_Free(r.pAlloc);
  r.pAlloc = p;
  r.Head = (uint32_t)head;
  r.Cap = (uint32_t)cap;
  return true;
}

// Bytes from pSrc, or Fill when pSrc is null, into pDest (nothing for a data-less range).
void _Put(uint8_t* pDest, const uint8_t* pSrc, int Fill, uint64_t n) {
  if (pDest == nullptr || n == 0) return;
  if (pSrc) {
    std::memmove(pDest, pSrc, (size_t)n);
  } else {
    std::memset(pDest, Fill, (size_t)n);
  }
}

void _ShrinkToFit(Range& r) {
  if (r.pAlloc == nullptr || (uint64_t)r.Head + r.NumBytes == r.Cap) return;
  if (r.Head) {
    std::memmove(r.pAlloc, r.Data(), r.NumBytes);
    r.Head = 0;
  }
  uint32_t n = r.NumBytes ? r.NumBytes : 1;
  void* p = SYS_MEM_Realloc(r.pAlloc, n);
  if (p) {
    r.pAlloc = static_cast<uint8_t*>(p);
    r.Cap = n;
  }
}

/*********************************************************************
 * Lookups (image locked by the caller)
 */
// The range that holds Addr, or end().
RangeIt _Find(DataImage* p, uint32_t Addr) {
  auto it = p->Ranges.upper_bound(Addr);
  if (it == p->Ranges.begin()) return p->Ranges.end();
  --it;
  return (uint64_t)Addr < _End(it) ? it : p->Ranges.end();
}

// The first range that ends after Addr (holds it or lies above it), or end().
RangeIt _FindAtOrAfter(DataImage* p, uint32_t Addr) {
  auto it = p->Ranges.upper_bound(Addr);
  if (it != p->Ranges.begin()) {
    auto prev = std::prev(it);
    if ((uint64_t)Addr < _End(prev)) return prev;
  }
  return it;
}

int _GetByte(DataImage* p, uint32_t Addr, uint8_t* pValue) {
  if (p->NumPatches) {
    auto pt = p->Latest.find(Addr);
    if (pt != p->Latest.end()) {
      if (pValue) *pValue = pt->second;
      return 1;
    }
  }
  auto it = _Find(p, Addr);
  if (it == p->Ranges.end()) return -1;
  if (it->second.pAlloc == nullptr) return -2;
  if (pValue) *pValue = it->second.Data()[Addr - it->first];
  return 0;
}

// Copies the window First ... First + NumBytes - 1: fill value (mask 0) where no range is, the
// range bytes (mask 1), then the patches inside the window on top.
void _CopyWindow(DataImage* p, uint32_t First, uint64_t NumBytes, uint8_t* pData, uint8_t* pMask, uint8_t Fill) {
  if (NumBytes == 0) return;
  if (pData) std::memset(pData, Fill, (size_t)NumBytes);
  if (pMask) std::memset(pMask, 0, (size_t)NumBytes);
  uint64_t end = (uint64_t)First + NumBytes;
  for (auto it = _FindAtOrAfter(p, First); it != p->Ranges.end() && it->first < end; ++it) {
    uint64_t lo = std::max<uint64_t>(it->first, First), hi = std::min(_End(it), end);
    if (pData && it->second.pAlloc) std::memcpy(pData + (lo - First), it->second.Data() + (lo - it->first), hi - lo);
    if (pMask) std::memset(pMask + (lo - First), 1, hi - lo);
  }
  if (p->NumPatches == 0) return;
  for (auto pt = p->Latest.lower_bound(First); pt != p->Latest.end() && pt->first < end; ++pt) {
    if (pData) pData[pt->first - First] = pt->second;
    if (pMask) pMask[pt->first - First] = 1;
  }
}

/*********************************************************************
 * Adding
 */
// Adds NumBytes at Addr from pSrc, or Fill (0..255) when pSrc is null, or a data-less range when
// both are absent (Fill < 0). 0, or -1 with nothing changed.
int _Add(DataImage* p, uint32_t Addr, uint64_t NumBytes, const uint8_t* pSrc, int Fill) {
  if (NumBytes == 0) return 0;
  uint64_t end = (uint64_t)Addr + NumBytes;
  if (end > ADDR_SPACE) return -1;
  bool isDataLess = (pSrc == nullptr && Fill < 0);
  if (!p->Ranges.empty() && p->IsDataLess != isDataLess) return -1;
  RangeIt next = p->Ranges.end();
  if (!p->Ranges.empty()) {
    auto last = std::prev(p->Ranges.end());
    uint64_t lastEnd = _End(last);
    if (Addr == lastEnd) { // ascending load: append to the last range
      if ((uint64_t)last->second.NumBytes + NumBytes > 0xFFFFFFFFull) return -1; // 4 GiB has no length
      if (!_ReserveBack(last->second, NumBytes)) return -1;
      Range& r = last->second;
      _Put(r.pAlloc ? r.Data() + r.NumBytes : nullptr, pSrc, Fill, NumBytes);
      r.NumBytes += (uint32_t)NumBytes;
      p->Changed();
      return 0;
    }
    if (Addr > lastEnd) {
      _ShrinkToFit(last->second); // the load has moved past it
    } else {
      next = p->Ranges.upper_bound(Addr);
    }
  }
  RangeIt prev = (next == p->Ranges.begin()) ? p->Ranges.end() : std::prev(next);
  bool hasPrev = (prev != p->Ranges.end()), hasNext = (next != p->Ranges.end());
  if (hasPrev && _End(prev) > Addr) return -1;
  if (hasNext && next->first < end) return -1;
  bool touchPrev = hasPrev && _End(prev) == Addr;
  bool touchNext = hasNext && next->first == end;
  if (touchPrev && touchNext) {
    Range& a = prev->second;
    Range& b = next->second;
    uint64_t total = (uint64_t)a.NumBytes + NumBytes + b.NumBytes;
    if (total > 0xFFFFFFFFull) return -1; // a range covering all 4 GiB has no length
    if (a.NumBytes >= b.NumBytes) { // the shorter range moves into the longer one
      if (!_ReserveBack(a, NumBytes + b.NumBytes)) return -1;
      if (a.pAlloc) {
        _Put(a.Data() + a.NumBytes, pSrc, Fill, NumBytes);
        std::memcpy(a.Data() + a.NumBytes + NumBytes, b.Data(), b.NumBytes);
      }
      a.NumBytes = (uint32_t)total;
      _FreeRange(b);
      p->Ranges.erase(next);
    } else {
      if (!_ReserveFront(b, a.NumBytes + NumBytes)) return -1;
      if (b.pAlloc) {
        b.Head -= (uint32_t)(NumBytes + a.NumBytes);
        std::memcpy(b.Data(), a.Data(), a.NumBytes);
        _Put(b.Data() + a.NumBytes, pSrc, Fill, NumBytes);
      }
      b.NumBytes = (uint32_t)total;
      uint32_t start = prev->first;
      _FreeRange(a);
      p->Ranges.erase(prev);
      auto node = p->Ranges.extract(next);
      node.key() = start;
      p->Ranges.insert(std::move(node));
    }
    p->Restructured();
    return 0;
  }
  if (touchPrev) {
    Range& a = prev->second;
    if ((uint64_t)a.NumBytes + NumBytes > 0xFFFFFFFFull || !_ReserveBack(a, NumBytes)) return -1;
    _Put(a.pAlloc ? a.Data() + a.NumBytes : nullptr, pSrc, Fill, NumBytes);
    a.NumBytes += (uint32_t)NumBytes;
    p->Changed();
    return 0;
  }
  if (touchNext) {
    Range& b = next->second;
    if ((uint64_t)b.NumBytes + NumBytes > 0xFFFFFFFFull || !_ReserveFront(b, NumBytes)) return -1;
    if (b.pAlloc) {
      b.Head -= (uint32_t)NumBytes;
      _Put(b.Data(), pSrc, Fill, NumBytes);
    }
    b.NumBytes += (uint32_t)NumBytes;
    auto node = p->Ranges.extract(next);
    node.key() = Addr;
    p->Ranges.insert(std::move(node));
    p->Restructured();
    return 0;
  }
  if (NumBytes > 0xFFFFFFFFull) return -1;
  Range r{nullptr, 0, (uint32_t)NumBytes, 0};
  if (!isDataLess) {
    r.Cap = (uint32_t)std::max<uint64_t>(NumBytes, 128);
    r.pAlloc = static_cast<uint8_t*>(SYS_MEM_Alloc(r.Cap, TAG_DATA));
    if (r.pAlloc == nullptr) return -1;
    _Put(r.pAlloc, pSrc, Fill, NumBytes);
  }
  try {
    p->Ranges.emplace_hint(next, Addr, r);
  } catch (const std::bad_alloc&) {
    _FreeRange(r);
    return -1;
  }
  if (p->Ranges.size() == 1) p->IsDataLess = isDataLess;
  p->Restructured();
  return 0;
}

/*********************************************************************
 * Deleting
 */
int _DeleteRange(DataImage* p, uint32_t First, uint32_t Last) {
  if (Last < First) return 0;
  p->Restructured();
  uint64_t winEnd = (uint64_t)Last + 1;
  auto it = _FindAtOrAfter(p, First);
  while (it != p->Ranges.end() && it->first <= Last) {
    Range& r = it->second;
    uint64_t start = it->first, end = _End(it);
    if (start >= First && end <= winEnd) { // wholly inside
      _FreeRange(r);
      it = p->Ranges.erase(it);
      continue;
    }
    if (start < First && end > winEnd) { // window strictly inside: split
      uint64_t upperLen = end - winEnd;
      Range upper{nullptr, 0, (uint32_t)upperLen, 0};
      if (r.pAlloc) {
        upper.Cap = (uint32_t)std::max<uint64_t>(upperLen, 128);
        upper.pAlloc = static_cast<uint8_t*>(SYS_MEM_Alloc(upper.Cap, TAG_DATA));
        if (upper.pAlloc == nullptr) return -1;
        std::memcpy(upper.pAlloc, r.Data() + (winEnd - start), upperLen);
      }
      try {
        p->Ranges.emplace_hint(std::next(it), (uint32_t)winEnd, upper);
      } catch (const std::bad_alloc&) {
        _FreeRange(upper);
        return -1;
      }
      r.NumBytes = (uint32_t)(First - start);
      _ShrinkToFit(r);
      return 0;
    }
    if (start >= First) { // window covers the start: drop the leading bytes
      uint32_t drop = (uint32_t)(winEnd - start);
      r.Head += r.pAlloc ? drop : 0;
      r.NumBytes -= drop;
      auto node = p->Ranges.extract(it);
      node.key() = (uint32_t)winEnd;
      p->Ranges.insert(std::move(node));
      return 0; // nothing lies above the window's end in this window
    }
    r.NumBytes = (uint32_t)(First - start); // window covers the end: drop the trailing bytes
    _ShrinkToFit(r);
    ++it;
  }
  return 0;
}

/*********************************************************************
 * Block search
 */
uint32_t _GetBlock(DataImage* p, uint32_t Addr, uint32_t LastAddr, uint32_t MaxGap, uint8_t Fill, uint8_t* pData,
                   uint8_t* pMask, uint32_t* pBlockAddr, uint32_t MaxSize, int StartAlignBits, int SizeAlignBits) {
  if (LastAddr < Addr) return 0;
  uint64_t maxSize = MaxSize ? MaxSize : 0xFFFFFFFFull;
  RangeIt it = p->Ranges.end();
  if (p->BlockCacheValid && Addr >= p->BlockIt->first) { // sequential walks stay at the cache
    auto nx = std::next(p->BlockIt);
    if ((uint64_t)Addr < _End(p->BlockIt)) {
      it = p->BlockIt;
    } else if (nx == p->Ranges.end() || (uint64_t)Addr < _End(nx)) {
      it = nx;
    } else {
      it = _FindAtOrAfter(p, Addr);
    }
  } else {
    it = _FindAtOrAfter(p, Addr);
  }
  if (it == p->Ranges.end() || it->first > LastAddr) return 0;
  uint64_t limit = (uint64_t)LastAddr + 1;
  uint64_t start = std::max<uint64_t>(Addr, it->first);
  uint64_t end = std::min(_End(it), limit);
  if (end - start < maxSize && MaxGap) {
    for (auto nx = std::next(it); nx != p->Ranges.end() && end - start < maxSize; ++nx) {
      if (nx->first >= limit || nx->first - end > MaxGap) break;
      end = std::min(_End(nx), limit);
      it = nx;
    }
  }
  p->BlockIt = it;
  p->BlockCacheValid = true;
  uint64_t startMask = StartAlignBits > 0 ? ((1ull << std::min(StartAlignBits, 32)) - 1) : 0;
  uint64_t sizeMask = SizeAlignBits > 0 ? ((1ull << std::min(SizeAlignBits, 32)) - 1) : 0;
  start &= ~startMask;
  end = (end + sizeMask) & ~sizeMask;
  uint64_t len = end - start;
  if (len > maxSize) {
    uint64_t cut = maxSize - ((maxSize + start) & sizeMask);
    len = cut ? cut : maxSize;
  }
  if (len > 0xFFFFFFFFull) len = 0xFFFFFFFFull;
  _CopyWindow(p, (uint32_t)start, len, pData, pMask, Fill);
  if (pBlockAddr) *pBlockAddr = (uint32_t)start;
  return (uint32_t)len;
}

/*********************************************************************
 * Patches
 */
int _AppendPatch(DataImage* p, uint32_t Addr, uint8_t Value) {
  if (p->NumPatches == p->PatchCap) {
    // Doubling keeps many single edits linear; a fixed step copied the whole array every time.
    uint64_t cap = std::min<uint64_t>(std::max<uint64_t>(64, (uint64_t)p->PatchCap * 2), 0xFFFFFFFFull / sizeof(DataPatch));
    if (cap <= p->PatchCap) return -1;
    void* pNew = p->paPatch ? SYS_MEM_Realloc(p->paPatch, cap * sizeof(DataPatch))
                            : SYS_MEM_Alloc(cap * sizeof(DataPatch), "DATAIMAGE: patches");
    if (pNew == nullptr) return -1;
    p->paPatch = static_cast<DataPatch*>(pNew);
    p->PatchCap = (uint32_t)cap;
  }
  try {
    p->Latest[Addr] = Value;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  p->paPatch[p->NumPatches] = DataPatch{Addr, Value};
  p->Changed();
  return (int)p->NumPatches++;
}

int _SetPatches(DataImage* p, uint32_t Addr, uint32_t Value, int NumBytes) {
  int first = -1;
  for (int i = 0; i < NumBytes; i++) {
    int r = _AppendPatch(p, Addr + (uint32_t)i, (uint8_t)(Value >> (8 * i)));
    if (r < 0) return -1;
    if (i == 0) first = r;
  }
  return first;
}

void _FreePatches(DataImage* p) {
  SYS_MEM_Free(p->paPatch);
  p->paPatch = nullptr;
  p->NumPatches = p->PatchCap = 0;
  p->Latest.clear();
}

int _WriteBytes(DataImage* p, uint32_t Addr, uint64_t NumBytes, const uint8_t* pSrc) {
  uint64_t pos = Addr, end = (uint64_t)Addr + NumBytes;
  if (end > ADDR_SPACE) return -1;
  while (pos < end) {
    auto it = _FindAtOrAfter(p, (uint32_t)pos);
    if (it != p->Ranges.end() && it->first <= pos) { // stored into the range that holds it
      uint64_t hi = std::min(_End(it), end);
      if (it->second.pAlloc) std::memcpy(it->second.Data() + (pos - it->first), pSrc + (pos - Addr), hi - pos);
      p->Changed();
      pos = hi;
    } else { // the gap up to the next range becomes data
      uint64_t hi = (it == p->Ranges.end()) ? end : std::min<uint64_t>(it->first, end);
      if (_Add(p, (uint32_t)pos, hi - pos, pSrc + (pos - Addr), -1) < 0) return -1;
      pos = hi;
    }
  }
  return 0;
}

int _GetValue(DataImage* p, uint32_t Addr, int NumBytes, uint32_t* pValue) {
  uint32_t v = 0;
  int r = 0;
  for (int i = 0; i < NumBytes; i++) {
    uint8_t b;
    int rb = ((uint64_t)Addr + i < ADDR_SPACE) ? _GetByte(p, Addr + (uint32_t)i, &b) : -1;
    if (rb < 0) return -1;
    if (rb == 1) r = 1;
    v |= (uint32_t)b << (8 * i);
  }
  *pValue = v;
  return r;
}

} // namespace

/*********************************************************************
 * Public operations
 */
DataImage* DATAIMAGE_Create(void) {
  void* pMem = SYS_MEM_Alloc(sizeof(DataImage), "DATAIMAGE: image");
  if (pMem == nullptr) return nullptr;
  DataImage* p = new (pMem) DataImage;
  p->pLock = SYS_MUTEX_Create(nullptr);
  if (p->pLock == nullptr) {
    p->~DataImage();
    SYS_MEM_Free(pMem);
    return nullptr;
  }
  return p;
}

void DATAIMAGE_Delete(DataImage* p) {
  if (p == nullptr) return;
  {
    ImageLock lock(p); // waits for a reader on another thread
    if (!lock.Ok()) { // still in use there: a leak is better than pulling the image from under it
      std::fprintf(stderr, "DATAIMAGE: image still in use, not freed\n");
      return;
    }
    for (auto& kv : p->Ranges) _FreeRange(kv.second);
    p->Ranges.clear();
    _FreePatches(p);
  }
  SYS_MUTEX_Delete(&p->pLock);
  p->~DataImage();
  SYS_MEM_Free(p);
}

void DATAIMAGE_DeleteEx(DataImage** pp) {
  if (pp == nullptr) return;
  DATAIMAGE_Delete(*pp);
  *pp = nullptr;
}

int DATAIMAGE_AddData(DataImage* p, uint32_t Addr, uint32_t NumBytes, const void* pSrc) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  return _Add(p, Addr, NumBytes, static_cast<const uint8_t*>(pSrc), -1);
}

int DATAIMAGE_Fill(DataImage* p, uint32_t Addr, uint32_t NumBytes, uint8_t Value) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  return _Add(p, Addr, NumBytes, nullptr, Value);
}

int DATAIMAGE_WriteBytes(DataImage* p, uint32_t Addr, uint32_t NumBytes, const void* pSrc) {
  if (p == nullptr || pSrc == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  return _WriteBytes(p, Addr, NumBytes, static_cast<const uint8_t*>(pSrc));
}

int DATAIMAGE_Read(DataImage* p, uint32_t Addr, uint32_t NumBytes, void* pDest, uint8_t FillValue) {
  if (p == nullptr || pDest == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  uint64_t inSpace = std::min<uint64_t>(NumBytes, ADDR_SPACE - Addr);
  _CopyWindow(p, Addr, inSpace, static_cast<uint8_t*>(pDest), nullptr, FillValue);
  if (inSpace < NumBytes) std::memset(static_cast<uint8_t*>(pDest) + inSpace, FillValue, NumBytes - inSpace);
  return 0;
}

int DATAIMAGE_DeleteRange(DataImage* p, uint32_t First, uint32_t Last) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  return _DeleteRange(p, First, Last);
}

int DATAIMAGE_Relocate(DataImage* p, int32_t Offset) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  if (!p->Ranges.empty()) {
    int64_t first = (int64_t)p->Ranges.begin()->first + Offset;
    int64_t end = (int64_t)_End(std::prev(p->Ranges.end())) + Offset;
    if (first < 0 || end > (int64_t)ADDR_SPACE) return -1;
  }
  p->Restructured();
  RangeMap moved(p->Ranges.get_allocator());
  while (!p->Ranges.empty()) { // nodes move over, no allocation
    auto node = p->Ranges.extract(p->Ranges.begin());
    node.key() = (uint32_t)(node.key() + (uint32_t)Offset);
    moved.insert(moved.end(), std::move(node));
  }
  p->Ranges.swap(moved);
  if (p->NumPatches) {
    PatchIndex latest(p->Latest.get_allocator());
    while (!p->Latest.empty()) {
      auto node = p->Latest.extract(p->Latest.begin());
      node.key() = (uint32_t)(node.key() + (uint32_t)Offset);
      latest.insert(std::move(node));
    }
    p->Latest.swap(latest);
    for (uint32_t i = 0; i < p->NumPatches; i++) p->paPatch[i].Addr += (uint32_t)Offset;
  }
  return 0;
}

uint32_t DATAIMAGE_GetNumRanges(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? (uint32_t)p->Ranges.size() : 0;
}

const void* DATAIMAGE_GetRange(DataImage* p, uint32_t Index, uint32_t* pStart, uint32_t* pNumBytes) {
  if (pStart) *pStart = 0;
  if (pNumBytes) *pNumBytes = 0;
  if (p == nullptr) return nullptr;
  ImageLock lock(p);
  if (!lock.Ok() || Index >= p->Ranges.size()) return nullptr;
  RangeIt it;
  if (p->CacheIndex >= 0 && Index >= (uint32_t)p->CacheIndex) {
    it = std::next(p->CacheIt, Index - (uint32_t)p->CacheIndex);
  } else if (Index >= p->Ranges.size() / 2) {
    it = std::prev(p->Ranges.end(), (long)(p->Ranges.size() - Index));
  } else {
    it = std::next(p->Ranges.begin(), Index);
  }
  p->CacheIndex = (int32_t)Index;
  p->CacheIt = it;
  if (pStart) *pStart = it->first;
  if (pNumBytes) *pNumBytes = it->second.NumBytes;
  return p; // not the range, which another thread may free as soon as the lock is given back
}

uint32_t DATAIMAGE_GetStartAddr(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return (lock.Ok() && !p->Ranges.empty()) ? p->Ranges.begin()->first : 0;
}

uint32_t DATAIMAGE_GetEndAddr(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return (lock.Ok() && !p->Ranges.empty()) ? (uint32_t)(_End(std::prev(p->Ranges.end())) - 1) : 0;
}

uint32_t DATAIMAGE_GetNumBytes(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return 0;
  uint64_t n = 0;
  for (auto& kv : p->Ranges) n += kv.second.NumBytes;
  return (uint32_t)std::min<uint64_t>(n, 0xFFFFFFFFull);
}

uint32_t DATAIMAGE_GetBlock(DataImage* p, uint32_t Addr, uint32_t LastAddr, uint32_t MaxGap, uint8_t FillValue,
                            uint8_t* pData, uint8_t* pMask, uint32_t* pBlockAddr, uint32_t MaxSize,
                            int StartAlignBits, int SizeAlignBits) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return 0;
  return _GetBlock(p, Addr, LastAddr, MaxGap, FillValue, pData, pMask, pBlockAddr, MaxSize, StartAlignBits,
                   SizeAlignBits);
}

int DATAIMAGE_Merge(DataImage* pDest, DataImage* pSrc) {
  if (pDest == nullptr || pSrc == nullptr) return 0;
  ImageLock lock(pDest, pSrc);
  if (!lock.Ok()) return 1;
  if (pDest == pSrc) return pSrc->Ranges.empty() ? 0 : 1;
  for (auto& kv : pSrc->Ranges) {
    auto it = _FindAtOrAfter(pDest, kv.first);
    if (it != pDest->Ranges.end() && (uint64_t)it->first < (uint64_t)kv.first + kv.second.NumBytes) return 1;
  }
  uint32_t counter = pDest->ChangeCounter;
  uint32_t numPatches = pDest->NumPatches;
  std::vector<int> aPrior; // per appended patch: the value it hid in the destination, -1 none
  try {
    aPrior.reserve(pSrc->NumPatches);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  auto undo = [&](RangeIt addedEnd) { // leave the destination as it was
    while (pDest->NumPatches > numPatches) {
      uint32_t i = --pDest->NumPatches;
      int prior = aPrior[i - numPatches];
      if (prior < 0) {
        pDest->Latest.erase(pDest->paPatch[i].Addr);
      } else {
        pDest->Latest[pDest->paPatch[i].Addr] = (uint8_t)prior; // the entry is there: no allocation
      }
    }
    for (auto it = pSrc->Ranges.begin(); it != addedEnd; ++it) {
      _DeleteRange(pDest, it->first, (uint32_t)(_End(it) - 1));
    }
    pDest->ChangeCounter = counter;
    return 1;
  };
  for (auto kv = pSrc->Ranges.begin(); kv != pSrc->Ranges.end(); ++kv) {
    const Range& r = kv->second;
    if (_Add(pDest, kv->first, r.NumBytes, r.pAlloc ? r.Data() : nullptr, 0xFF) < 0) return undo(kv);
  }
  for (uint32_t i = 0; i < pSrc->NumPatches; i++) {
    const DataPatch& pt = pSrc->paPatch[i];
    if (_Find(pSrc, pt.Addr) == pSrc->Ranges.end()) continue;
    auto hidden = pDest->Latest.find(pt.Addr);
    int prior = hidden == pDest->Latest.end() ? -1 : hidden->second;
    if (_AppendPatch(pDest, pt.Addr, pt.Value) < 0) return undo(pSrc->Ranges.end());
    aPrior.push_back(prior);
  }
  return 0;
}

int DATAIMAGE_MergeMasked(DataImage* pDest, DataImage* pSrc, DataImage* pMask) {
  if (pDest == nullptr || pSrc == nullptr || pMask == nullptr) return 0;
  ImageLock lock(pDest, pSrc, pMask);
  if (!lock.Ok()) return -1;
  uint64_t numAdded = 0;
  for (auto& kv : pSrc->Ranges) {
    uint64_t sEnd = (uint64_t)kv.first + kv.second.NumBytes;
    for (auto m = _FindAtOrAfter(pMask, kv.first); m != pMask->Ranges.end() && m->first < sEnd; ++m) {
      uint64_t lo = std::max<uint64_t>(m->first, kv.first), hi = std::min(_End(m), sEnd);
      const uint8_t* pBytes = kv.second.pAlloc ? kv.second.Data() + (lo - kv.first) : nullptr;
      if (_Add(pDest, (uint32_t)lo, hi - lo, pBytes, -1) < 0) return -1;
      numAdded += hi - lo;
    }
  }
  for (uint32_t i = 0; i < pSrc->NumPatches; i++) {
    const DataPatch& pt = pSrc->paPatch[i];
    if (_Find(pMask, pt.Addr) != pMask->Ranges.end() && _AppendPatch(pDest, pt.Addr, pt.Value) < 0) return -1;
  }
  for (uint32_t i = 0; i < pMask->NumPatches; i++) {
    uint8_t v;
    uint32_t a = pMask->paPatch[i].Addr;
    if (_GetByte(pSrc, a, &v) >= 0 && _AppendPatch(pDest, a, v) < 0) return -1;
  }
  return (int)std::min<uint64_t>(numAdded, 0x7FFFFFFF);
}

bool DATAIMAGE_Overlaps(DataImage* pA, DataImage* pB) {
  if (pA == nullptr || pB == nullptr) return false;
  ImageLock lock(pA, pB);
  if (!lock.Ok()) return false;
  DataImage* pSmall = pA->Ranges.size() <= pB->Ranges.size() ? pA : pB;
  DataImage* pLarge = (pSmall == pA) ? pB : pA;
  for (auto& kv : pSmall->Ranges) {
    auto it = _FindAtOrAfter(pLarge, kv.first);
    if (it != pLarge->Ranges.end() && (uint64_t)it->first < (uint64_t)kv.first + kv.second.NumBytes) return true;
  }
  return false;
}

bool DATAIMAGE_IntersectsRange(DataImage* p, uint32_t First, uint32_t Last) {
  if (p == nullptr || Last < First) return false;
  ImageLock lock(p);
  if (!lock.Ok()) return false;
  auto it = _FindAtOrAfter(p, First);
  return it != p->Ranges.end() && it->first <= Last;
}

bool DATAIMAGE_ContainsBlock(DataImage* p, uint32_t Addr, uint32_t NumBytes) {
  if (p == nullptr || NumBytes == 0) return false;
  ImageLock lock(p);
  if (!lock.Ok()) return false;
  auto it = _Find(p, Addr);
  return it != p->Ranges.end() && (uint64_t)Addr + NumBytes <= _End(it);
}

int DATAIMAGE_FindUncontained(DataImage* pContainer, DataImage* p, int32_t Offset) {
  if (pContainer == nullptr || p == nullptr) return -1;
  ImageLock lock(pContainer, p);
  if (!lock.Ok()) return -1;
  int index = 0;
  for (auto& kv : p->Ranges) {
    int64_t start = (int64_t)kv.first + Offset;
    if (start < 0 || start + kv.second.NumBytes > (int64_t)ADDR_SPACE) return index;
    auto it = _Find(pContainer, (uint32_t)start);
    if (it == pContainer->Ranges.end() || (uint64_t)start + kv.second.NumBytes > _End(it)) return index;
    index++;
  }
  return -1;
}

int DATAIMAGE_EliminateBlank(DataImage* p, uint32_t MinRun, int StartAlignBits, int SizeAlignBits) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  const uint32_t BLOCK = 0x10000;
  uint8_t* pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(BLOCK, "DATAIMAGE: eliminate buffer"));
  if (pBuf == nullptr) return -1;
  struct Run {
    uint32_t First;
    uint64_t NumBytes;
  };
  std::vector<Run> runs;
  uint64_t runFirst = 0, runLen = 0, prevEnd = 0;
  auto flush = [&] {
    if (runLen && runLen >= MinRun) runs.push_back(Run{(uint32_t)runFirst, runLen});
    runLen = 0;
  };
  uint64_t addr = 0;
  while (addr < ADDR_SPACE) {
    uint32_t blockAddr = 0;
    uint32_t n = _GetBlock(p, (uint32_t)addr, 0xFFFFFFFF, 1, 0xFF, pBuf, nullptr, &blockAddr, BLOCK, StartAlignBits,
                           SizeAlignBits);
    if (n == 0) break;
    if (blockAddr != prevEnd) flush(); // a run never spans a gap between blocks
    for (uint32_t i = 0; i < n; i++) {
      if (pBuf[i] == 0xFF) {
        if (runLen++ == 0) runFirst = (uint64_t)blockAddr + i;
      } else {
        flush();
      }
    }
    prevEnd = (uint64_t)blockAddr + n;
    addr = std::max(prevEnd, addr + 1);
  }
  flush();
  SYS_MEM_Free(pBuf);
  for (const Run& r : runs) {
    if (_DeleteRange(p, r.First, (uint32_t)(r.First + r.NumBytes - 1)) < 0) return -1;
  }
  return 0;
}

int DATAIMAGE_GetByte(DataImage* p, uint32_t Addr, uint8_t* pValue) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return -1;
  return _GetByte(p, Addr, pValue);
}

int DATAIMAGE_GetU16(DataImage* p, uint32_t Addr, uint16_t* pValue) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  uint32_t v = 0;
  int r = lock.Ok() ? _GetValue(p, Addr, 2, &v) : -1;
  if (r >= 0 && pValue) *pValue = (uint16_t)v;
  return r;
}

int DATAIMAGE_GetU32(DataImage* p, uint32_t Addr, uint32_t* pValue) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  uint32_t v = 0;
  int r = lock.Ok() ? _GetValue(p, Addr, 4, &v) : -1;
  if (r >= 0 && pValue) *pValue = v;
  return r;
}

int DATAIMAGE_SetPatch8(DataImage* p, uint32_t Addr, uint8_t Value) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? _SetPatches(p, Addr, Value, 1) : DATAIMAGE_ERR_LOCK;
}

int DATAIMAGE_SetPatch16(DataImage* p, uint32_t Addr, uint16_t Value) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? _SetPatches(p, Addr, Value, 2) : DATAIMAGE_ERR_LOCK;
}

int DATAIMAGE_SetPatch32(DataImage* p, uint32_t Addr, uint32_t Value) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? _SetPatches(p, Addr, Value, 4) : DATAIMAGE_ERR_LOCK;
}

void DATAIMAGE_RemovePatch(DataImage* p, uint32_t Addr) {
  if (p == nullptr) return;
  ImageLock lock(p);
  if (!lock.Ok() || p->Latest.erase(Addr) == 0) return;
  uint32_t n = 0;
  for (uint32_t i = 0; i < p->NumPatches; i++) {
    if (p->paPatch[i].Addr != Addr) p->paPatch[n++] = p->paPatch[i];
  }
  p->NumPatches = n;
  p->Changed();
}

uint32_t DATAIMAGE_GetNumPatches(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? p->NumPatches : 0;
}

bool DATAIMAGE_WritePatched(DataImage* p, uint32_t Addr, uint32_t NumBytes, const void* pSrc) {
  if (p == nullptr || pSrc == nullptr) return false;
  ImageLock lock(p);
  if (!lock.Ok()) return false;
  const uint8_t* pBytes = static_cast<const uint8_t*>(pSrc);
  uint64_t end = std::min<uint64_t>((uint64_t)Addr + NumBytes, ADDR_SPACE);
  bool changed = false;
  for (uint64_t a = Addr; a < end;) {
    uint8_t v;
    int r = _GetByte(p, (uint32_t)a, &v);
    if (r == -1) { // the whole gap up to the next data is added at once
      auto it = _FindAtOrAfter(p, (uint32_t)a);
      uint64_t hi = (it == p->Ranges.end()) ? end : std::min<uint64_t>(it->first, end);
      for (uint64_t b = a + 1; b < hi; b++) { // a patch inside the gap ends it
        if (p->NumPatches && p->Latest.count((uint32_t)b)) {
          hi = b;
          break;
        }
      }
      if (_Add(p, (uint32_t)a, hi - a, pBytes + (a - Addr), -1) == 0) changed = true;
      a = hi;
      continue;
    }
    if (r == -2 || v != pBytes[a - Addr]) {
      if (_AppendPatch(p, (uint32_t)a, pBytes[a - Addr]) >= 0) changed = true;
    }
    a++;
  }
  return changed;
}

int DATAIMAGE_ApplyPatches(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return DATAIMAGE_ERR_LOCK;
  // The latest value per address is what the entries add up to. Patches outside the ranges
  // become one-byte ranges first, the only step that can fail; such a range holds the byte its
  // patch shows, so after a failure the image reads as before and keeps its patches and counter.
  uint32_t counter = p->ChangeCounter;
  for (auto& kv : p->Latest) {
    if (_Find(p, kv.first) == p->Ranges.end() && _Add(p, kv.first, 1, &kv.second, -1) < 0) {
      p->ChangeCounter = counter;
      return -1;
    }
  }
  for (auto& kv : p->Latest) {
    auto it = _Find(p, kv.first);
    if (it->second.pAlloc) it->second.Data()[kv.first - it->first] = kv.second;
  }
  _FreePatches(p);
  p->ChangeCounter = 0;
  return 0;
}

bool DATAIMAGE_IsModified(DataImage* p) {
  if (p == nullptr) return false;
  ImageLock lock(p);
  return lock.Ok() && p->ChangeCounter != 0;
}

uint32_t DATAIMAGE_GetChangeCounter(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  return lock.Ok() ? p->ChangeCounter : 0;
}

void DATAIMAGE_SetChangeCounter(DataImage* p, uint32_t Counter) {
  if (p == nullptr) return;
  ImageLock lock(p);
  if (lock.Ok()) p->ChangeCounter = Counter;
}

int DATAIMAGE_Lock(DataImage* p) {
  if (p == nullptr) return 0;
  return _Lock(p) ? 0 : DATAIMAGE_ERR_LOCK;
}

void DATAIMAGE_Unlock(DataImage* p) {
  if (p && p->Owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) _Unlock(p);
}

void DATAIMAGE_SetLockTimeout(int TimeoutMs) { _LockTimeoutMs = TimeoutMs; }

const DataImageAccess* DataImageAccessTable(void) {
  static const DataImageAccess Table = {
      .pfGetStartAddr = DATAIMAGE_GetStartAddr,
      .pfGetEndAddr = DATAIMAGE_GetEndAddr,
      .pfGetByte = DATAIMAGE_GetByte,
      .pfGetU16 = DATAIMAGE_GetU16,
      .pfGetU32 = DATAIMAGE_GetU32,
      .pfSetPatch8 = DATAIMAGE_SetPatch8,
      .pfSetPatch16 = DATAIMAGE_SetPatch16,
      .pfSetPatch32 = DATAIMAGE_SetPatch32,
  };
  return &Table;
}

uint32_t DATAIMAGE_CalcCRC(DataImage* p) {
  if (p == nullptr) return 0;
  ImageLock lock(p);
  if (!lock.Ok()) return 0;
  uint32_t crc = 0;
  uint8_t ab[1024];
  for (auto it = p->Ranges.begin(); it != p->Ranges.end(); ++it) {
    const Range& r = it->second;
    bool hasPatch = false;
    if (p->NumPatches) {
      auto pt = p->Latest.lower_bound(it->first);
      hasPatch = pt != p->Latest.end() && (uint64_t)pt->first < _End(it);
    }
    if (r.pAlloc == nullptr) {
      crc = CRC32_UpdateFill(crc, 0xFF, r.NumBytes);
    } else if (!hasPatch) {
      crc = CRC32_Update(crc, r.Data(), r.NumBytes);
    } else {
      for (uint64_t a = it->first; a < _End(it); a += sizeof(ab)) {
        uint64_t n = std::min<uint64_t>(sizeof(ab), _End(it) - a);
        _CopyWindow(p, (uint32_t)a, n, ab, nullptr, 0xFF);
        crc = CRC32_Update(crc, ab, n);
      }
    }
  }
  return crc;
}
