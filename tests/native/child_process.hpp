// Relaunches this test binary as a child process with a role, natively and under Wine.
#pragma once

#include <string>

namespace test_support {

struct Child;

// Starts `<this executable> --child <role> <name>`; never null.
Child* start_child(const std::string& role, const std::string& name);
// Waits for the child to end and returns its exit code.
int wait_child(Child* child);

}  // namespace test_support
