#include "BenchmarkReport.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <istream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace Ondrel::Benchmarks {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The profile is drawn for tau = 2^(k / kProfileStepsPerDoubling), k = 0 ... kProfileSteps.
constexpr int kProfileStepsPerDoubling = 20;
constexpr int kProfileSteps = 12 * kProfileStepsPerDoubling;

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

[[noreturn]] void unreadable(const std::string& text, std::size_t lineNumber) {
  throw std::runtime_error("benchmark report: line " + std::to_string(lineNumber) +
                           ": cannot read '" + text + "'");
}

template <class T>
T parseField(const std::string& text, std::size_t lineNumber) {
  std::istringstream in(text);
  T value{};
  in >> value;
  if (!in || !(in >> std::ws).eof()) unreadable(text, lineNumber);
  return value;
}

// A diverged run leaves a residual norm of inf or nan, which streams do not read back.
template <>
double parseField<double>(const std::string& text, std::size_t lineNumber) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') unreadable(text, lineNumber);
  return value;
}

template <class Row, class Parse>
std::vector<Row> readRows(std::istream& in, std::size_t fieldCount, Parse parse) {
  std::vector<Row> rows;
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (lineNumber == 1 || line.empty()) continue;
    const std::vector<std::string> fields = splitTabs(line);
    if (fields.size() != fieldCount) {
      throw std::runtime_error("benchmark report: line " + std::to_string(lineNumber) + ": " +
                               std::to_string(fields.size()) + " fields, expected " +
                               std::to_string(fieldCount));
    }
    rows.push_back(parse(fields, lineNumber));
  }
  return rows;
}

using ProblemKey = std::tuple<std::string, long long, double>;

ProblemKey problemOf(const ResultRow& row) { return {row.family, row.m, row.factor}; }

double costOf(const ResultRow& row, CostKind kind) {
  return kind == CostKind::Evaluations ? row.evaluationCost() : row.seconds;
}

bool isOurs(const std::string& solver) { return solver.rfind("ondrel", 0) == 0; }

// This library's variants first, then the peers, each in order of appearance.
std::vector<std::string> solversOf(const std::vector<ResultRow>& rows) {
  std::vector<std::string> solvers;
  for (const ResultRow& row : rows) {
    if (std::find(solvers.begin(), solvers.end(), row.solver) == solvers.end()) {
      solvers.push_back(row.solver);
    }
  }
  std::stable_partition(solvers.begin(), solvers.end(), isOurs);
  return solvers;
}

std::vector<ResultRow> groupRows(const std::vector<ResultRow>& rows, const std::string& group) {
  std::vector<ResultRow> selected;
  for (const ResultRow& row : rows) {
    if (row.group == group) selected.push_back(row);
  }
  return selected;
}

std::ofstream openOutput(const std::string& path) {
  std::ofstream out(path);
  if (!out) throw std::runtime_error("benchmark report: cannot write " + path);
  return out;
}

std::string formatSeconds(double seconds) {
  std::ostringstream out;
  out << std::setprecision(3);
  if (seconds < 1e-3) {
    out << seconds * 1e6 << " µs";
  } else if (seconds < 1.0) {
    out << seconds * 1e3 << " ms";
  } else {
    out << seconds << " s";
  }
  return out.str();
}

std::string formatRatio(double ratio) {
  if (std::isnan(ratio)) return "n/a";
  std::ostringstream out;
  out << std::setprecision(3) << ratio;
  return out.str();
}

std::string slug(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::isalnum(static_cast<unsigned char>(c)) ? std::tolower(c) : '_');
  }
  return text;
}

// Columns in the order of `solvers`, which the plot script follows.
void writeProfile(const std::vector<ResultRow>& rows,
                  const std::vector<std::string>& solvers,
                  CostKind kind,
                  const std::string& path) {
  auto ratios = performanceRatios(rows, kind);
  std::ofstream out = openOutput(path);
  out.precision(8);
  out << "# tau";
  for (const std::string& solver : solvers) out << '\t' << solver;
  out << '\n';
  for (int k = 0; k <= kProfileSteps; ++k) {
    const double tau = std::exp2(static_cast<double>(k) / kProfileStepsPerDoubling);
    out << tau;
    for (const std::string& solver : solvers) out << '\t' << profileValue(ratios[solver], tau);
    out << '\n';
  }
}

// Line search against full steps: what the robust preset wins on the test set, and whether it
// pays for it at scale in Jacobians, each of which is a factorisation there.
void writeRobustSection(std::ostream& md,
                        const std::vector<ResultRow>& rows,
                        const std::vector<ResultRow>& scaling) {
  const std::string robust = "ondrel-robust";
  const std::string defaults = "ondrel-1";
  const std::string peer = "minpack-hybrj1";
  int runs = 0;
  int solved = 0;
  std::vector<double> jacobians;
  for (const ResultRow& row : rows) {
    if (row.group != "testset" || row.solver != robust) continue;
    ++runs;
    if (row.solved) {
      ++solved;
      jacobians.push_back(static_cast<double>(row.jacobianEvaluations));
    }
  }
  if (runs == 0) return;
  md << "\n## Robust mode\n\n"
     << robust << " is BroydenParameters::robust(), the line search with its refresh schedule; "
     << defaults
     << " the full-step defaults. Whether the line search changes the iterations of "
        "the runs the defaults solve is in the tuning section: iteration counts are not among "
        "the results.\n\n"
     << "- test-set runs solved: " << solved << " / " << runs << "\n"
     << "- median Jacobian evaluations per solved run: " << formatRatio(median(jacobians)) << "\n"
     << "- median time per solve / " << peer
     << "'s, over the runs both solve: " << formatRatio(medianTimeRatio(rows, robust, peer))
     << "\n";

  std::map<std::pair<std::string, long long>, const ResultRow*> defaultRuns;
  for (const ResultRow& row : scaling) {
    if (row.solver == defaults) defaultRuns[{row.family, row.m}] = &row;
  }
  auto cell = [](const ResultRow* row) {
    if (row == nullptr) return std::string("n/a");
    return std::to_string(row->jacobianEvaluations) + (row->solved ? "" : " (unsolved)");
  };
  bool header = false;
  for (const ResultRow& row : scaling) {
    if (row.solver != robust) continue;
    if (!header) {
      md << "\nJacobian evaluations at scale, from x0:\n\n| problem | m | " << defaults << " | "
         << robust << " |\n|---|---|---|---|\n";
      header = true;
    }
    const auto found = defaultRuns.find({row.family, row.m});
    md << "| " << row.family << " | " << row.m << " | "
       << cell(found == defaultRuns.end() ? nullptr : found->second) << " | " << cell(&row)
       << " |\n";
  }
}

}  // namespace

std::vector<ResultRow> readResults(std::istream& in) {
  return readRows<ResultRow>(in, 11, [](const std::vector<std::string>& f, std::size_t line) {
    ResultRow row;
    row.group = f[0];
    row.solver = f[1];
    row.family = f[2];
    row.m = parseField<long long>(f[3], line);
    row.factor = parseField<double>(f[4], line);
    row.verdict = parseField<int>(f[5], line) != 0;
    row.solved = parseField<int>(f[6], line) != 0;
    row.residualNorm = parseField<double>(f[7], line);
    row.residualEvaluations = parseField<std::uint64_t>(f[8], line);
    row.jacobianEvaluations = parseField<std::uint64_t>(f[9], line);
    row.seconds = parseField<double>(f[10], line);
    return row;
  });
}

std::vector<FloorRow> readFloors(std::istream& in) {
  return readRows<FloorRow>(in, 4, [](const std::vector<std::string>& f, std::size_t line) {
    return FloorRow{f[0], f[1], parseField<long long>(f[2], line), parseField<double>(f[3], line)};
  });
}

std::map<std::string, std::vector<double>> performanceRatios(const std::vector<ResultRow>& rows,
                                                             CostKind kind) {
  std::map<ProblemKey, double> best;
  for (const ResultRow& row : rows) {
    if (!row.solved) continue;
    auto [entry, inserted] = best.emplace(problemOf(row), costOf(row, kind));
    if (!inserted) entry->second = std::min(entry->second, costOf(row, kind));
  }
  std::map<std::string, std::vector<double>> ratios;
  for (const ResultRow& row : rows) {
    const auto found = best.find(problemOf(row));
    if (found == best.end()) continue;
    ratios[row.solver].push_back(row.solved ? costOf(row, kind) / found->second : kInfinity);
  }
  return ratios;
}

double median(std::vector<double> values) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

double profileValue(const std::vector<double>& ratios, double tau) {
  if (ratios.empty()) return 0.0;
  const auto within =
      std::count_if(ratios.begin(), ratios.end(), [tau](double r) { return r <= tau; });
  return static_cast<double>(within) / static_cast<double>(ratios.size());
}

double medianTimeRatio(const std::vector<ResultRow>& rows,
                       const std::string& solver,
                       const std::string& peer) {
  std::map<ProblemKey, double> peerTimes;
  for (const ResultRow& row : rows) {
    if (row.group == "testset" && row.solver == peer && row.solved) {
      peerTimes[problemOf(row)] = row.seconds;
    }
  }
  std::vector<double> ratios;
  for (const ResultRow& row : rows) {
    if (row.group != "testset" || row.solver != solver || !row.solved) continue;
    const auto found = peerTimes.find(problemOf(row));
    if (found != peerTimes.end()) ratios.push_back(row.seconds / found->second);
  }
  return median(ratios);
}

void writeReport(const std::vector<ResultRow>& rows,
                 const std::vector<FloorRow>& floors,
                 const ReportHeader& header,
                 const std::string& directory) {
  const std::vector<ResultRow> testSet = groupRows(rows, "testset");
  // By problem, then m as a number (500 before 1000), each size's solvers in the input's order.
  std::vector<ResultRow> scaling = groupRows(rows, "scaling");
  std::stable_sort(scaling.begin(), scaling.end(), [](const ResultRow& a, const ResultRow& b) {
    return std::tie(a.family, a.m) < std::tie(b.family, b.m);
  });
  // Solvers measured only at scale (another build of this library) stay out of the test-set
  // tables and profiles.
  const std::vector<std::string> solvers = solversOf(rows);
  const std::vector<std::string> testSetSolvers = solversOf(testSet);
  std::vector<std::string> ours;
  std::vector<std::string> peers;
  for (const std::string& s : testSetSolvers) (isOurs(s) ? ours : peers).push_back(s);

  writeProfile(
      testSet, testSetSolvers, CostKind::Evaluations, directory + "/profile_evaluations.dat");
  writeProfile(testSet, testSetSolvers, CostKind::Time, directory + "/profile_time.dat");

  // One plot per family measured at more than one size, with the solvers measured on it.
  std::map<std::string, std::vector<std::string>> scalingFamilies;
  for (const std::string& family : [&] {
         std::set<std::string> families;
         for (const ResultRow& row : scaling) families.insert(row.family);
         return families;
       }()) {
    std::map<long long, std::map<std::string, double>> table;
    for (const ResultRow& row : scaling) {
      if (row.family == family) table[row.m][row.solver] = row.seconds;
    }
    if (table.size() < 2) continue;
    std::vector<ResultRow> familyRows;
    for (const ResultRow& row : scaling) {
      if (row.family == family) familyRows.push_back(row);
    }
    const std::vector<std::string> familySolvers = solversOf(familyRows);
    scalingFamilies[family] = familySolvers;
    std::ofstream out = openOutput(directory + "/scaling_" + slug(family) + ".dat");
    out << "# m";
    for (const std::string& s : familySolvers) out << '\t' << s;
    out << '\n';
    for (const auto& [m, times] : table) {
      out << m;
      for (const std::string& s : familySolvers) {
        const auto found = times.find(s);
        if (found == times.end()) {
          out << "\t?";
        } else {
          out << '\t' << found->second;
        }
      }
      out << '\n';
    }
  }

  {
    // gnuplot's colours repeat after eight lines: the lines after them are dashed.
    const auto lineStyle = [](std::size_t i) {
      return " lc " + std::to_string(i % 8 + 1) + " dt " + std::to_string(i / 8 + 1);
    };
    std::ofstream gp = openOutput(directory + "/plots.gp");
    gp << "set terminal pngcairo size 900,600\nset datafile missing '?'\nset key bottom right\n"
          "set logscale x 2\nset yrange [0:1.05]\nset xlabel 'tau (within a factor tau of the "
          "best)'\nset ylabel 'fraction of problems'\n";
    for (const char* kind : {"evaluations", "time"}) {
      gp << "set output 'profile_" << kind << ".png'\nset title 'Performance profile by " << kind
         << " (" << header.date << ")'\nplot ";
      for (std::size_t i = 0; i < testSetSolvers.size(); ++i) {
        gp << (i ? ", " : "") << "'profile_" << kind << ".dat' using 1:" << i + 2
           << " with steps lw 2" << lineStyle(i) << " title '" << testSetSolvers[i] << "'";
      }
      gp << "\n";
    }
    gp << "unset yrange\nset logscale xy 10\nset xrange [70:3000]\nset key top left\nset xlabel "
          "'m'\nset ylabel "
          "'seconds per solve'\n";
    for (const auto& [family, familySolvers] : scalingFamilies) {
      gp << "set output 'scaling_" << slug(family) << ".png'\nset title '" << family
         << ": time per solve against m'\nplot ";
      for (std::size_t i = 0; i < familySolvers.size(); ++i) {
        gp << (i ? ", " : "") << "'scaling_" << slug(family) << ".dat' using 1:" << i + 2
           << " with linespoints lw 2" << lineStyle(i) << " title '" << familySolvers[i] << "'";
      }
      gp << "\n";
    }
  }

  std::ofstream md = openOutput(directory + "/report.md");
  md << "# Ondrel Solvers: benchmark report\n\n"
     << "Measured " << header.date << " on " << header.machine << ", " << header.threads
     << ".\n\nProduced by:\n\n```\n"
     << header.commands << "\n```\n\n";

  md << "## Success on the MINPACK-1 test set\n\n"
     << "22 problem/size pairs from x0, 10 x0 and 100 x0: 66 runs per solver. Solved means a "
        "final residual norm of at most 1e-8, whatever the solver reports; its own verdict is "
        "counted beside. Evaluations are residual evaluations plus m per Jacobian evaluation, "
        "summed over the runs the solver solved.\n\n"
     << "| solver | solved | own verdict: converged | evaluations on solved runs | median time "
        "per solve |\n|---|---|---|---|---|\n";
  for (const std::string& s : testSetSolvers) {
    int solved = 0;
    int verdicts = 0;
    int runs = 0;
    double cost = 0.0;
    std::vector<double> times;
    for (const ResultRow& row : testSet) {
      if (row.solver != s) continue;
      ++runs;
      verdicts += row.verdict;
      times.push_back(row.seconds);
      if (row.solved) {
        ++solved;
        cost += row.evaluationCost();
      }
    }
    md << "| " << s << " | " << solved << " / " << runs << " | " << verdicts << " | " << cost
       << " | " << (times.empty() ? "n/a" : formatSeconds(median(times))) << " |\n";
  }

  md << "\n## Time per solve against the peers\n\nMedian over the test-set runs that both "
        "solvers solved of (time of this library) / (time of the peer); below 1 is faster.\n\n| |";
  for (const std::string& p : peers) md << ' ' << p << " |";
  md << "\n|---|";
  for (std::size_t i = 0; i < peers.size(); ++i) md << "---|";
  md << '\n';
  for (const std::string& s : ours) {
    md << "| " << s << " |";
    for (const std::string& p : peers)
      md << ' ' << formatRatio(medianTimeRatio(rows, s, p)) << " |";
    md << '\n';
  }

  md << "\n## Performance profiles\n\nFraction of the test-set problems that a solver solves "
        "within a factor tau of the best solver on that problem.\n\n"
     << "![Performance profile by evaluations](profile_evaluations.png)\n\n"
     << "![Performance profile by time](profile_time.png)\n";

  md << "\n## Scaling\n\nFrom x0; time per solve (one timed solve at m >= 1000) and evaluations "
        "(residual / Jacobian).\n\n| problem | m | solver | solved | evaluations | time per solve "
        "|\n|---|---|---|---|---|---|\n";
  for (const ResultRow& row : scaling) {
    md << "| " << row.family << " | " << row.m << " | " << row.solver << " | "
       << (row.solved ? "yes" : "no") << " | " << row.residualEvaluations << " / "
       << row.jacobianEvaluations << " | " << formatSeconds(row.seconds) << " |\n";
  }
  for (const auto& [family, familySolvers] : scalingFamilies) {
    md << "\n![" << family << " against m](scaling_" << slug(family) << ".png)\n";
  }
  // The dense case the solver is built for: ratio against MINPACK at the largest size.
  for (const ResultRow& row : scaling) {
    if (row.family != "Discrete integral equation" || row.solver != "minpack-hybrj1") continue;
    for (const ResultRow& mine : scaling) {
      if (mine.family == row.family && mine.m == row.m && isOurs(mine.solver)) {
        md << "\nDiscrete integral equation, m = " << row.m << ": " << mine.solver << " / "
           << "minpack-hybrj1 time ratio " << formatRatio(mine.seconds / row.seconds) << ".\n";
      }
    }
  }

  writeRobustSection(md, rows, scaling);

  // The same solver built two ways (the default build and "<solver>+<build>"): which test-set runs
  // end differently. Long runs of full steps are chaotic under rounding, so a different LU
  // factorisation may tip them either way.
  for (const std::string& other : testSetSolvers) {
    const std::size_t plus = other.find('+');
    if (plus == std::string::npos) continue;
    const std::string base = other.substr(0, plus);
    std::map<ProblemKey, const ResultRow*> baseRuns;
    for (const ResultRow& row : testSet) {
      if (row.solver == base) baseRuns[problemOf(row)] = &row;
    }
    if (baseRuns.empty()) continue;
    std::vector<std::pair<const ResultRow*, const ResultRow*>> differing;
    std::size_t compared = 0;
    for (const ResultRow& row : testSet) {
      if (row.solver != other) continue;
      const auto found = baseRuns.find(problemOf(row));
      if (found == baseRuns.end()) continue;
      ++compared;
      if (found->second->solved != row.solved) differing.emplace_back(found->second, &row);
    }
    md << "\n## " << base << " in two builds\n\n"
       << base << " is the default build; " << other << " the same solver built "
       << other.substr(plus + 1) << ". Of the " << compared << " test-set runs, "
       << differing.size() << (differing.size() == 1 ? " ends" : " end")
       << " differently (solved in one build only); every other run is solved in both or in "
          "neither. Evaluations are residual / Jacobian.\n";
    if (!differing.empty()) {
      md << "\n| problem | m | start | " << base << " | " << other << " |\n|---|---|---|---|---|\n";
      for (const auto& [a, b] : differing) {
        auto cell = [](const ResultRow& r) {
          std::ostringstream text;
          text << (r.solved ? "solved" : "not solved") << ", " << r.residualEvaluations << " / "
               << r.jacobianEvaluations;
          return text.str();
        };
        md << "| " << a->family << " | " << a->m << " | " << a->factor << " x0 | " << cell(*a)
           << " | " << cell(*b) << " |\n";
      }
    }
  }

  if (!floors.empty()) {
    md << "\n## Hardware floors\n\nMeasured by the suite on this machine, median of 3. Stream: "
          "reading an m x m matrix once from memory. LAPACK: dgetrf + dgetri through OpenBLAS. "
          "Eigen -O3: PartialPivLU plus inverse() in plain Eigen, compiled at -O3. Refresh: one "
          "Jacobian refresh of this library (evaluation by copy, factorisation, inverse and one "
          "step), in the build named: `openblas` is the default build where OpenBLAS is found, "
          "`eigen` the build without it.\n\n"
       << "| build | m | stream | LAPACK getrf+getri | Eigen -O3 LU+inverse | library refresh | "
          "refresh / LAPACK | refresh / Eigen -O3 |\n"
          "|---|---|---|---|---|---|---|---|\n";
    std::map<std::pair<std::string, long long>, std::map<std::string, double>> table;
    for (const FloorRow& f : floors) table[{f.build, f.m}][f.measure] = f.seconds;
    for (const auto& [key, measures] : table) {
      auto value = [&measures = measures](const char* name) {
        const auto found = measures.find(name);
        return found == measures.end() ? std::nan("") : found->second;
      };
      auto cell = [&value](const char* name) {
        const double seconds = value(name);
        return std::isnan(seconds) ? std::string("n/a") : formatSeconds(seconds);
      };
      const double refresh = value("library_refresh");
      md << "| " << key.first << " | " << key.second << " | " << cell("stream") << " | "
         << cell("lapack_lu_inverse") << " | " << cell("eigen_lu_inverse") << " | "
         << cell("library_refresh") << " | " << formatRatio(refresh / value("lapack_lu_inverse"))
         << " | " << formatRatio(refresh / value("eigen_lu_inverse")) << " |\n";
    }
  }

  md << "\n## Every test-set run\n\nPer solver: evaluations (residual / Jacobian) and time per "
        "solve; a dash marks a run that missed the common criterion, with its final residual "
        "norm (a failed solve of this library leaves the start, so its norm is the start's).\n\n| "
        "problem | m | start |";
  for (const std::string& s : testSetSolvers) md << ' ' << s << " |";
  md << "\n|---|---|---|";
  for (std::size_t i = 0; i < testSetSolvers.size(); ++i) md << "---|";
  md << '\n';
  std::vector<ProblemKey> problems;
  std::map<std::pair<ProblemKey, std::string>, ResultRow> byRun;
  for (const ResultRow& row : testSet) {
    if (std::find(problems.begin(), problems.end(), problemOf(row)) == problems.end()) {
      problems.push_back(problemOf(row));
    }
    byRun[{problemOf(row), row.solver}] = row;
  }
  for (const ProblemKey& p : problems) {
    md << "| " << std::get<0>(p) << " | " << std::get<1>(p) << " | " << std::get<2>(p) << " x0 |";
    for (const std::string& s : testSetSolvers) {
      const auto found = byRun.find({p, s});
      if (found == byRun.end()) {
        md << " |";
      } else if (found->second.solved) {
        md << ' ' << found->second.residualEvaluations << " / " << found->second.jacobianEvaluations
           << ", " << formatSeconds(found->second.seconds) << " |";
      } else {
        md << " - (" << std::setprecision(2) << found->second.residualNorm << std::setprecision(6)
           << ") |";
      }
    }
    md << '\n';
  }
  if (!md) throw std::runtime_error("benchmark report: cannot write " + directory + "/report.md");
}

}  // namespace Ondrel::Benchmarks
