#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <ondrel/broyden/ColumnColouring.hpp>
#include <stdexcept>
#include <unordered_set>

#ifdef ONDREL_HAVE_COLPACK
#include <ColPack/ColPackHeaders.h>
#endif

namespace Ondrel::Math::Solvers {

namespace {

// The pattern's structure both ways: the rows of each column and the columns of each row. Two
// columns conflict when they share a row.
class ConflictStructure {
 public:
  explicit ConflictStructure(const Eigen::SparseMatrix<double>& pattern)
      : columnCount(static_cast<int>(pattern.cols())),
        stamp(static_cast<std::size_t>(pattern.cols()), -1) {
    Eigen::SparseMatrix<double> compressed = pattern;
    compressed.makeCompressed();
    columnStart.assign(compressed.outerIndexPtr(), compressed.outerIndexPtr() + columnCount + 1);
    columnRows.assign(compressed.innerIndexPtr(),
                      compressed.innerIndexPtr() + compressed.nonZeros());
    rowStart.assign(static_cast<std::size_t>(pattern.rows()) + 1, 0);
    for (int row : columnRows) ++rowStart[static_cast<std::size_t>(row) + 1];
    std::partial_sum(rowStart.begin(), rowStart.end(), rowStart.begin());
    rowColumns.resize(columnRows.size());
    std::vector<int> next(rowStart.begin(), rowStart.end() - 1);
    for (int j = 0; j < columnCount; ++j) {
      for (int p = columnStart[j]; p < columnStart[j + 1]; ++p) {
        rowColumns[static_cast<std::size_t>(next[static_cast<std::size_t>(columnRows[p])]++)] = j;
      }
    }
  }

  int columns() const { return columnCount; }
  const std::vector<int>& rowStarts() const { return rowStart; }
  const std::vector<int>& rowColumnIndices() const { return rowColumns; }

  // Calls visit(k) once for every column k != j that shares a row with column j.
  template <typename Visit>
  void forEachConflict(int j, Visit visit) {
    // Each walk marks with a stamp of its own, so a column is visited once per walk however
    // many rows it shares with j, and walking j again visits everything again.
    const long long walk = ++walks;
    stamp[static_cast<std::size_t>(j)] = walk;
    for (int p = columnStart[j]; p < columnStart[j + 1]; ++p) {
      const int row = columnRows[static_cast<std::size_t>(p)];
      for (int q = rowStart[static_cast<std::size_t>(row)];
           q < rowStart[static_cast<std::size_t>(row) + 1];
           ++q) {
        const int k = rowColumns[static_cast<std::size_t>(q)];
        if (stamp[static_cast<std::size_t>(k)] != walk) {
          stamp[static_cast<std::size_t>(k)] = walk;
          visit(k);
        }
      }
    }
  }

  std::vector<int> conflictCounts() {
    std::vector<int> counts(static_cast<std::size_t>(columnCount), 0);
    for (int j = 0; j < columnCount; ++j) {
      forEachConflict(j, [&](int) { ++counts[static_cast<std::size_t>(j)]; });
    }
    return counts;
  }

 private:
  int columnCount;
  std::vector<int> columnStart;
  std::vector<int> columnRows;
  std::vector<int> rowStart;
  std::vector<int> rowColumns;
  std::vector<long long> stamp;
  long long walks = 0;
};

// The smallest colour none of j's conflicting columns holds; `taken` is scratch, one entry per
// possible colour.
int firstFreeColour(ConflictStructure& structure,
                    int j,
                    const std::vector<int>& colours,
                    std::vector<int>& taken) {
  structure.forEachConflict(j, [&](int k) {
    const int colour = colours[static_cast<std::size_t>(k)];
    if (colour >= 0) taken[static_cast<std::size_t>(colour)] = j;
  });
  int colour = 0;
  while (taken[static_cast<std::size_t>(colour)] == j) ++colour;
  return colour;
}

ColumnColouring finish(std::vector<int> colours, std::string method) {
  ColumnColouring colouring;
  colouring.colourCount =
      colours.empty() ? 0 : *std::max_element(colours.begin(), colours.end()) + 1;
  colouring.colours = std::move(colours);
  colouring.method = std::move(method);
  return colouring;
}

// The greedy orders are ColPack's where the library is built with it.
[[maybe_unused]] ColumnColouring greedy(ConflictStructure& structure,
                                        const std::vector<int>& order,
                                        std::string method) {
  const int n = structure.columns();
  std::vector<int> colours(static_cast<std::size_t>(n), -1);
  std::vector<int> taken(static_cast<std::size_t>(n) + 1, -1);
  for (int j : order)
    colours[static_cast<std::size_t>(j)] = firstFreeColour(structure, j, colours, taken);
  return finish(std::move(colours), std::move(method));
}

[[maybe_unused]] std::vector<int> largestFirstOrder(ConflictStructure& structure) {
  const std::vector<int> counts = structure.conflictCounts();
  std::vector<int> order(counts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return counts[static_cast<std::size_t>(a)] > counts[static_cast<std::size_t>(b)];
  });
  return order;
}

// Columns in buckets by a small key, each bucket a doubly linked list, so that moving a column
// to another bucket and taking one from the highest or lowest non-empty bucket cost O(1) (the
// scan for a non-empty bucket is amortised over the moves).
class Buckets {
 public:
  Buckets(int columns, int keys)
      : head(static_cast<std::size_t>(keys), -1),
        tail(static_cast<std::size_t>(keys), -1),
        previous(static_cast<std::size_t>(columns), -1),
        next(static_cast<std::size_t>(columns), -1),
        key(static_cast<std::size_t>(columns), -1) {}

  void push(int j, int k) {
    key[u(j)] = k;
    next[u(j)] = head[u(k)];
    previous[u(j)] = -1;
    if (head[u(k)] >= 0) {
      previous[u(head[u(k)])] = j;
    } else {
      tail[u(k)] = j;
    }
    head[u(k)] = j;
  }
  void remove(int j) {
    const int k = key[u(j)];
    if (previous[u(j)] >= 0) {
      next[u(previous[u(j)])] = next[u(j)];
    } else {
      head[u(k)] = next[u(j)];
    }
    if (next[u(j)] >= 0) {
      previous[u(next[u(j)])] = previous[u(j)];
    } else {
      tail[u(k)] = previous[u(j)];
    }
    key[u(j)] = -1;
  }
  int keyOf(int j) const { return key[u(j)]; }
  int first(int k) const { return head[u(k)]; }

 private:
  static std::size_t u(int i) { return static_cast<std::size_t>(i); }
  std::vector<int> head, tail, previous, next, key;
};

// Keys combining saturation and conflicts beyond this many buckets fall back to saturation alone:
// only patterns with rows of more than 2000 entries get there, where colouring saves little.
constexpr long long kMostBuckets = 1LL << 22;

// Columns by key, the lowest index first within a key: one min-heap of column indices per key,
// entries left behind by a column whose key has changed discarded when they surface.
class KeyedHeaps {
 public:
  explicit KeyedHeaps(long long keys) : heaps(static_cast<std::size_t>(keys)) {}
  void push(int j, int key) {
    std::vector<int>& heap = heaps[static_cast<std::size_t>(key)];
    heap.push_back(j);
    std::push_heap(heap.begin(), heap.end(), std::greater<>());
  }
  // The lowest column whose current key is `key`, or -1.
  int first(int key, const std::vector<int>& keyOfColumn) {
    std::vector<int>& heap = heaps[static_cast<std::size_t>(key)];
    while (!heap.empty() && keyOfColumn[static_cast<std::size_t>(heap.front())] != key) {
      std::pop_heap(heap.begin(), heap.end(), std::greater<>());
      heap.pop_back();
    }
    return heap.empty() ? -1 : heap.front();
  }

 private:
  std::vector<std::vector<int>> heaps;
};

int lowestClearBit(std::uint64_t bits) {
  int bit = 0;
  while (bits & 1u) {
    bits >>= 1;
    ++bit;
  }
  return bit;
}

ColumnColouring saturation(ConflictStructure& structure) {
  const int n = structure.columns();
  // A column's key is its saturation (distinct colours among its conflicts), then its uncoloured
  // conflicts, then the lower index: DSATUR as Brélaz wrote it. The first two change as columns
  // are coloured. The index matters: on a stencil it makes the coloured region grow as a front,
  // which is what reaches 5 colours on the five-point stencil.
  std::vector<int> uncoloured = structure.conflictCounts();
  const long long degreeKeys =
      1 + (n == 0 ? 0 : *std::max_element(uncoloured.begin(), uncoloured.end()));
  const bool byDegree = degreeKeys * degreeKeys <= kMostBuckets;
  const long long keys = byDegree ? degreeKeys * degreeKeys : static_cast<long long>(n) + 1;
  const auto keyFor = [&](int saturationCount, int degree) {
    return static_cast<int>(byDegree ? saturationCount * degreeKeys + degree : saturationCount);
  };
  KeyedHeaps heaps(keys);
  std::vector<int> keyOf(static_cast<std::size_t>(n));
  std::vector<int> saturationOf(static_cast<std::size_t>(n), 0);
  int top = 0;
  for (int j = 0; j < n; ++j) {
    keyOf[static_cast<std::size_t>(j)] = keyFor(0, uncoloured[static_cast<std::size_t>(j)]);
    heaps.push(j, keyOf[static_cast<std::size_t>(j)]);
    top = std::max(top, keyOf[static_cast<std::size_t>(j)]);
  }
  std::vector<int> colours(static_cast<std::size_t>(n), -1);
  std::vector<int> taken(static_cast<std::size_t>(n) + 1, -1);
  // Which colours each column's conflicts hold: a bit mask for the first 64, a set beyond (only
  // patterns with rows of more than 64 entries get there).
  std::vector<std::uint64_t> heldBelow64(static_cast<std::size_t>(n), 0);
  std::unordered_set<std::uint64_t> heldAbove;
  for (int coloured = 0; coloured < n; ++coloured) {
    while (heaps.first(top, keyOf) < 0) --top;
    const int j = heaps.first(top, keyOf);
    keyOf[static_cast<std::size_t>(j)] = -1;
    // The mask holds every colour below 64 that j's coloured conflicts hold, so its lowest
    // clear bit is j's first free colour; only when all 64 are taken is the walk needed.
    const std::uint64_t held = heldBelow64[static_cast<std::size_t>(j)];
    const int colour = held != ~std::uint64_t{0} ? lowestClearBit(held)
                                                 : firstFreeColour(structure, j, colours, taken);
    colours[static_cast<std::size_t>(j)] = colour;
    structure.forEachConflict(j, [&](int k) {
      const std::size_t at = static_cast<std::size_t>(k);
      if (colours[at] >= 0) return;
      bool isNew = false;
      if (colour < 64) {
        isNew = !(heldBelow64[at] >> colour & 1u);
        heldBelow64[at] |= std::uint64_t{1} << colour;
      } else {
        isNew = heldAbove
                    .insert(static_cast<std::uint64_t>(k) * static_cast<std::uint64_t>(n + 1) +
                            static_cast<std::uint64_t>(colour))
                    .second;
      }
      if (isNew) ++saturationOf[at];
      --uncoloured[at];
      keyOf[at] = keyFor(saturationOf[at], uncoloured[at]);
      heaps.push(k, keyOf[at]);
      top = std::max(top, keyOf[at]);
    });
  }
  return finish(std::move(colours), "saturation (DSATUR)");
}

[[maybe_unused]] std::vector<int> smallestLastOrder(ConflictStructure& structure) {
  const int n = structure.columns();
  const std::vector<int> counts = structure.conflictCounts();
  const int largest = n == 0 ? 0 : *std::max_element(counts.begin(), counts.end());
  Buckets buckets(n, largest + 1);
  for (int j = 0; j < n; ++j) buckets.push(j, counts[static_cast<std::size_t>(j)]);
  std::vector<int> order(static_cast<std::size_t>(n));
  std::vector<bool> removed(static_cast<std::size_t>(n), false);
  int bottom = 0;
  for (int position = n - 1; position >= 0; --position) {
    while (buckets.first(bottom) < 0) ++bottom;
    const int j = buckets.first(bottom);
    buckets.remove(j);
    removed[static_cast<std::size_t>(j)] = true;
    order[static_cast<std::size_t>(position)] = j;
    structure.forEachConflict(j, [&](int k) {
      if (removed[static_cast<std::size_t>(k)]) return;
      const int key = buckets.keyOf(k) - 1;
      buckets.remove(k);
      buckets.push(k, key);
      bottom = std::min(bottom, key);
    });
  }
  return order;
}

#ifdef ONDREL_HAVE_COLPACK
ColumnColouring colPack(const ConflictStructure& structure, int rows, const char* ordering) {
  // ColPack reads the pattern row-compressed and does not write through these pointers.
  std::vector<int> rowStart = structure.rowStarts();
  std::vector<int> rowColumns = structure.rowColumnIndices();
  ColPack::BipartiteGraphPartialColoringInterface graph(
      SRC_MEM_CSR, rowStart.data(), rows, structure.columns(), rowColumns.data());
  graph.PartialDistanceTwoColoring(ordering, "COLUMN_PARTIAL_DISTANCE_TWO");
  std::vector<int> colours;
  graph.GetVertexPartialColors(colours);
  // ColPack's list may hold an entry past the last column.
  colours.resize(static_cast<std::size_t>(structure.columns()));
  return finish(std::move(colours), std::string("ColPack partial distance-2, ") + ordering);
}
#endif

}  // namespace

ColumnColouring colourColumns(const Eigen::SparseMatrix<double>& pattern, ColouringOrder order) {
  if (pattern.nonZeros() == 0) {
    throw std::invalid_argument("colourColumns: the pattern has no entries");
  }
  ConflictStructure structure(pattern);
  switch (order) {
    case ColouringOrder::kLargestFirst:
#ifdef ONDREL_HAVE_COLPACK
      return colPack(structure, static_cast<int>(pattern.rows()), "LARGEST_FIRST");
#else
      return greedy(structure, largestFirstOrder(structure), "greedy, largest first");
#endif
    case ColouringOrder::kSmallestLast:
#ifdef ONDREL_HAVE_COLPACK
      return colPack(structure, static_cast<int>(pattern.rows()), "SMALLEST_LAST");
#else
      return greedy(structure, smallestLastOrder(structure), "greedy, smallest last");
#endif
    case ColouringOrder::kSaturation:
      break;
  }
  return saturation(structure);
}

}  // namespace Ondrel::Math::Solvers
