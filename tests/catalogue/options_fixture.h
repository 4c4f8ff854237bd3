// A writer whose messages are kept, for the option tests.
#pragma once

#include "common/writer_log.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        writer.m_logCallback = keep_message;
    }
    FFWriter writer;
};
