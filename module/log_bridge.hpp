// The bridge from the engine's logging facade to Python's `logging` package.
#pragma once

namespace quendral::py {

// Installs the bridge (once per process, maximum level debug). Importing `logging` failing, or a
// second installation, is an internal failure.
void install_log_bridge();

}  // namespace quendral::py
