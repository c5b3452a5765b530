// The base fixture of every test that uses the platform: at the end of each test
// it checks that the platform's accounting is clean.
#pragma once

#include <gtest/gtest.h>

class PlatformTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
};
