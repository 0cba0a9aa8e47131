#include "IncrementCoordinates.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "SolverCore.hpp"

namespace Ondrel::Math::Solvers::internal {

double forwardStepFraction() {
  static const double fraction = std::sqrt(std::numeric_limits<double>::epsilon());
  return fraction;
}

double centralStepFraction() {
  static const double fraction = std::cbrt(std::numeric_limits<double>::epsilon());
  return fraction;
}

void requireCallable(bool present, const char* operation, const char* which) {
  if (!present) {
    throw std::invalid_argument(std::string(operation) + ": the " + which + " callable is empty");
  }
}

void requirePointSize(const char* operation, long long given, long long expected) {
  if (given != expected) {
    throw std::invalid_argument(std::string(operation) + ": the point has " +
                                std::to_string(given) + " values, expected " +
                                std::to_string(expected));
  }
}

void evaluateResidual(const char* operation,
                      const ResidualFunction& residual,
                      const Eigen::VectorXd& point,
                      Eigen::VectorXd& out,
                      long long m) {
  if (out.size() != m) out.resize(m);
  residual(point, out);
  if (out.size() != m) refuseEntries(operation, "residual callable", out.size(), m);
}

IncrementCoordinates::IncrementCoordinates(const Eigen::Ref<const Eigen::VectorXd>& values)
    : point(values), targets(static_cast<std::size_t>(values.size())) {
  for (long long j = 0; j < values.size(); ++j) targets[static_cast<std::size_t>(j)].value = j;
}

IncrementCoordinates::IncrementCoordinates(const char* operation,
                                           const Ondrel::Math::State& layout,
                                           long long incrementCount,
                                           const Eigen::Ref<const Eigen::VectorXd>& values)
    : point(values), state(layout) {
  state->values = values;
  targets = Ondrel::Math::incrementMap(
      *state, incrementCount, Ondrel::Math::LayoutCheck::kRanges, operation);
}

double IncrementCoordinates::step(long long j, double fraction) const {
  const long long value = target(j).value;
  if (value < 0) return fraction;
  const double x = point(value);
  return (x < 0.0 ? -fraction : fraction) * std::max(std::abs(x), 1.0);
}

double IncrementCoordinates::moved(long long j, double h, Eigen::VectorXd& out) {
  std::vector<double> steps{h};
  movedAlong({j}, steps, out);
  return steps[0];
}

void IncrementCoordinates::movedAlong(const std::vector<long long>& columns,
                                      std::vector<double>& steps,
                                      Eigen::VectorXd& out) {
  if (state) {
    Eigen::VectorXd increment = Eigen::VectorXd::Zero(size());
    for (std::size_t k = 0; k < columns.size(); ++k) increment(columns[k]) = steps[k];
    out = Ondrel::Math::addIncrement(*state, increment).values;
  } else {
    out = point;
    for (std::size_t k = 0; k < columns.size(); ++k) out(columns[k]) += steps[k];
  }
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const long long value = target(columns[k]).value;
    if (value >= 0) steps[k] = out(value) - point(value);
  }
}

}  // namespace Ondrel::Math::Solvers::internal
