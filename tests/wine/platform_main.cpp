// The platform tests call automation objects from the main thread, as the
// program does.
#include <objbase.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  CoInitialize(nullptr);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
