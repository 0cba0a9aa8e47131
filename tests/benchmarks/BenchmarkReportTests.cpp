#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "BenchmarkReport.hpp"

namespace {

using namespace Ondrel::Benchmarks;

constexpr double kExact = 1e-12;   // ratios of small decimal numbers
constexpr double kWritten = 1e-7;  // the plot data carry 8 significant digits

// Two solvers on three problems: "ondrel-1" solves A and B, "peer" solves A and C; nobody is
// left out. Columns as PeerComparison writes them.
const char* const kTinyResults =
    "group\tsolver\tfamily\tm\tfactor\tverdict\tsolved\tresidual_norm\tresidual_evaluations\t"
    "jacobian_evaluations\tseconds\n"
    "testset\tpeer\tA\t2\t1\t1\t1\t1e-11\t4\t2\t0.00004\n"
    "testset\tondrel-1\tA\t2\t1\t1\t1\t1e-12\t10\t1\t0.00002\n"
    "testset\tondrel-1\tB\t2\t1\t1\t1\t1e-12\t6\t0\t0.00001\n"
    "testset\tpeer\tB\t2\t1\t1\t0\t0.5\t3\t1\t0.00003\n"
    "testset\tondrel-1\tC\t3\t10\t0\t0\t-nan\t50\t3\t0.00005\n"
    "testset\tpeer\tC\t3\t10\t1\t1\t1e-9\t12\t1\t0.00006\n"
    "testset\tondrel-1\tD\t4\t1\t0\t0\t3\t51\t1\t0.00007\n"
    "testset\tpeer\tD\t4\t1\t1\t0\t2e-8\t40\t1\t0.00008\n"
    "scaling\tondrel-1\tBroyden tridiagonal\t100\t1\t1\t1\t1e-11\t8\t1\t0.001\n"
    "scaling\tpeer\tBroyden tridiagonal\t100\t1\t1\t1\t1e-11\t9\t2\t0.004\n"
    "scaling\tondrel-1+openblas\tBroyden tridiagonal\t100\t1\t1\t1\t1e-11\t8\t1\t0.0009\n"
    "scaling\tondrel-1\tBroyden tridiagonal\t1000\t1\t1\t1\t1e-11\t8\t1\t0.02\n"
    "scaling\tondrel-1\tBroyden tridiagonal\t200\t1\t1\t1\t1e-11\t8\t1\t0.007\n"
    "scaling\tpeer\tDiscrete integral equation\t2000\t1\t1\t1\t1e-11\t7\t1\t5.0\n";

TEST(BenchmarkReportProfile, RatiosAgainstTheBestSolverOfEachProblem) {
  std::istringstream in(kTinyResults);
  const auto rows = readResults(in);
  ASSERT_EQ(rows.size(), 14u);
  std::vector<ResultRow> testSet(rows.begin(), rows.begin() + 8);

  // D, which nobody solved (the peer's verdict notwithstanding), is no problem of the profile.
  // Evaluations: A costs 10 + 2 = 12 against 4 + 4 = 8; B only ondrel solved (6); C only the
  // peer (12 + 3 = 15). A peer's unsolved run is infinite whatever it cost.
  const auto byEvaluations = performanceRatios(testSet, CostKind::Evaluations);
  ASSERT_EQ(byEvaluations.at("ondrel-1").size(), 3u);
  EXPECT_NEAR(byEvaluations.at("ondrel-1")[0], 1.5, kExact);
  EXPECT_NEAR(byEvaluations.at("ondrel-1")[1], 1.0, kExact);
  EXPECT_TRUE(std::isinf(byEvaluations.at("ondrel-1")[2]));
  EXPECT_NEAR(byEvaluations.at("peer")[0], 1.0, kExact);
  EXPECT_TRUE(std::isinf(byEvaluations.at("peer")[1]));

  EXPECT_NEAR(profileValue(byEvaluations.at("ondrel-1"), 1.0), 1.0 / 3.0, kExact);
  EXPECT_NEAR(profileValue(byEvaluations.at("ondrel-1"), 1.5), 2.0 / 3.0, kExact);
  EXPECT_NEAR(profileValue(byEvaluations.at("ondrel-1"), 1e300), 2.0 / 3.0, kExact);

  // Time: only A is solved by both, 2e-5 / 4e-5.
  EXPECT_NEAR(medianTimeRatio(rows, "ondrel-1", "peer"), 0.5, kExact);
  EXPECT_TRUE(std::isnan(medianTimeRatio(rows, "ondrel-1", "nobody")));
}

TEST(BenchmarkReportOutput, WritesTablesPlotsAndScript) {
  std::istringstream in(kTinyResults);
  const auto rows = readResults(in);
  std::istringstream floorsIn(
      "build\tmeasure\tm\tseconds\n"
      "eigen\tlapack_lu_inverse\t2000\t0.25\n"
      "eigen\tlibrary_refresh\t2000\t0.5\n");
  const auto floors = readFloors(floorsIn);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ondrel-report-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  writeReport(rows, floors, {"2026-12-07", "test machine", "OMP_NUM_THREADS=1", "bench"}, dir);

  std::ifstream reportFile(dir / "report.md");
  std::stringstream report;
  report << reportFile.rdbuf();
  const std::string text = report.str();
  EXPECT_NE(text.find("2026-12-07 on test machine"), std::string::npos);
  // Success counts by the common criterion beside the solver's own verdict.
  EXPECT_NE(text.find("| ondrel-1 | 2 / 4 | 2 | 18 |"), std::string::npos) << text;
  EXPECT_NE(text.find("| peer | 2 / 4 | 4 | 23 |"), std::string::npos) << text;
  // A solver measured only at scale has no test-set row, but has its scaling row.
  EXPECT_EQ(text.find("| ondrel-1+openblas | 0 / 0"), std::string::npos) << text;
  EXPECT_NE(text.find("| Broyden tridiagonal | 100 | ondrel-1+openblas | yes | 8 / 1 | 900 µs |"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("| ondrel-1 | 0.5 |"), std::string::npos);
  // Sizes in numerical order, whatever the input's: 200 before 1000.
  EXPECT_LT(text.find("| Broyden tridiagonal | 200 |"),
            text.find("| Broyden tridiagonal | 1000 |"));
  EXPECT_NE(text.find("| eigen | 2000 | n/a | 250 ms | n/a | 500 ms | 2 | n/a |"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("![Performance profile by time](profile_time.png)"), std::string::npos);

  // This library's columns come first, whatever the input order, in the data as in the script.
  std::ifstream profile(dir / "profile_evaluations.dat");
  std::string header;
  std::getline(profile, header);
  EXPECT_EQ(header, "# tau\tondrel-1\tpeer");
  double tau = 0.0;
  double ours = 0.0;
  double theirs = 0.0;
  profile >> tau >> ours >> theirs;
  EXPECT_EQ(tau, 1.0);
  EXPECT_NEAR(ours, 1.0 / 3.0, kWritten);
  EXPECT_NEAR(theirs, 2.0 / 3.0, kWritten);

  // A family measured at one size only gets its table rows but no plot.
  EXPECT_TRUE(std::filesystem::exists(dir / "scaling_broyden_tridiagonal.dat"));
  EXPECT_FALSE(std::filesystem::exists(dir / "scaling_discrete_integral_equation.dat"));
  std::ifstream script(dir / "plots.gp");
  std::stringstream plots;
  plots << script.rdbuf();
  EXPECT_NE(plots.str().find("set output 'scaling_broyden_tridiagonal.png'"), std::string::npos);
  EXPECT_NE(plots.str().find("using 1:2 with steps lw 2 lc 1 dt 1 title 'ondrel-1'"),
            std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(BenchmarkReportInput, MalformedRowsNameTheirLine) {
  std::istringstream shortRow("header\ntestset\tondrel-1\tA\t2\n");
  try {
    readResults(shortRow);
    FAIL() << "a row of 4 fields was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
  }
  std::istringstream badNumber("header\neigen\tstream\tmany\t0.1\n");
  EXPECT_THROW(readFloors(badNumber), std::runtime_error);
  EXPECT_THROW(writeReport({}, {}, {}, "/nonexistent/directory"), std::runtime_error);
}

}  // namespace

namespace Ondrel::Benchmarks {
namespace {

// report.md of the results in `in`, without floors.
std::string reportOf(std::istream& in) {
  const auto rows = readResults(in);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ondrel-report-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  writeReport(rows, {}, {"2026-12-08", "test machine", "OMP_NUM_THREADS=1", "bench"}, dir);
  std::ifstream reportFile(dir / "report.md");
  std::stringstream report;
  report << reportFile.rdbuf();
  std::filesystem::remove_all(dir);
  return report.str();
}

TEST(BenchmarkReportOutput, ListsTheRunsThatEndDifferentlyInTwoBuilds) {
  std::istringstream in(
      "group\tsolver\tfamily\tm\tfactor\tverdict\tsolved\tresidual_norm\tresidual_evaluations\t"
      "jacobian_evaluations\tseconds\n"
      "testset\tondrel-1\tA\t2\t1\t1\t1\t1e-11\t4\t1\t0.00004\n"
      "testset\tondrel-1\tB\t2\t10\t1\t1\t1e-11\t9\t2\t0.00004\n"
      "testset\tondrel-1+eigen\tA\t2\t1\t0\t0\t0.3\t401\t80\t0.0004\n"
      "testset\tondrel-1+eigen\tB\t2\t10\t1\t1\t1e-11\t9\t2\t0.00004\n");
  const std::string text = reportOf(in);
  EXPECT_NE(text.find("Of the 2 test-set runs, 1 ends differently"), std::string::npos) << text;
  EXPECT_NE(text.find("| A | 2 | 1 x0 | solved, 4 / 1 | not solved, 401 / 80 |"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("| B | 2 | 10 x0 | solved"), std::string::npos) << "B ends alike";
}

// The robust row's figures, each from rows that a careless filter would let in: another group,
// another solver, unsolved runs, a peer run only one side solved.
TEST(BenchmarkReportOutput, SummarisesTheRobustMode) {
  std::istringstream in(
      "group\tsolver\tfamily\tm\tfactor\tverdict\tsolved\tresidual_norm\tresidual_evaluations\t"
      "jacobian_evaluations\tseconds\n"
      "testset\tondrel-robust\tA\t2\t1\t1\t1\t1e-11\t5\t2\t0.00002\n"
      "testset\tondrel-robust\tB\t2\t10\t1\t1\t1e-11\t9\t5\t0.00009\n"
      "testset\tondrel-robust\tC\t3\t1\t0\t0\t0.2\t40\t30\t0.00005\n"
      "testset\tondrel-robust\tD\t3\t1\t1\t1\t1e-12\t8\t3\t0.00001\n"
      "testset\tondrel-1\tA\t2\t1\t1\t1\t1e-11\t4\t1\t0.00001\n"
      "testset\tminpack-hybrj1\tA\t2\t1\t1\t1\t1e-11\t4\t1\t0.00004\n"
      "testset\tminpack-hybrj1\tB\t2\t10\t1\t1\t1e-11\t4\t1\t0.00003\n"
      "testset\tminpack-hybrj1\tC\t3\t1\t1\t1\t1e-11\t4\t1\t0.00001\n"
      "testset\tminpack-hybrj1\tD\t3\t1\t0\t0\t0.1\t4\t1\t0.00001\n"
      "scaling\tondrel-robust\tBroyden tridiagonal\t1000\t1\t1\t1\t1e-11\t9\t3\t0.02\n"
      "scaling\tondrel-1\tBroyden tridiagonal\t1000\t1\t1\t1\t1e-11\t8\t2\t0.02\n"
      "scaling\tondrel-robust\tBroyden tridiagonal\t500\t1\t0\t0\t0.5\t90\t40\t0.01\n"
      "scaling\tondrel-robust\tDiscrete integral equation\t2000\t1\t1\t1\t1e-11\t7\t1\t5.0\n");
  const std::string text = reportOf(in);
  // Jacobians of A, B and D: median 3, not 4 (C's 30 counted) nor 2.5 (ondrel-1's run of A).
  // Times where both solve, A and B: 0.5 and 3.
  EXPECT_NE(text.find("- test-set runs solved: 3 / 4\n"
                      "- median Jacobian evaluations per solved run: 3\n"
                      "- median time per solve / minpack-hybrj1's, over the runs both solve: 1.75\n"
                      "\nJacobian evaluations at scale, from x0:\n\n"
                      "| problem | m | ondrel-1 | ondrel-robust |\n|---|---|---|---|\n"
                      "| Broyden tridiagonal | 500 | n/a | 40 (unsolved) |\n"
                      "| Broyden tridiagonal | 1000 | 2 | 3 |\n"
                      "| Discrete integral equation | 2000 | n/a | 1 |\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace Ondrel::Benchmarks
