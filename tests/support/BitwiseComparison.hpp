// Bit-for-bit comparison of everything a solve or a State operation may write, shared by the
// test suites and the fuzz targets (no GoogleTest here: BitwiseAssertions.hpp adapts it).
//
// Two doubles are the same when their bits are: a NaN matches only a NaN of the same payload,
// and 0.0 differs from -0.0. A State is compared member by member, its index included: the
// registry, the names, the flag, and every component's fields, isVector and whether each of its
// rotation callables is set (the callables themselves cannot be compared).
//
// bitwiseDifference() names the first difference found, or returns an empty string; it
// allocates only when there is a difference to describe.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <ondrel/broyden/Broyden>
#include <ondrel/state/State.hpp>
#include <sstream>
#include <string>

namespace Ondrel::Testing {

namespace detail {

inline std::uint64_t bitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline std::string describeBits(double value) {
  std::ostringstream text;
  text << std::setprecision(17) << value << " (0x" << std::hex << bitsOf(value) << ")";
  return text.str();
}

template <class Value>
std::string differs(const char* what, const Value& a, const Value& b) {
  std::ostringstream text;
  text << what << " differ: " << a << " and " << b;
  return text.str();
}

inline std::string within(const std::string& where, const std::string& difference) {
  return difference.empty() ? difference : where + ": " + difference;
}

inline std::string describe(const Math::Solvers::BroydenInformation& record) {
  std::ostringstream text;
  text << "{converged " << record.converged << ", iterations " << record.iterations
       << ", message \"" << record.message << "\", Jacobian evaluations "
       << record.jacobianEvaluations << ", error " << describeBits(record.error)
       << ", residual norm " << describeBits(record.residualNorm) << ", residual evaluations "
       << record.residualEvaluations << ", termination " << static_cast<int>(record.termination)
       << "}";
  return text.str();
}

}  // namespace detail

inline std::string bitwiseDifference(double a, double b) {
  if (detail::bitsOf(a) == detail::bitsOf(b)) return {};
  return detail::describeBits(a) + " and " + detail::describeBits(b);
}

template <class A, class B>
std::string bitwiseDifference(const Eigen::DenseBase<A>& a, const Eigen::DenseBase<B>& b) {
  if (a.rows() != b.rows() || a.cols() != b.cols()) {
    std::ostringstream text;
    text << "sizes differ: " << a.rows() << " x " << a.cols() << " and " << b.rows() << " x "
         << b.cols();
    return text.str();
  }
  for (Eigen::Index j = 0; j < a.cols(); ++j) {
    for (Eigen::Index i = 0; i < a.rows(); ++i) {
      if (detail::bitsOf(a.coeff(i, j)) == detail::bitsOf(b.coeff(i, j))) continue;
      std::ostringstream where;
      where << "entry " << i;
      if (a.cols() > 1) where << ", " << j;
      return detail::within(where.str(), bitwiseDifference(a.coeff(i, j), b.coeff(i, j)));
    }
  }
  return {};
}

inline std::string bitwiseDifference(const Math::Solvers::BroydenInformation& a,
                                     const Math::Solvers::BroydenInformation& b) {
  if (a.converged == b.converged && a.iterations == b.iterations && a.message == b.message &&
      a.jacobianEvaluations == b.jacobianEvaluations &&
      detail::bitsOf(a.error) == detail::bitsOf(b.error) &&
      detail::bitsOf(a.residualNorm) == detail::bitsOf(b.residualNorm) &&
      a.residualEvaluations == b.residualEvaluations && a.termination == b.termination) {
    return {};
  }
  return detail::describe(a) + " and " + detail::describe(b);
}

inline std::string bitwiseDifference(const Math::StateComponent& a, const Math::StateComponent& b) {
  if (a.start != b.start) return detail::differs("starts", a.start, b.start);
  if (a.size != b.size) return detail::differs("sizes", a.size, b.size);
  if (a.incrementStart != b.incrementStart) {
    return detail::differs("increment starts", a.incrementStart, b.incrementStart);
  }
  if (a.incrementSize != b.incrementSize) {
    return detail::differs("increment sizes", a.incrementSize, b.incrementSize);
  }
  if (a.isVector != b.isVector) return detail::differs("isVector flags", a.isVector, b.isVector);
  if (a.kind != b.kind) return detail::differs("kinds", a.kind, b.kind);
  if (!a.plus != !b.plus || !a.minus != !b.minus || !a.inverse != !b.inverse) {
    return "one has rotation callables the other lacks";
  }
  return {};
}

inline std::string bitwiseDifference(const Math::State& a, const Math::State& b) {
  if (std::string values = bitwiseDifference(a.values, b.values); !values.empty()) {
    return "values: " + values;
  }
  if (a.indexer.size != b.indexer.size) {
    return detail::differs("indexer sizes", a.indexer.size, b.indexer.size);
  }
  if (a.indexer.needsIndexing != b.indexer.needsIndexing) {
    return detail::differs("needsIndexing flags", a.indexer.needsIndexing, b.indexer.needsIndexing);
  }
  if (a.indexer.rotations != b.indexer.rotations) return "rotation registries differ";
  if (a.namedEntries != b.namedEntries) return "named entries differ";
  if (a.indexer.components.size() != b.indexer.components.size()) {
    return detail::differs(
        "component counts", a.indexer.components.size(), b.indexer.components.size());
  }
  auto other = b.indexer.components.begin();
  for (const auto& [start, component] : a.indexer.components) {
    const auto& [otherStart, otherComponent] = *other++;
    if (start != otherStart) return detail::differs("component keys", start, otherStart);
    if (std::string difference = bitwiseDifference(component, otherComponent);
        !difference.empty()) {
      return "component at " + std::to_string(start) + ": " + difference;
    }
  }
  return {};
}

template <class A, class B>
bool sameBits(const A& a, const B& b) {
  return bitwiseDifference(a, b).empty();
}

}  // namespace Ondrel::Testing
