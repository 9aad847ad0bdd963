// A temporary tree (program data with "pub" and "private") with the script
// host installed, for the tests of the script host's own parts.
#pragma once
#include "../server/config_test_support.h"
#include "scripting/scripting_host.h"
#include "server/script_host.h"

namespace scripting_test {

using config_test::capture_sink;

class tree_fixture : public config_test::tree_fixture {
  protected:
    void SetUp() override {
        config_test::tree_fixture::SetUp();
        set_script_host(&host_);
    }
    void TearDown() override {
        set_script_host(nullptr);
        config_test::tree_fixture::TearDown();
    }

    scripting::scripting_host host_{ini_};
};

} // namespace scripting_test
