#pragma once

namespace sandbox {

// The built-in demo data (seed/demo.json), compiled in.
extern const char* const DEMO_SEED;

}  // namespace sandbox
