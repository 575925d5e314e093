// The e2e tests run the built tolvaris program with the helper the program's own tests use.
#pragma once

#include "tests/host/tolvaris_program.h"

namespace tf::e2e {

using host::testing::Outcome;
using host::testing::Program;
using host::testing::ReadText;
using host::testing::RunProgram;
using host::testing::TempFolder;
using host::testing::WriteText;

}  // namespace tf::e2e
