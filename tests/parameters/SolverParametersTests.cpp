#include <gtest/gtest.h>

#include <iomanip>
#include <ondrel/parameters/SolverParameters.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

using Ondrel::Math::Solvers::SolverParameters;

namespace {

std::string listing(const SolverParameters& parameters) {
  std::ostringstream stream;
  stream << parameters;
  return stream.str();
}

// Counts flushes, so a listing that ends its lines with a bare '\n' is caught.
class FlushCountingBuffer : public std::stringbuf {
 public:
  int flushes = 0;

 protected:
  int sync() override {
    ++flushes;
    return std::stringbuf::sync();
  }
};

void expectMissing(const SolverParameters& parameters, const std::string& key) {
  try {
    parameters.get<unsigned int>(key);
    FAIL() << "no exception for key \"" << key << "\"";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "invalid map<K, T> key");
  }
}

}  // namespace

TEST(SolverParametersNameSpaces, SameKeyInIntAndUnsignedMapsStaysSeparate) {
  SolverParameters parameters;
  parameters.set("count", -3);
  expectMissing(parameters, "count");
  EXPECT_EQ(listing(parameters), "count               -3\n");  // the failed get changed nothing

  parameters.set("count", 7u);
  EXPECT_EQ(parameters.get<int>("count"), -3);
  EXPECT_EQ(parameters.get<unsigned int>("count"), 7u);
  EXPECT_THROW(parameters.get<double>("count"), std::out_of_range);
  EXPECT_THROW(parameters.get<bool>("count"), std::out_of_range);
  EXPECT_THROW(parameters.get<std::string>("count"), std::out_of_range);
  EXPECT_EQ(listing(parameters),
            "count               7\n"
            "count               -3\n");
}

TEST(SolverParametersSet, OverloadsPickTheMapOfTheArgument) {
  SolverParameters parameters;
  parameters.set("int", 3);
  parameters.set("double", 2.5);
  parameters.set("unsigned", 4000000000u);
  parameters.set("bool", false);
  parameters.set("literal", "text");  // must not decay to bool
  const char* pointer = "pointer";
  parameters.set("pointer", pointer);
  parameters.set("string", std::string("owned"));

  EXPECT_EQ(parameters.get<int>("int"), 3);
  EXPECT_EQ(parameters.get<double>("double"), 2.5);
  EXPECT_EQ(parameters.get<unsigned int>("unsigned"), 4000000000u);
  EXPECT_FALSE(parameters.get<bool>("bool"));
  EXPECT_EQ(parameters.get<std::string>("literal"), "text");
  EXPECT_EQ(parameters.get<std::string>("pointer"), "pointer");
  EXPECT_EQ(parameters.get<std::string>("string"), "owned");
  EXPECT_THROW(parameters.get<bool>("literal"), std::out_of_range);
  EXPECT_THROW(parameters.get<double>("int"), std::out_of_range);
  EXPECT_THROW(parameters.get<int>("double"), std::out_of_range);

  const char* null = nullptr;
  EXPECT_THROW(parameters.set("pointer", null), std::invalid_argument);
  EXPECT_EQ(parameters.get<std::string>("pointer"), "pointer");
}

TEST(SolverParametersSet, OverwriteKeepsOneEntry) {
  SolverParameters parameters;
  parameters.set("tolerance", 1e-3);
  parameters.set("tolerance", 1e-8);
  parameters.set("name", std::string("first"));
  parameters.set("name", std::string("second"));
  EXPECT_EQ(parameters.get<double>("tolerance"), 1e-8);
  EXPECT_EQ(listing(parameters),
            "tolerance           1e-08\n"
            "name                second\n");
}

TEST(SolverParametersListing, KeysInByteOrder) {
  SolverParameters parameters;
  for (const char* key : {"z", "\xC3\xA9", "ab", "a", "abc", "", "B"}) parameters.set(key, 1);
  // The empty key first, upper case before lower case, a prefix before its extensions, and bytes
  // above 0x7f after every ASCII key (they compare as unsigned).
  EXPECT_EQ(listing(parameters),
            "                    1\n"
            "B                   1\n"
            "a                   1\n"
            "ab                  1\n"
            "abc                 1\n"
            "z                   1\n"
            "\xC3\xA9                  1\n");
}

TEST(SolverParametersListing, ExactFormat) {
  SolverParameters example;
  example.set("tol", 1e-8);
  example.set("verbose", true);
  EXPECT_EQ(listing(example),
            "tol                 1e-08\n"
            "verbose             1\n");

  SolverParameters all;
  all.set("s", std::string("text"));
  all.set("b", false);
  all.set("i", -12);
  all.set("u", 12u);
  all.set("d", 0.5);
  all.set("exactlyTwentyLetters", 1.0);
  all.set("longerThanTwentyLetters", 2.0);
  EXPECT_EQ(listing(all),
            "d                   0.5\n"
            "exactlyTwentyLetters1\n"
            "longerThanTwentyLetters2\n"
            "u                   12\n"
            "i                   -12\n"
            "b                   0\n"
            "s                   text\n");
}

TEST(SolverParametersListing, UsesTheStreamsOwnFormattingAndFlushesEachLine) {
  SolverParameters parameters;
  parameters.set("pi", 3.14159265);
  parameters.set("flag", true);
  parameters.set("name", std::string("ab"));

  FlushCountingBuffer buffer;
  std::ostream stream(&buffer);
  stream << std::boolalpha << std::setprecision(3) << std::setfill('.') << std::setw(40);
  stream << parameters;
  EXPECT_EQ(buffer.str(),
            "pi..................3.14\n"
            "flag................true\n"
            "name................ab\n");
  EXPECT_EQ(buffer.flushes, 3);
  EXPECT_EQ(stream.flags() & std::ios_base::adjustfield, std::ios_base::left);
}

TEST(SolverParametersListing, EmptyStoreWritesNothingButLeavesLeftAdjustment) {
  std::ostringstream stream;
  stream << std::right << SolverParameters{};
  EXPECT_EQ(stream.str(), "");
  EXPECT_EQ(stream.flags() & std::ios_base::adjustfield, std::ios_base::left);
}

TEST(SolverParametersCopy, CopiesAreDeepAndAssignmentReplacesEverything) {
  SolverParameters source;
  source.set("a", 1);
  source.set("b", std::string("text"));

  SolverParameters copy(source);
  copy.set("a", 2);
  EXPECT_EQ(source.get<int>("a"), 1);

  SolverParameters target;
  target.set("a", 5.0);
  target.set("c", 9);
  target = source;
  EXPECT_EQ(listing(target), listing(source));
  EXPECT_THROW(target.get<double>("a"), std::out_of_range);
  target.set("b", std::string("changed"));
  EXPECT_EQ(source.get<std::string>("b"), "text");
}

TEST(SolverParametersMove, MovedFromStoreIsEmptyAndUsable) {
  SolverParameters source;
  source.set("d", 1.5);
  source.set("u", 2u);
  source.set("i", 3);
  source.set("b", true);
  source.set("s", std::string("a string long enough to live on the heap"));
  const std::string expected = listing(source);

  SolverParameters constructed(std::move(source));
  EXPECT_EQ(listing(constructed), expected);
  EXPECT_EQ(listing(source), "");
  expectMissing(source, "u");
  EXPECT_THROW(source.get<std::string>("s"), std::out_of_range);

  source.set("again", 4);
  EXPECT_EQ(source.get<int>("again"), 4);

  SolverParameters assigned;
  assigned.set("old", 1);
  assigned = std::move(constructed);
  EXPECT_EQ(listing(assigned), expected);
  EXPECT_EQ(listing(constructed), "");
  EXPECT_THROW(constructed.get<double>("d"), std::out_of_range);
  constructed.set("d", 2.5);
  EXPECT_EQ(constructed.get<double>("d"), 2.5);
}

TEST(SolverParametersAssignment, SelfAssignmentLeavesStoreUnchanged) {
  SolverParameters parameters;
  parameters.set("d", 1.5);
  parameters.set("s", std::string("text"));
  const std::string expected = listing(parameters);

  SolverParameters& alias = parameters;  // hides the self-assignment from the compiler's warning
  parameters = alias;
  EXPECT_EQ(listing(parameters), expected);
  parameters = std::move(alias);
  EXPECT_EQ(listing(parameters), expected);
}
