// BenchmarkReport --results=FILE [--floors=FILE]... --output=DIR [--date=TEXT] [--machine=TEXT]
//                 [--threads=TEXT] [--commands=TEXT]
// Writes DIR/report.md with the data files and gnuplot script of its plots.
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "BenchmarkReport.hpp"

namespace {

bool option(const char* argument, const char* name, std::string& value) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
  value = argument + length + 1;
  return true;
}

std::ifstream openInput(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  return in;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Ondrel::Benchmarks;
  std::string results;
  std::string output;
  std::vector<std::string> floorFiles;
  ReportHeader header{"(date not given)", "(machine not given)", "threads as found", ""};
  for (int i = 1; i < argc; ++i) {
    std::string floors;
    if (option(argv[i], "--results", results) || option(argv[i], "--output", output) ||
        option(argv[i], "--date", header.date) || option(argv[i], "--machine", header.machine) ||
        option(argv[i], "--threads", header.threads) ||
        option(argv[i], "--commands", header.commands)) {
      continue;
    }
    if (option(argv[i], "--floors", floors)) {
      floorFiles.push_back(floors);
      continue;
    }
    std::cerr << "BenchmarkReport: unknown argument " << argv[i] << '\n';
    return 2;
  }
  if (results.empty() || output.empty()) {
    std::cerr << "usage: BenchmarkReport --results=FILE [--floors=FILE]... --output=DIR\n";
    return 2;
  }
  try {
    std::ifstream resultsIn = openInput(results);
    const std::vector<ResultRow> rows = readResults(resultsIn);
    std::vector<FloorRow> floors;
    for (const std::string& path : floorFiles) {
      std::ifstream in = openInput(path);
      for (FloorRow& row : readFloors(in)) floors.push_back(row);
    }
    writeReport(rows, floors, header, output);
  } catch (const std::exception& e) {
    std::cerr << "BenchmarkReport: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
