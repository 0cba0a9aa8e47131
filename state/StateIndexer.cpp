#include <iostream>
#include <ondrel/state/RotationComponents.hpp>
#include <ondrel/state/StateIndexer.hpp>
#include <ondrel/state/StateLayout.hpp>
#include <utility>

namespace Ondrel::Math {

namespace {

StateComponent plainBlock(long long start, long long size, long long incrementStart) {
  StateComponent block;
  block.start = start;
  block.size = size;
  block.incrementStart = incrementStart;
  block.incrementSize = size;
  block.isVector = true;
  block.kind = Vector;
  return block;
}

}  // namespace

void StateIndexer::buildIndex() { buildIndex(&std::cout); }

void StateIndexer::buildIndex(std::ostream* diagnostics) {
  if (size <= 0) {
    if (diagnostics) *diagnostics << "incorrect state size in state indexer !" << std::endl;
    return;
  }

  // Built aside and swapped in, so that a failed allocation leaves the previous index whole.
  std::map<long long, StateComponent> rotationRecords;
  for (const auto& [kind, registered] : rotations) {
    // Registrations are host data and may sit anywhere; a kind that names no rotation gets
    // size 0 and no callables, and a record near the top of the range saturates the running
    // positions below rather than overflowing them. addIncrement refuses what lies outside.
    const auto extents = rotationExtents(kind);
    for (const auto& [start, incrementStart] : registered) {
      StateComponent record;
      record.start = start;
      record.incrementStart = incrementStart;
      record.isVector = false;
      record.kind = kind;
      if (extents) {
        record.size = extents->values;
        record.incrementSize = extents->increments;
      }
      if (kind == Quaternion) {
        record.plus = quaternionPlus;
        record.minus = quaternionMinus;
        record.inverse = quaternionInverse;
      } else if (kind == RotationVector) {
        record.plus = rotationVectorPlus;
        record.minus = rotationVectorMinus;
        record.inverse = rotationVectorInverse;
      }
      // Kinds are visited in ascending code, so the higher code overwrites.
      rotationRecords[start] = std::move(record);
    }
  }

  std::map<long long, StateComponent> index;
  long long valuesPosition = 0;
  long long incrementPosition = 0;
  for (auto& [start, record] : rotationRecords) {
    if (start > valuesPosition) {
      const long long gap = start - valuesPosition;
      index.insert_or_assign(valuesPosition, plainBlock(valuesPosition, gap, incrementPosition));
      incrementPosition += gap;
      valuesPosition = start;
    }
    // An overlapping record (start before the running position) makes no gap and moves the
    // running positions on from where they were.
    valuesPosition = saturatingAdd(valuesPosition, record.size);
    incrementPosition = saturatingAdd(incrementPosition, record.incrementSize);
    index.insert_or_assign(start, std::move(record));
  }
  if (valuesPosition < size) {
    index.insert_or_assign(valuesPosition,
                           plainBlock(valuesPosition, size - valuesPosition, incrementPosition));
  }

  components.swap(index);
  needsIndexing = false;
}

}  // namespace Ondrel::Math
