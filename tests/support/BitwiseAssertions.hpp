// GoogleTest's side of BitwiseComparison.hpp: EXPECT_TRUE(bitwiseEqual(a, b)) fails with the
// first difference named.
#pragma once

#include <gtest/gtest.h>

#include "support/BitwiseComparison.hpp"

namespace Ondrel::Testing {

template <class A, class B>
::testing::AssertionResult bitwiseEqual(const A& a, const B& b) {
  const std::string difference = bitwiseDifference(a, b);
  if (difference.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not the same bits: " << difference;
}

}  // namespace Ondrel::Testing
