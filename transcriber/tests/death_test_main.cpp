// The main of the tests whose death tests run code that starts threads: the "threadsafe" style
// runs each death test in a fresh copy of the binary instead of a fork of a threaded process.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
