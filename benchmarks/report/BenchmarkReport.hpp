// Turns the benchmark programs' tab-separated results into the Markdown performance report, the
// data files of its plots and the gnuplot script that draws them.
//
// Inputs: the rows written by PeerComparison --results (groups "testset" and "scaling") and the
// rows of HardwareFloors --floors (one measure per build and size). Every cost is positive; a run
// that missed the common criterion has no cost in the performance profile (its ratio is
// infinite), whatever the solver's own verdict said.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace Ondrel::Benchmarks {

struct ResultRow {
  std::string group;
  std::string solver;
  std::string family;
  long long m = 0;
  double factor = 1.0;
  bool verdict = false;
  bool solved = false;
  double residualNorm = 0.0;
  std::uint64_t residualEvaluations = 0;
  std::uint64_t jacobianEvaluations = 0;
  double seconds = 0.0;

  // Residual evaluations plus m per Jacobian: what the solve would cost with a Jacobian by
  // forward differences, which puts solvers with and without Jacobians on one scale.
  double evaluationCost() const {
    return static_cast<double>(residualEvaluations) +
           static_cast<double>(m) * static_cast<double>(jacobianEvaluations);
  }
};

struct FloorRow {
  std::string build;    // "eigen" or "openblas": how the library was built for this run
  std::string measure;  // "stream", "lapack_lu_inverse", "eigen_lu_inverse", "library_refresh"
  long long m = 0;
  double seconds = 0.0;
};

// Both readers skip the header line and blank lines and throw std::runtime_error naming the line
// of a row with missing or malformed fields.
std::vector<ResultRow> readResults(std::istream& in);
std::vector<FloorRow> readFloors(std::istream& in);

// Dolan-More performance ratios over one group's problems (a problem being a family, size and
// start): for each solver, cost / best cost among the solvers that solved it, or +infinity.
// Problems nobody solved are left out.
enum class CostKind { Evaluations, Time };
std::map<std::string, std::vector<double>> performanceRatios(const std::vector<ResultRow>& rows,
                                                             CostKind kind);
// Fraction of the ratios at or below tau.
double profileValue(const std::vector<double>& ratios, double tau);

// The middle value, or the mean of the two middle values; NaN for none.
double median(std::vector<double> values);

// Median of t(solver) / t(peer) over the test-set runs both solved; NaN when there are none.
double medianTimeRatio(const std::vector<ResultRow>& rows,
                       const std::string& solver,
                       const std::string& peer);

struct ReportHeader {
  std::string date;
  std::string machine;
  std::string threads;  // how the threads were set, e.g. "OMP_NUM_THREADS=1"
  std::string commands;
};

// Writes report.md, profile_evaluations.dat, profile_time.dat, scaling.dat and plots.gp into
// `directory` (which must exist). Throws std::runtime_error when a file cannot be written.
void writeReport(const std::vector<ResultRow>& rows,
                 const std::vector<FloorRow>& floors,
                 const ReportHeader& header,
                 const std::string& directory);

}  // namespace Ondrel::Benchmarks
