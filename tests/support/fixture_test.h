// A test with a file tree of its own on drive C: C:\tamsel-t\<Suite>.<Name>,
// made fresh and empty on first use. A test that passed removes it; a failed
// one keeps it for inspection, and the next run starts fresh.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fixture.h"

namespace testsupport {

class FixtureTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!root_.empty() && !HasFailure()) RemoveTree(root_);
  }
  const std::wstring& Root() {
    if (root_.empty()) {
      const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
      root_ = FreshFixture(std::string(info->test_suite_name()) + "." + info->name());
    }
    return root_;
  }
  std::wstring At(const std::wstring& rel) { return Join(Root(), rel); }

  std::wstring root_;
};

}  // namespace testsupport
