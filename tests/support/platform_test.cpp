#include "tests/support/platform_test.h"

void PlatformTest::SetUp() {}

void PlatformTest::TearDown() {}
