#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"

// Gives each test a registry of its own: off Windows a fresh substitute in a temporary
// folder, on Windows a key below HKCU\Software\PartiloomTests that goes when the test ends.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path below which the test may create keys (under the current user).
  const std::string& Base() const { return base_; }

 private:
  std::string base_;
  std::string directory_;
};
