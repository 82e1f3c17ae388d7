#pragma once

#include <gio/gio.h>
#include <json/writer.h>

#include <memory>
#include <string>

#include "gui/engine/host_window.h"
#include "gui/shell_messages.h"
#include "support/sandbox.h"

extern "C" void test_pages_register_resource(void);

namespace agent::testing {

// A real WebKit window on the test's display, with the test pages among the resources.
class EngineTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        varnelagent::init_gui_thread();
        static const bool registered = [] {
            test_pages_register_resource();
            return true;
        }();
        (void)registered;
        window = std::make_unique<varnelagent::engine::HostWindow>(420, 320);
    }

    void TearDown() override {
        window.reset();
        SandboxTest::TearDown();
    }

    void load(const std::string& url) {
        window->load(url);
        ASSERT_TRUE(window->wait_loaded()) << url;
    }

    std::unique_ptr<varnelagent::engine::HostWindow> window;
};

}  // namespace agent::testing
