// Discovery of the running tools and the selection box.
#pragma once

// Scans, hides orchestrators' current children, opens the single tool or
// offers the selection box.  Returns the exit status (0 or 1).
int run_discovery();
