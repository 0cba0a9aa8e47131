// Arbitrary sequences of set, get, copy, move, self-assignment and listing on two stores, each
// compared after every step with a plain reference model: five lists of (key, value) pairs kept
// in byte order. The listing is compared on streams with changed fill, precision and boolalpha.
#include <ondrel/parameters/SolverParameters.hpp>
#include <sstream>
#include <utility>

#include "FuzzSupport.hpp"

namespace {

using namespace Ondrel::Fuzz;
using Ondrel::Math::Solvers::SolverParameters;

// Keys compare as unsigned bytes, a prefix first.
bool keyLess(const std::string& a, const std::string& b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

template <class T>
struct ModelMap {
  std::vector<std::pair<std::string, T>> entries;  // ascending by keyLess

  void set(const std::string& key, const T& value) {
    auto at = entries.begin();
    while (at != entries.end() && keyLess(at->first, key)) ++at;
    if (at != entries.end() && at->first == key) {
      at->second = value;
    } else {
      entries.insert(at, {key, value});
    }
  }
  const T* find(const std::string& key) const {
    for (const auto& [k, v] : entries) {
      if (k == key) return &v;
    }
    return nullptr;
  }
  void list(std::ostream& out) const {
    for (const auto& [key, value] : entries) {
      out << key;
      for (std::size_t i = key.size(); i < 20; ++i) out << out.fill();
      out << value << '\n';
    }
  }
};

struct Model {
  ModelMap<double> doubles;
  ModelMap<unsigned int> unsigneds;
  ModelMap<int> ints;
  ModelMap<bool> bools;
  ModelMap<std::string> strings;

  void list(std::ostream& out) const {
    doubles.list(out);
    unsigneds.list(out);
    ints.list(out);
    bools.list(out);
    strings.list(out);
  }
};

template <class T>
void checkGet(const SolverParameters& store, const ModelMap<T>& model, const std::string& key) {
  const T* expected = model.find(key);
  try {
    const T value = store.get<T>(key);
    FUZZ_CHECK(expected != nullptr);
    if constexpr (std::is_same_v<T, double>) {
      FUZZ_CHECK(sameBits(value, *expected));
    } else {
      FUZZ_CHECK(value == *expected);
    }
  } catch (const std::out_of_range& error) {
    FUZZ_CHECK(expected == nullptr);
    FUZZ_CHECK(std::string(error.what()) == "invalid map<K, T> key");
  }
}

// Lists both on streams set up alike and compares; the store's listing must also leave the
// stream in left adjustment.
void checkListing(FuzzedDataProvider& in, const SolverParameters& store, const Model& model) {
  std::ostringstream actual;
  std::ostringstream expected;
  const char fills[] = {' ', '.', '\0', '\xff'};
  const char fill = in.PickValueInArray(fills);
  const int precision = in.ConsumeIntegralInRange(0, 20);
  const bool alphabetic = in.ConsumeBool();
  for (std::ostringstream* stream : {&actual, &expected}) {
    stream->fill(fill);
    stream->precision(precision);
    if (alphabetic) *stream << std::boolalpha;
  }
  actual << std::right << store;
  model.list(expected);
  FUZZ_CHECK(actual.str() == expected.str());
  FUZZ_CHECK((actual.flags() & std::ios::adjustfield) == std::ios::left);
}

std::string keyFrom(FuzzedDataProvider& in) {
  // Short keys collide often; some are long enough to overflow the 20-character field.
  return in.ConsumeRandomLengthString(in.ConsumeBool() ? 2 : 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  SolverParameters stores[2];
  Model models[2];
  while (in.remaining_bytes() > 0) {
    const int which = in.ConsumeIntegralInRange(0, 1);
    SolverParameters& store = stores[which];
    Model& model = models[which];
    SolverParameters& other = stores[1 - which];
    Model& otherModel = models[1 - which];
    switch (in.ConsumeIntegralInRange(0, 14)) {
      case 0: {
        const std::string key = keyFrom(in);
        const double value = awkwardDouble(in);
        store.set(key, value);
        model.doubles.set(key, value);
        break;
      }
      case 1: {
        const std::string key = keyFrom(in);
        const auto value = in.ConsumeIntegral<unsigned int>();
        store.set(key, value);
        model.unsigneds.set(key, value);
        break;
      }
      case 2: {
        const std::string key = keyFrom(in);
        const auto value = in.ConsumeIntegral<int>();
        store.set(key, value);
        model.ints.set(key, value);
        break;
      }
      case 3: {
        const std::string key = keyFrom(in);
        const bool value = in.ConsumeBool();
        store.set(key, value);
        model.bools.set(key, value);
        break;
      }
      case 4: {
        const std::string key = keyFrom(in);
        const std::string value = in.ConsumeRandomLengthString(32);
        if (in.ConsumeBool()) {
          store.set(key, value);
          model.strings.set(key, value);
        } else {
          store.set(key, value.c_str());  // stops at the first NUL, as a C string does
          model.strings.set(key, std::string(value.c_str()));
        }
        break;
      }
      case 5: {
        const std::string key = keyFrom(in);
        checkGet(store, model.doubles, key);
        checkGet(store, model.unsigneds, key);
        checkGet(store, model.ints, key);
        checkGet(store, model.bools, key);
        checkGet(store, model.strings, key);
        break;
      }
      case 6: {
        const SolverParameters copy(store);
        store = SolverParameters();
        store = copy;
        break;
      }
      case 7:
        store = other;
        model = otherModel;
        break;
      case 8: {
        SolverParameters taken(std::move(store));
        checkListing(in, store, Model());
        store = std::move(taken);
        checkListing(in, taken, Model());
        break;
      }
      case 9:
        store = std::move(other);
        model = otherModel;
        otherModel = Model();
        break;
      case 10: {
        SolverParameters& alias = store;
        store = alias;
        store = std::move(alias);
        break;
      }
      case 11:
        try {
          store.set(keyFrom(in), static_cast<const char*>(nullptr));
          FUZZ_CHECK(false);
        } catch (const std::invalid_argument&) {
        }
        break;
      default:
        checkListing(in, store, model);
        break;
    }
  }
  checkListing(in, stores[0], models[0]);
  checkListing(in, stores[1], models[1]);
  return 0;
}
