// The sorted table behind traceback entries: one code object per reported
// line, found by binary search. Kept free of the interpreter so it can be
// tested on its own; `Code` is a pointer type.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace addongate {

template <class Code>
class LineCache {
 public:
  struct Entry {
    Code code;
    int32_t line;
    const char* name;  // the entry name the code object was made for
  };
  static constexpr int32_t kGrowth = 64;

  // Position of the first entry whose line is not below `line`.
  int32_t lower_bound(int32_t line) const {
    if (entries_ == nullptr) return 0;
    if (count_ == 0 || entries_[count_ - 1].line < line) return count_;
    int32_t lo = 0, hi = count_ - 1;
    while (lo < hi) {
      int32_t mid = lo + (hi - lo) / 2;
      if (entries_[mid].line < line)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  }

  // The entry for `line`, or null.
  const Entry* find(int32_t line) const {
    if (line == 0 || entries_ == nullptr) return nullptr;
    int32_t pos = lower_bound(line);
    if (pos < count_ && entries_[pos].line == line) return &entries_[pos];
    return nullptr;
  }

  // Stores `code` for a line that `find` missed. False when the table could
  // not grow; it is then unchanged and the caller keeps sole use of `code`.
  bool insert(int32_t line, Code code, const char* name) {
    if (line == 0) return false;
    if (entries_ == nullptr) {
      auto* fresh = static_cast<Entry*>(std::malloc(kGrowth * sizeof(Entry)));
      if (fresh == nullptr) return false;
      entries_ = fresh;
      entries_[0] = Entry{code, line, name};
      count_ = 1;
      capacity_ = kGrowth;
      return true;
    }
    int32_t pos = lower_bound(line);
    if (count_ == capacity_) {
      auto* grown = static_cast<Entry*>(
          std::realloc(entries_, (static_cast<std::size_t>(capacity_) + kGrowth) * sizeof(Entry)));
      if (grown == nullptr) return false;
      entries_ = grown;
      capacity_ += kGrowth;
    }
    std::memmove(&entries_[pos + 1], &entries_[pos],
                 static_cast<std::size_t>(count_ - pos) * sizeof(Entry));
    entries_[pos] = Entry{code, line, name};
    ++count_;
    return true;
  }

  // Empties the table after the interpreter that owned its code objects has
  // ended; the objects themselves are not touched.
  void forget() {
    std::free(entries_);
    entries_ = nullptr;
    count_ = capacity_ = 0;
  }

  int32_t count() const { return count_; }
  int32_t capacity() const { return capacity_; }
  const Entry& at(int32_t i) const { return entries_[i]; }

 private:
  Entry* entries_ = nullptr;  // freed only by forget(): its code objects live
  int32_t count_ = 0;         // as long as their interpreter
  int32_t capacity_ = 0;
};

}  // namespace addongate
