// Bookkeeping shared by the gallery's programs, kept apart from the problems so that each
// example reads as what a host writes: residual-norm histories recorded through the residual
// callable, wall time, and the closing summary (printed, and written for scripts/demo).
#pragma once

#include <Eigen/Core>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ondrel/broyden/Broyden>
#include <string>
#include <utility>
#include <vector>

namespace Gallery {

using Ondrel::Math::Solvers::ResidualFunction;

// Command line shared by the examples: `--output-dir DIR` makes them write DIR/<name>.csv (the
// residual history) and DIR/<name>.summary (one tab-separated line for scripts/demo); any other
// `--key value` pair is left for the example to read.
struct Options {
  std::string outputDirectory;
  std::vector<std::pair<std::string, std::string>> others;

  Options(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
      const std::string key = argv[i];
      if (key == "--output-dir") {
        outputDirectory = argv[i + 1];
      } else {
        others.emplace_back(key, argv[i + 1]);
      }
    }
  }
  long long integer(const std::string& key, long long fallback) const {
    for (const auto& [k, v] : others) {
      if (k == key) return std::atoll(v.c_str());
    }
    return fallback;
  }
};

// The solver's residual evaluations, one row each: which solve, the evaluation number within it
// and ||F||. The solver never reports norms itself; a host that wants a convergence history
// records it in its residual callable, as here.
class ResidualHistory {
 public:
  // The returned callable must not outlive this history.
  ResidualFunction recording(ResidualFunction residual) {
    return [this, residual = std::move(residual)](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                  Eigen::VectorXd& f) {
      residual(x, f);
      rows.push_back({solve, label, evaluation++, f.norm()});
    };
  }
  void startSolve(std::string solveLabel) {
    ++solve;
    evaluation = 0;
    label = std::move(solveLabel);
  }
  bool writeCsv(const std::string& path) const {
    std::ofstream out(path);
    out << "solve,label,evaluation,residual_norm\n";
    out.precision(17);
    for (const Row& row : rows) {
      out << row.solve << ',' << row.label << ',' << row.evaluation << ',' << row.norm << '\n';
    }
    return static_cast<bool>(out);
  }

 private:
  struct Row {
    int solve;
    std::string label;
    long long evaluation;
    double norm;
  };
  std::vector<Row> rows;
  int solve = 0;
  long long evaluation = 0;
  std::string label;
};

class Stopwatch {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

 private:
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

struct Summary {
  std::string name;     // file stem: build/demo/<name>.csv
  std::string problem;  // one line for a reader
  long long unknowns = 0;
  int solves = 0;
  bool converged = true;  // every solve converged
  unsigned long long iterations = 0;
  unsigned long long jacobianEvaluations = 0;
  double finalResidual = 0.0;  // ||F|| at the last result
  double wallSeconds = 0.0;
  bool checkPassed = true;  // the example's own check of its answer
  std::string check;        // what that check measured

  // Printed after the solver's progress lines; written for scripts/demo when asked.
  void report(const Options& options, const ResidualHistory& history) const {
    std::printf(
        "\n  problem:              %s\n"
        "  unknowns:             %lld\n"
        "  solves:               %d, %s\n"
        "  iterations:           %llu in all\n"
        "  Jacobian evaluations: %llu in all\n"
        "  final residual:       %.3e\n"
        "  wall time:            %.3g s\n"
        "  check:                %s: %s\n",
        problem.c_str(),
        unknowns,
        solves,
        converged ? "all converged" : "NOT ALL CONVERGED",
        iterations,
        jacobianEvaluations,
        finalResidual,
        wallSeconds,
        checkPassed ? "passed" : "FAILED",
        check.c_str());
    if (options.outputDirectory.empty()) return;
    const std::string stem = options.outputDirectory + "/" + name;
    if (!history.writeCsv(stem + ".csv")) {
      std::fprintf(stderr, "could not write %s.csv\n", stem.c_str());
    }
    std::ofstream out(stem + ".summary");
    out << name << '\t' << unknowns << '\t' << solves << '\t' << (converged ? "yes" : "no") << '\t'
        << iterations << '\t' << jacobianEvaluations << '\t' << finalResidual << '\t' << wallSeconds
        << '\t' << (checkPassed ? "passed" : "FAILED") << '\n';
  }

  int exitCode() const { return converged && checkPassed ? EXIT_SUCCESS : EXIT_FAILURE; }
};

}  // namespace Gallery
