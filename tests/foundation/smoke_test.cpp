#include <gtest/gtest.h>

#include "writer/FFWriter.h"

TEST(Writer, ConstructedAndDestroyedWithoutOpening) {
    FFWriter writer;
    EXPECT_FALSE(writer.isOpen());
    EXPECT_TRUE(writer.close());
}
