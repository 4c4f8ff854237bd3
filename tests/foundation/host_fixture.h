// Shared set-up: quiet stand-in hosts over one loaded module, and the
// FFmpeg binding count as the host libraries see it.
#pragma once

#include "host/harness/standin_host.h"
#include "standin.h"

#include <gtest/gtest.h>
#include <memory>

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin_set_fflink_fail(false);
        module = qelhost::Module::load(QEL_MODULE_PATH);
        bindings_before = standin_fflink_loaded();
    }
    void TearDown() override { standin_set_fflink_fail(false); }

    std::unique_ptr<qelhost::StandinHost> make_host(qelhost::HostOptions options = {}) {
        options.echo_log = false;
        return std::make_unique<qelhost::StandinHost>(module, options);
    }
    // FFmpeg bindings made by the module and not yet undone.
    int bindings() const { return standin_fflink_loaded() - bindings_before; }

    std::shared_ptr<qelhost::Module> module;
    int bindings_before = 0;
};
