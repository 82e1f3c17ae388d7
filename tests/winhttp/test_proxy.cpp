#include <gtest/gtest.h>
TEST(Placeholder, Later) {}
