// A typed store of named settings that a host fills, reads back and lists on a text stream.
//
// Five independent maps keyed by string, one per value type: double, unsigned int, int, bool and
// std::string. They are separate name spaces: one key may sit in several maps with unrelated
// values, and nothing converts between them. Keys compare byte by byte as unsigned chars, a
// prefix sorting before its extensions; any byte string, the empty one included, is a key.
//
// The store owns every key and value and hands out copies only, so no reference into it can
// dangle. It is a plain value type: copies are deep, and a moved-from store is empty and usable.
// Reading (get, copying from, listing) may run on one store from several threads at once;
// anything that changes it needs exclusive access, which the caller provides.
//
// Nothing in the solver reads a SolverParameters: the solver takes its settings from
// BroydenParameters.
#pragma once

#include <iosfwd>
#include <map>
#include <ondrel/OndrelSolversExport.hpp>
#include <string>
#include <tuple>
#include <type_traits>

namespace Ondrel::internal {
struct Lifecycle;
}

namespace Ondrel::Math::Solvers {

class SolverParameters;

/// Lists every entry on its own line: the maps in the order double, unsigned int, int, bool,
/// string, keys ascending within each. A line is the key left-adjusted in a field of 20 (longer
/// keys are written whole), the value in the stream's own formatting (precision, boolalpha, ...),
/// then std::endl, so every line is flushed. Leaves std::left set on the stream, even when the
/// store is empty.
ONDREL_SOLVERS_API std::ostream& operator<<(std::ostream& stream,
                                            const SolverParameters& parameters);

/// A typed store of named settings: five maps keyed by string, one per value type (see the file
/// comment). Nothing in the solver reads it.
class ONDREL_SOLVERS_API SolverParameters {
 public:
  /// An empty store.
  SolverParameters() = default;
  /// A deep copy; throws std::bad_alloc, having built nothing, when memory runs out.
  SolverParameters(const SolverParameters& other);
  /// Leaves `other` empty and usable.
  SolverParameters(SolverParameters&& other) noexcept(kNothrowMoveConstruct);
  /// All or nothing: if copying runs out of memory, the target keeps its former entries.
  SolverParameters& operator=(const SolverParameters& other);
  /// Leaves `other` empty and usable; assigning a store to itself changes nothing.
  SolverParameters& operator=(SolverParameters&& other) noexcept;
  /// Releases every entry.
  ~SolverParameters();

  /// The value stored under `key` in the map of type T; other maps are never consulted. A key
  /// absent from that map throws std::out_of_range with the message "invalid map<K, T> key".
  template <typename T>
  T get(const std::string& key) const {
    static_assert(kIsStoredType<T>,
                  "SolverParameters::get<T>: T must be one of double, unsigned int, int, bool, "
                  "std::string");
    if constexpr (kIsStoredType<T>) {
      const auto& values = mapOf<T>();
      const auto found = values.find(key);
      if (found != values.end()) return found->second;
    }
    throwMissingKey();
  }

  /// Inserts or overwrites `key` in the map of the value's type only. `set(k, 3)` lands among the
  /// ints, `set(k, 2.5)` among the doubles, `set(k, 3u)` among the unsigned ints. If memory runs
  /// out, the map is left as it was.
  ///@{
  void set(const std::string& key, const double& value);
  void set(const std::string& key, const unsigned int& value);
  void set(const std::string& key, const int& value);
  void set(const std::string& key, const bool& value);
  void set(const std::string& key, const std::string& value);
  ///@}
  /// Without this overload a string literal would convert to bool, a standard conversion that
  /// beats the user-defined one to std::string. Stores a string; throws std::invalid_argument for
  /// a null pointer instead of reading through it.
  void set(const std::string& key, const char* value);

  /// The listing, declared above.
  friend std::ostream& operator<<(std::ostream& stream, const SolverParameters& parameters);

 private:
  template <typename T>
  static constexpr bool kIsStoredType =
      std::is_same_v<T, double> || std::is_same_v<T, unsigned int> || std::is_same_v<T, int> ||
      std::is_same_v<T, bool> || std::is_same_v<T, std::string>;

  static constexpr bool kNothrowMoveConstruct =
      std::is_nothrow_move_constructible_v<std::map<std::string, double>> &&
      std::is_nothrow_move_constructible_v<std::map<std::string, unsigned int>> &&
      std::is_nothrow_move_constructible_v<std::map<std::string, int>> &&
      std::is_nothrow_move_constructible_v<std::map<std::string, bool>> &&
      std::is_nothrow_move_constructible_v<std::map<std::string, std::string>>;

  template <typename T>
  const std::map<std::string, T>& mapOf() const {
    if constexpr (std::is_same_v<T, double>) {
      return doubleParameters;
    } else if constexpr (std::is_same_v<T, unsigned int>) {
      return unsignedParameters;
    } else if constexpr (std::is_same_v<T, int>) {
      return intParameters;
    } else if constexpr (std::is_same_v<T, bool>) {
      return boolParameters;
    } else {
      return stringParameters;
    }
  }

  [[noreturn]] static void throwMissingKey();
  friend struct Ondrel::internal::Lifecycle;
  auto members() {
    return std::tie(
        doubleParameters, unsignedParameters, intParameters, boolParameters, stringParameters);
  }

  /// Declaration order is the order of construction, copying and listing.
  std::map<std::string, double> doubleParameters;
  std::map<std::string, unsigned int> unsignedParameters;
  std::map<std::string, int> intParameters;
  std::map<std::string, bool> boolParameters;
  std::map<std::string, std::string> stringParameters;
};

// Hosts link to the library's instantiations instead of compiling their own. Not part of the
// reference: get<T> above says everything a host needs.
/// \cond
extern template double SolverParameters::get<double>(const std::string&) const;
extern template unsigned int SolverParameters::get<unsigned int>(const std::string&) const;
extern template int SolverParameters::get<int>(const std::string&) const;
extern template bool SolverParameters::get<bool>(const std::string&) const;
extern template std::string SolverParameters::get<std::string>(const std::string&) const;
/// \endcond

}  // namespace Ondrel::Math::Solvers
