#include <iomanip>
#include <ondrel/parameters/SolverParameters.hpp>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "../internal/Lifecycle.hpp"

namespace Ondrel::Math::Solvers {

namespace {

constexpr int kKeyFieldWidth = 20;

template <typename T>
void listEntries(std::ostream& stream, const std::map<std::string, T>& entries) {
  for (const auto& [key, value] : entries) {
    // Writing the key resets the width, so the value is written without padding.
    stream << std::setw(kKeyFieldWidth) << key << value << std::endl;
  }
}

}  // namespace

SolverParameters::SolverParameters(const SolverParameters& other) = default;

SolverParameters::SolverParameters(SolverParameters&& other) noexcept(kNothrowMoveConstruct) {
  internal::Lifecycle::take(*this, other);
}

SolverParameters& SolverParameters::operator=(const SolverParameters& other) {
  return internal::Lifecycle::copyAssign(*this, other);
}

SolverParameters& SolverParameters::operator=(SolverParameters&& other) noexcept {
  return internal::Lifecycle::moveAssign(*this, other);
}

SolverParameters::~SolverParameters() = default;

// insert_or_assign builds a new entry completely before linking it, so a failed allocation
// cannot leave behind a key with a default value.
void SolverParameters::set(const std::string& key, const double& value) {
  doubleParameters.insert_or_assign(key, value);
}

void SolverParameters::set(const std::string& key, const unsigned int& value) {
  unsignedParameters.insert_or_assign(key, value);
}

void SolverParameters::set(const std::string& key, const int& value) {
  intParameters.insert_or_assign(key, value);
}

void SolverParameters::set(const std::string& key, const bool& value) {
  boolParameters.insert_or_assign(key, value);
}

void SolverParameters::set(const std::string& key, const std::string& value) {
  stringParameters.insert_or_assign(key, value);
}

void SolverParameters::set(const std::string& key, const char* value) {
  if (value == nullptr) {
    throw std::invalid_argument("SolverParameters::set: null string value for key \"" + key + "\"");
  }
  stringParameters.insert_or_assign(key, std::string(value));
}

void SolverParameters::throwMissingKey() { throw std::out_of_range("invalid map<K, T> key"); }

template double SolverParameters::get<double>(const std::string&) const;
template unsigned int SolverParameters::get<unsigned int>(const std::string&) const;
template int SolverParameters::get<int>(const std::string&) const;
template bool SolverParameters::get<bool>(const std::string&) const;
template std::string SolverParameters::get<std::string>(const std::string&) const;

std::ostream& operator<<(std::ostream& stream, const SolverParameters& parameters) {
  stream << std::left;
  listEntries(stream, parameters.doubleParameters);
  listEntries(stream, parameters.unsignedParameters);
  listEntries(stream, parameters.intParameters);
  listEntries(stream, parameters.boolParameters);
  listEntries(stream, parameters.stringParameters);
  return stream;
}

}  // namespace Ondrel::Math::Solvers
